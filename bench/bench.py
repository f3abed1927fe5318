"""Microseconds per default frame (1024 samples, 64 gammatone filters from 50
to 8000 Hz at 44100 Hz) through every path of the extension, with a SciPy
peer, in one table with ratios to the scalar path of the core and to the
fastest kernel candidate, after the CPU and its instruction sets.

    python bench/bench.py --core build/bench/core_bench

The core rows come from the C++ benchmark (which forces each variant through
the core's API and names the one the dispatch picked); the rest is timed
here. `make bench` builds and runs both.
"""

import argparse
import os
import platform
import subprocess
import sys
import time

# NumPy's BLAS starts a pool of threads at import that spins for a while on
# the other cores; on a 2-core machine that takes a few per cent off the
# timed code (whose rows are one thread unless stated), so the pool is held
# to the calling thread. Nothing timed here uses BLAS.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402

from _tavik.extractor import Extractor, GammatoneFilterbank  # noqa: E402

NUM_SAMPLES = 1024
NUM_FEATURES = 64
SAMPLE_RATE = 44100
BATCH_FRAMES = 256


def best_microseconds(calls, rounds=11, round_seconds=0.1):
    """For each entry (call, per_call_units) of `calls`, the fastest of
    `rounds` rounds of the time of one call divided by `per_call_units`, each
    round calling often enough to last about `round_seconds`. The entries
    take turns within each round, so that a disturbance of the shared machine
    falls on all of them alike, and the least disturbed round is the one that
    measures the code."""
    counts = []
    for call, _ in calls:
        call()
        start = time.perf_counter()
        call()
        once = max(time.perf_counter() - start, 1e-9)
        counts.append(max(1, int(round_seconds / once)))
    best = [float("inf")] * len(calls)
    for _ in range(rounds):
        for k, ((call, units), count) in enumerate(zip(calls, counts)):
            start = time.perf_counter()
            for _ in range(count):
                call()
            best[k] = min(best[k], (time.perf_counter() - start) / count / units)
    return [us * 1e6 for us in best]


