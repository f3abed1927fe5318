#!/usr/bin/env python3
"""Gammatonegram of an audio file: gammatone-filterbank features of every frame.

    python examples/gammatonegram.py [FILE] [options]

Reads FILE (WAV, FLAC, OGG, anything libsndfile reads), or, given none, a short
recording of speech shipped beside this script. Cuts the signal into frames
(hop: half a frame unless --hop says otherwise), computes the filterbank's
features of every frame, and writes OUT.png (time against centre frequency on
an ERB-rate axis) and OUT.npy (frames x features, the filterbank's log10
levels). A mono file goes through Extractor.batch; a multichannel file through
the column-major matrix path, one frame at a time, reduced to one channel by
--channel (default: the mean of all channels).

Bad input (a missing or unreadable file, a sample rate too low for --high, an
empty frequency range, a file shorter than one frame) ends with a one-line
message and exit status 2.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

from _tavik.extractor import GammatoneFilterbank

DEFAULT_AUDIO = Path(__file__).resolve().parent / "data" / "speech.wav"
DEFAULT_HIGH_HZ = 8000.0
# Frames of the batch path handed to the extension per progress-bar step.
CHUNK_FRAMES = 512

Array = npt.NDArray[np.float64]


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


def erb_rate(hz: Array) -> Array:
    """The ERB-rate scale on which the centre frequencies are evenly spaced."""
    return np.asarray(21.4 * np.log10(0.00437 * np.maximum(hz, 0.0) + 1.0), dtype=np.float64)


def erb_rate_to_hz(erb: Array) -> Array:
    return np.asarray((10.0 ** (erb / 21.4) - 1.0) / 0.00437, dtype=np.float64)


def read_audio(path: Path) -> tuple[Array, int]:
    """Samples as float64 of shape (samples, channels), and the sample rate."""
    import soundfile

    if not path.is_file():
        raise UsageError(f"no such audio file: {path}")
    try:
        data, sample_rate = soundfile.read(str(path), dtype="float64", always_2d=True)
    except (RuntimeError, OSError, ValueError) as error:
        reason = " ".join(str(error).split())
        raise UsageError(f"cannot read {path} as audio: {reason}") from None
    samples: Array = np.asarray(data, dtype=np.float64)
    return samples, int(sample_rate)


def add_filterbank_options(parser: argparse.ArgumentParser) -> None:
    """The filterbank's parameters and the framing, shared with corpus.py."""
    parser.add_argument("--num-features", type=int, default=64,
                        help="number of filters (default 64)")
    parser.add_argument("--low", type=float, default=50.0,
                        help="lowest centre frequency in Hz (default 50)")
    parser.add_argument("--high", type=float, default=None,
                        help="highest centre frequency in Hz (default 8000, or 90%% of the "
                             "Nyquist frequency of a file sampled below 17.8 kHz)")
    parser.add_argument("--temporal-integration", type=float, default=0.0,
                        help="time constant of the envelope smoothing in seconds (default 0)")
    parser.add_argument("--frame", type=int, default=None,
                        help="frame length in samples (default: 25 ms of the file)")
    parser.add_argument("--hop", type=int, default=None,
                        help="hop between frames in samples (default: half a frame)")
    parser.add_argument("--channel", type=int, default=-1,
                        help="channel of a multichannel file, negative: their mean (default -1)")


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Gammatonegram of an audio file (default: a short speech sample).")
    parser.add_argument("file", nargs="?", type=Path, default=None,
                        help="audio file (WAV, FLAC, OGG, ...); default: the shipped sample")
    add_filterbank_options(parser)
    parser.add_argument("--out", type=Path, default=Path("gammatonegram"),
                        help="output path without suffix; writes OUT.png and OUT.npy "
                             "(default: gammatonegram)")
    return parser.parse_args(argv)


