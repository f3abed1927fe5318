"""tavik's gammatonegram beside other Python code that computes gammatone (or
mel) spectrograms: milliseconds of computation per second of audio, every
method on the same signal in the same run, printed as one reStructuredText
table after the CPU and the versions.

    python bench/peers_bench.py [--seconds 20] [--repeats 7]

The signal is white noise at 16 kHz; every method takes 64 bands from 50 to
8000 Hz and 25 ms frames every 10 ms where it takes these. Each method is
called once before timing (a peer may compile or cache something on its
first call), then the methods take turns for `--repeats` rounds, so that a
disturbance of the shared machine falls on all of them alike, and each row
reports the median.
The peers are optional (`pip install ".[bench]"`, which `make bench` does): a
peer that is missing or fails prints a row saying so.
"""

import argparse
import os
import platform
import statistics
import sys
import time
from importlib import metadata

# Holds NumPy's BLAS pool to the calling thread before NumPy is imported, so
# that the peers run on one core, and gives the CPU's description.
from bench import cpu_description

import numpy as np

import tavik

RATE = 16000
BANDS = 64
LOW_HZ, HIGH_HZ = 50.0, 8000.0
FRAME_S, HOP_S = 0.025, 0.010
FRAME, HOP = round(FRAME_S * RATE), round(HOP_S * RATE)
FFT_SIZE = 512  # the power of two above the 400-sample frame


def tavik_methods():
    cores = len(os.sched_getaffinity(0))

    def run(mode, threads):
        return lambda x: tavik.gammatonegram(
            x, RATE, num_samples=FRAME, hop=HOP, num_features=BANDS, low_Hz=LOW_HZ,
            high_Hz=HIGH_HZ, transform=None, mode=mode, num_threads=threads)

    kind = "time-domain gammatone"
    return [("tavik continuous, 1 thread", kind, run("continuous", 1)),
            (f"tavik continuous, all threads ({cores})", kind, run("continuous", 0)),
            ("tavik frames, 1 thread", kind + ", each frame from rest", run("frames", 1))]


def gtgram():
    from gammatone.gtgram import gtgram

    return lambda x: gtgram(x, RATE, FRAME_S, HOP_S, BANDS, LOW_HZ, HIGH_HZ)


def fft_gtgram():
    from gammatone.fftweight import fft_gtgram

    # Its bands reach the Nyquist frequency, 8000 Hz here; it takes no f_max.
    return lambda x: fft_gtgram(x, RATE, FRAME_S, HOP_S, BANDS, LOW_HZ)


def spafe():
    from spafe.features.gfcc import erb_spectrogram
    from spafe.utils.preprocessing import SlidingWindow

    window = SlidingWindow(FRAME_S, HOP_S, "hamming")
    return lambda x: erb_spectrogram(x, fs=RATE, pre_emph=False, window=window, nfilts=BANDS,
                                     nfft=FFT_SIZE, low_freq=LOW_HZ, high_freq=HIGH_HZ)


def librosa_mel():
    import librosa

    return lambda x: librosa.feature.melspectrogram(
        y=x, sr=RATE, n_fft=FFT_SIZE, win_length=FRAME, hop_length=HOP, n_mels=BANDS,
        fmin=LOW_HZ, fmax=HIGH_HZ)


PEERS = [
    ("gammatone gtgram", "time-domain gammatone", "gammatone", gtgram),
    ("gammatone fft_gtgram", "FFT approximation of gammatone", "gammatone", fft_gtgram),
    ("spafe erb_spectrogram", "FFT approximation of gammatone", "spafe", spafe),
    ("librosa melspectrogram", "mel (not gammatone)", "librosa", librosa_mel),
]


def version(distribution):
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return None


def methods():
    """(name, kind, call or None, note) of every row; the note says why a
    row has no call."""
    rows = [(name, kind, call, "") for name, kind, call in tavik_methods()]
    for name, kind, distribution, make in PEERS:
        if version(distribution) is None:
            rows.append((name, kind, None, f"{distribution} not installed"))
            continue
        try:
            rows.append((name, kind, make(), ""))
        except Exception as error:  # a peer that does not import with today's NumPy or SciPy
            rows.append((name, kind, None, f"import failed: {type(error).__name__}: {error}"))
    return rows


def median_ms_per_second(rows, signal, repeats):
    """Per row, the median over `repeats` rounds of the milliseconds per
    second of audio; None where the row has no call. A call that fails on
    its warm-up turns its row into a note instead."""
    seconds = signal.size / RATE
    timed = {}
    for k, (name, kind, call, note) in enumerate(rows):
        if call is None:
            continue
        try:
            call(signal)
        except Exception as error:
            rows[k] = (name, kind, None, f"failed: {type(error).__name__}: {error}")
            continue
        timed[k] = []
    for _ in range(repeats):
        for k, times in timed.items():
            start = time.perf_counter()
            rows[k][2](signal)
            times.append(time.perf_counter() - start)
    return [1000 * statistics.median(timed[k]) / seconds if k in timed else None
            for k in range(len(rows))]


def grid(header, body):
    """A reStructuredText grid table of strings."""
    widths = [max(len(row[i]) for row in [header, *body]) for i in range(len(header))]

    def rule(fill):
        return "+" + "+".join(fill * (w + 2) for w in widths) + "+"

    def line(row):
        return "|" + "|".join(f" {cell:<{w}} " for cell, w in zip(row, widths)) + "|"

    return "\n".join([rule("-"), line(header), rule("="),
                      *(text for row in body for text in (line(row), rule("-")))])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0,
                        help="length of the noise signal (default 20)")
    parser.add_argument("--repeats", type=int, default=7, help="timed rounds (default 7)")
    args = parser.parse_args()
    if args.seconds * RATE < FRAME or args.repeats < 1:
        parser.error("need at least one frame of signal and one round")

    signal = np.random.default_rng(3).normal(0.0, 0.3, int(args.seconds * RATE))
    rows = methods()
    ms = median_ms_per_second(rows, signal, args.repeats)
    reference = ms[0]

    model, sets = cpu_description()
    cores = len(os.sched_getaffinity(0))
    versions = [f"tavik {getattr(tavik, '__version__', version('tavik'))}"]
    versions += [f"{d} {version(d) or '(not installed)'}"
                 for d in dict.fromkeys(distribution for _, _, distribution, _ in PEERS)]
    print(f"CPU: {model}, {cores} cores; instruction sets: {sets}")
    print(f"Python {platform.python_version()}, NumPy {np.__version__}; " + ", ".join(versions))
    print(f"{args.seconds:g} s of white noise at {RATE} Hz, {BANDS} bands from {LOW_HZ:g} to "
          f"{HIGH_HZ:g} Hz, {1000 * FRAME_S:g} ms frames every {1000 * HOP_S:g} ms; "
          f"median of {args.repeats} run{'s' if args.repeats != 1 else ''}; peers on one thread")
    print()
    body = []
    for (name, kind, _, note), value in zip(rows, ms):
        if value is None:
            body.append([name, kind, note, "-"])
        else:
            ratio = f"{value / reference:.2f}" if reference else "-"
            body.append([name, kind, f"{value:.2f}", ratio])
    print(grid(["method", "kind", "ms per s of audio", "x tavik continuous, 1 thread"], body))
    return 0


if __name__ == "__main__":
    sys.exit(main())