def core_rows(core_bench):
    out = subprocess.run([core_bench, "--tsv"], check=True, capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        name, us, note = line.split("\t")
        rows.append((name, None if us == "-" else float(us), note))
    return rows


def sos_gammatone(cf):
    """SciPy's IIR gammatone design for `cf` as second-order sections.

    `scipy.signal.gammatone(cf, 'iir')` multiplies four copies of one pole
    pair into an 8th-order denominator; the low channels' coefficients then
    round to a polynomial with poles outside the unit circle, and lfilter
    diverges. The pole pair is placed here from the design's own formulas
    (bandwidth 1.019 ERB(cf), ERB(f) = f / 9.26449 + 24.7 as SciPy has it),
    the zeros are the roots of SciPy's 4th-order numerator and its gain is
    kept: the same filter, stable."""
    from scipy.signal import gammatone, zpk2sos

    b, _ = gammatone(cf, "iir", fs=SAMPLE_RATE)
    bandwidth = 2 * np.pi * 1.019 * (cf / 9.26449 + 24.7)
    pole = np.exp((-bandwidth + 2j * np.pi * cf) / SAMPLE_RATE)
    return zpk2sos(np.roots(b), [pole, np.conj(pole)] * 4, b[0])


def scipy_peer(frame, centre_frequencies):
    """The filterbank's features as a SciPy user would compute them: each of
    the 64 filters run over the frame from rest with sosfilt, its Hilbert
    envelope, the mean of that envelope."""
    try:
        from scipy.signal import hilbert, sosfilt
    except ImportError:
        return None
    designs = [sos_gammatone(cf) for cf in centre_frequencies]

    def features():
        outputs = np.stack([sosfilt(sos, frame) for sos in designs])
        return np.mean(np.abs(hilbert(outputs, axis=-1)), axis=-1)

    if not np.all(np.isfinite(features())):
        raise RuntimeError("the SciPy peer produced a feature that is not finite")
    return best_microseconds([(features, 1)])[0]


def cpu_description():
    """The model name, family and model, and the instruction sets that
    matter to the kernels, from /proc/cpuinfo where there is one."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if not line.strip():
                    break
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    model = fields.get("model name") or platform.processor() or "unknown CPU"
    if "cpu family" in fields:
        model += f" (family {fields['cpu family']} model {fields.get('model', '?')})"
    flags = set(fields.get("flags", "").split())
    wanted = ["sse2", "avx", "avx2", "fma", "avx512f", "avx512dq", "avx512vl", "avx512bw"]
    sets = [f for f in wanted if f in flags]
    return model, (", ".join(sets) if sets else "none listed")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--core", help="path of the core_bench executable")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    rng = np.random.default_rng(1)
    frame = rng.normal(0.0, 0.3, NUM_SAMPLES)
    frame_list = frame.tolist()
    stereo = np.asfortranarray(np.stack([frame, -frame]))
    frames = rng.normal(0.0, 0.3, (BATCH_FRAMES, NUM_SAMPLES))
    fb = GammatoneFilterbank()

    rows = core_rows(args.core) if args.core else []
    timed = [("__call__ list", lambda: fb(frame_list), 1, ""),
             ("__call__ 1-D array", lambda: fb(frame), 1, ""),
             ("__call__ F-order 2 x 1024", lambda: fb(stereo), 1, "")]
    if hasattr(Extractor, "batch"):
        cores = len(os.sched_getaffinity(0))
        timed.append(("batch, 1 thread", lambda: fb.batch(frames, num_threads=1), BATCH_FRAMES,
                      f"{BATCH_FRAMES} frames"))
        timed.append((f"batch, all threads ({cores})", lambda: fb.batch(frames, num_threads=0),
                      BATCH_FRAMES, f"{BATCH_FRAMES} frames"))
    times = best_microseconds([(call, units) for _, call, units, _ in timed])
    rows += [(name, us, note) for (name, _, _, note), us in zip(timed, times)]
    if not hasattr(Extractor, "batch"):
        rows.append(("batch", None, "Extractor.batch not in this build"))
    peer = scipy_peer(frame, [f.cf for f in fb.filters])
    rows.append(("SciPy SOS gammatone + Hilbert", peer,
                 "sosfilt per frame" if peer is not None else "SciPy not installed"))

    scalar = next((us for name, us, _ in rows if name == "core scalar"), None)
    # The fastest candidate of the dispatch, the yardstick of the calls.
    fastest = min((us for name, us, note in rows if us is not None and "candidate" in note),
                  default=None)
    model, sets = cpu_description()
    print(f"{model}; instruction sets: {sets}")
    print(f"Python {platform.python_version()}, NumPy {np.__version__}")
    if args.markdown:
        print("\n| path | us per frame | x scalar | / fastest candidate | note |")
        print("|---|--:|--:|--:|---|")
    else:
        print(f"{'path':<30} {'us/frame':>10} {'x scalar':>9} {'/fastest':>9}  note")
    for name, us, note in rows:
        us_text = f"{us:.1f}" if us is not None else "-"
        ratio = f"{scalar / us:.2f}" if us is not None and scalar else "-"
        slower = f"{us / fastest:.3f}" if us is not None and fastest else "-"
        if args.markdown:
            escaped = name.replace("_", "\\_")
            print(f"| {escaped} | {us_text} | {ratio} | {slower} | {note} |")
        else:
            print(f"{name:<30} {us_text:>10} {ratio:>9} {slower:>9}  {note}")
    one = next((us for name, us, _ in rows if name == "batch, 1 thread"), None)
    many = next((us for name, us, _ in rows if name.startswith("batch, all threads")), None)
    if one and many:
        print(f"batch on all threads: {one / many:.2f} times one thread")
    whole_signal_rows()
    return 0


def whole_signal_rows():
    """tavik.gammatonegram of 60 s at 16 kHz (25 ms frames every 10 ms, 64
    filters) in both modes, on one thread and on all, with the ratios that
    matter: continuous against frames, and threads against one."""
    try:
        import tavik
    except ImportError:
        return
    if not hasattr(tavik, "GammatoneStream"):
        return
    signal = np.random.default_rng(2).normal(0.0, 0.3, 60 * 16000)
    cores = len(os.sched_getaffinity(0))
    runs = {(mode, threads): (lambda m=mode, t=threads:
                              tavik.gammatonegram(signal, 16000, mode=m, num_threads=t))
            for mode in ("frames", "continuous") for threads in (1, 0)}
    seconds = dict(zip(runs, (us / 1e6 for us in best_microseconds(
        [(call, 1) for call in runs.values()]))))
    print(f"\ntavik.gammatonegram, 60 s at 16 kHz, 25 ms frames every 10 ms, 64 filters")
    for (mode, threads), s in seconds.items():
        label = f"{mode}, {'1 thread' if threads else f'all threads ({cores})'}"
        note = f"{seconds[mode, 1] / s:.2f} x one thread" if not threads else ""
        print(f"{label:<30} {s:>8.3f} s  {seconds['frames', 1] / s:5.2f} x frames/1  {note}")


if __name__ == "__main__":
    sys.exit(main())