def framing(args: argparse.Namespace, sample_rate: int) -> tuple[int, int]:
    """Frame length and hop in samples."""
    frame = args.frame if args.frame is not None else default_frame(sample_rate)
    hop = args.hop if args.hop is not None else max(1, frame // 2)
    if frame < 1 or hop < 1:
        raise UsageError("--frame and --hop must be positive")
    return frame, hop


def make_filterbank(args: argparse.Namespace, sample_rate: int,
                    frame: int) -> GammatoneFilterbank:
    nyquist = sample_rate / 2
    high = args.high
    if high is None:
        high = min(DEFAULT_HIGH_HZ, 0.9 * nyquist)
    elif high >= nyquist:
        raise UsageError(
            f"sample rate {sample_rate} Hz is too low for --high {high:g} Hz "
            f"(the Nyquist frequency is {nyquist:g} Hz)")
    if args.num_features < 2:
        raise UsageError("--num-features must be at least 2")
    try:
        return GammatoneFilterbank(
            num_samples=frame, num_features=args.num_features, sample_rate=sample_rate,
            on_channel=args.channel, low_Hz=args.low, high_Hz=high,
            temporal_integration=args.temporal_integration)
    except ValueError as error:
        raise UsageError(f"{error} (--low {args.low:g} Hz, --high {high:g} Hz, "
                         f"--temporal-integration {args.temporal_integration:g} s)") from None


def features_of(fb: GammatoneFilterbank, samples: Array, hop: int,
                progress: Callable[[int], object] | None = None,
                num_threads: int = 0) -> Array:
    """Features of every whole frame of `samples` (samples x channels), as
    frames x features. `progress` is told how many frames each step did."""
    frame = fb.num_samples
    num_frames = (samples.shape[0] - frame) // hop + 1
    out = np.empty((max(num_frames, 0), fb.num_features))
    if samples.shape[1] == 1:
        # Rows of the strided window view are read in place by batch.
        frames = sliding_window_view(samples[:, 0], frame)[::hop]
        for start in range(0, num_frames, CHUNK_FRAMES):
            chunk = frames[start:start + CHUNK_FRAMES]
            out[start:start + len(chunk)] = fb.batch(chunk, num_threads)
            if progress is not None:
                progress(len(chunk))
    else:
        for i in range(num_frames):
            # samples is (time, channels) in C order: the transpose of a slice
            # is a column-major (channels, frame) view, passed without a copy.
            out[i] = fb(samples[i * hop:i * hop + frame].T)
            if progress is not None:
                progress(1)
    return out


def default_frame(sample_rate: int) -> int:
    """25 ms, the usual analysis window of speech."""
    return max(2, round(0.025 * sample_rate))


def plot(features: Array, fb: GammatoneFilterbank, hop: int, title: str, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sr = fb.sample_rate
    frame = fb.num_samples
    cf = np.array([f.cf for f in fb.filters])
    # Cell edges: halfway between neighbouring centre frequencies on the
    # ERB-rate scale, and half a hop either side of each frame's centre.
    e = erb_rate(cf)
    half = (e[1] - e[0]) / 2
    f_edges = erb_rate_to_hz(np.concatenate(([e[0] - half], (e[:-1] + e[1:]) / 2, [e[-1] + half])))
    centres = (np.arange(features.shape[0]) * hop + frame / 2) / sr
    t_edges = np.concatenate((centres - hop / (2 * sr), [centres[-1] + hop / (2 * sr)]))

    level = 20.0 * features  # log10 of the mean envelope, as decibels
    top = float(np.nanmax(level[np.isfinite(level)])) if np.isfinite(level).any() else 0.0

    fig, ax = plt.subplots(figsize=(10, 4.8), layout="constrained")
    mesh = ax.pcolormesh(t_edges, f_edges, level.T, shading="flat", cmap="magma",
                         vmin=top - 80.0, vmax=top)
    ax.set_yscale("function", functions=(erb_rate, erb_rate_to_hz))
    ticks = [t for t in (50, 100, 200, 500, 1000, 2000, 4000, 8000, 16000)
             if f_edges[0] <= t <= f_edges[-1]]
    ax.set_yticks(ticks, [f"{t:g}" for t in ticks])
    ax.set_ylim(f_edges[0], f_edges[-1])
    ax.set_xlabel("time (s)")
    ax.set_ylabel("centre frequency (Hz, ERB-rate scale)")
    ax.set_title(title, fontsize=10)
    fig.colorbar(mesh, ax=ax, label="level (dB, 20·log10 of the mean envelope)")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_arguments(argv)
    path: Path = args.file if args.file is not None else DEFAULT_AUDIO
    samples, sample_rate = read_audio(path)
    if args.channel >= samples.shape[1]:
        raise UsageError(f"--channel {args.channel} is out of range for a file of "
                         f"{samples.shape[1]} channel(s)")

    frame, hop = framing(args, sample_rate)
    fb = make_filterbank(args, sample_rate, frame)
    duration = samples.shape[0] / sample_rate
    if samples.shape[0] < frame:
        raise UsageError(f"{path} ({duration:.3f} s) is shorter than one frame of {frame} samples")

    from tqdm import tqdm

    start = time.perf_counter()
    num_frames = (samples.shape[0] - frame) // hop + 1
    # The bar appears only when the work takes longer than a second.
    with tqdm(total=num_frames, unit="frame", delay=1.0, leave=False,
              file=sys.stderr) as bar:
        features = features_of(fb, samples, hop, bar.update)
    elapsed = time.perf_counter() - start

    png = args.out.with_name(args.out.name + ".png")
    npy = args.out.with_name(args.out.name + ".npy")
    np.save(npy, features)
    channels = samples.shape[1]
    how = "mono" if channels == 1 else (
        f"{channels} channels, " + ("mean" if args.channel < 0 else f"channel {args.channel}"))
    title = (f"{path.name} ({how}, {sample_rate} Hz): {fb.num_features} filters, "
             f"{fb.filters[0].cf:g}–{fb.filters[-1].cf:g} Hz, frame {frame} "
             f"({1000 * frame / sample_rate:.3g} ms), hop {hop}, "
             f"integration {args.temporal_integration:g} s")
    plot(features, fb, hop, title, png)

    rtf = elapsed / duration
    speed = f", {1 / rtf:,.0f}x faster than real time" if rtf > 0 else ""
    print(f"frames: {features.shape[0]}")
    print(f"duration: {duration:.3f} s")
    print(f"real-time factor: {rtf:.2e} ({elapsed * 1000:.1f} ms of computation{speed})")
    print(f"wrote {png} and {npy}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except UsageError as error:
        print(f"gammatonegram: {error}", file=sys.stderr)
        sys.exit(2)
