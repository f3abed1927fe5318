"""The `tavik` command line: `tavik gammatonegram` and `tavik corpus`.

soundfile, soxr, matplotlib, tqdm (the `cli` extra) and Dask (the `dask`
extra) are imported only by the commands that use them, so that `import
tavik` needs NumPy alone."""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Sequence
from importlib import resources
from pathlib import Path
from types import ModuleType

import numpy as np
import numpy.typing as npt

from _tavik.extractor import GammatoneFilterbank

from ._features import erb_rate_to_hz, hz_to_erb_rate
from ._npz import fields_of, save_atomically
from ._signal import (LOG10, Gammatonegram, default_hop, default_num_samples,
                      gammatonegram_with)

DEFAULT_HIGH_HZ = 8000.0
# Plotted levels stop this far below the loudest cell, so that frames of
# digital silence (features of -inf) show as the floor instead of as gaps.
PLOT_RANGE_DB = 100.0


class UsageError(Exception):
    """Bad input: reported as one line on stderr, exit status 2."""


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def need(module: str, extra: str = "cli") -> ModuleType:
    """An optional dependency, or a usage error that says how to get it."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise UsageError(f"this command needs the Python package {module.split('.')[0]}: "
                         f"pip install 'tavik[{extra}]'") from None


def shipped_sample() -> Path:
    """2.8 s of synthetic speech at 16 kHz, mono, installed with the package."""
    return Path(str(resources.files("tavik") / "data" / "speech.wav"))


# --- Options shared by both commands -----------------------------------------

def add_filterbank_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--num-features", type=int, default=64,
                        help="number of filters (default 64)")
    parser.add_argument("--low", type=float, default=50.0,
                        help="lowest centre frequency in Hz (default 50)")
    parser.add_argument("--high", type=float, default=None,
                        help="highest centre frequency in Hz (default 8000, or 90%% of the "
                             "Nyquist frequency of a rate below 17.8 kHz)")
    parser.add_argument("--temporal-integration", type=float, default=0.0,
                        help="time constant of the envelope smoothing in seconds (default 0)")
    parser.add_argument("--frame", type=int, default=None,
                        help="frame length in samples (default: 25 ms)")
    parser.add_argument("--hop", type=int, default=None,
                        help="samples between the starts of frames (default: 10 ms)")
    parser.add_argument("--channel", type=int, default=-1,
                        help="channel of a multichannel file, negative: their mean (default -1)")


class Analysis:
    """The filterbank and framing that the options give at one sample rate."""

    def __init__(self, args: argparse.Namespace, sample_rate: int) -> None:
        frame = args.frame if args.frame is not None else default_num_samples(sample_rate)
        hop = args.hop if args.hop is not None else default_hop(sample_rate)
        if frame < 1 or hop < 1:
            raise UsageError("--frame and --hop must be positive")
        if args.num_features < 2:
            raise UsageError("--num-features must be at least 2")
        nyquist = sample_rate / 2
        high = args.high
        if high is None:
            high = min(DEFAULT_HIGH_HZ, 0.9 * nyquist)
        elif high >= nyquist:
            raise UsageError(f"sample rate {sample_rate} Hz is too low for --high {high:g} Hz "
                             f"(the Nyquist frequency is {nyquist:g} Hz)")
        try:
            self.filterbank = GammatoneFilterbank(
                num_samples=frame, num_features=args.num_features, sample_rate=sample_rate,
                on_channel=args.channel, low_Hz=args.low, high_Hz=high,
                temporal_integration=args.temporal_integration)
        except ValueError as error:
            raise UsageError(f"{error} (--low {args.low:g} Hz, --high {high:g} Hz, "
                             f"--temporal-integration {args.temporal_integration:g} s)") from None
        self.hop: int = hop
        self.low_Hz: float = args.low
        self.high_Hz: float = high
        self.temporal_integration: float = args.temporal_integration

    def run(self, samples: npt.NDArray[np.float64], num_threads: int = 0,
            progress: Callable[[int], object] | None = None) -> Gammatonegram:
        return gammatonegram_with(self.filterbank, samples, self.hop, num_threads=num_threads,
                                  low_Hz=self.low_Hz, high_Hz=self.high_Hz,
                                  temporal_integration=self.temporal_integration,
                                  transform=LOG10, progress=progress)


def check_channel(channel: int, samples: npt.NDArray[np.float64], where: str) -> None:
    channels = 1 if samples.ndim == 1 else samples.shape[1]
    if channel >= channels:
        raise UsageError(f"--channel {channel} is out of range for {where} of "
                         f"{channels} channel(s)")


# --- tavik gammatonegram -------------------------------------------------------

def erb_rate(hz: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The ERB-rate scale of the centre frequencies, 0 below 0 Hz."""
    return np.asarray(hz_to_erb_rate(np.maximum(hz, 0.0)), dtype=np.float64)


def read_audio(path: Path) -> tuple[npt.NDArray[np.float64], int]:
    """float64 samples (1-D, or samples x channels) and the sample rate."""
    soundfile = need("soundfile")
    if not path.is_file():
        raise UsageError(f"no such audio file: {path}")
    try:
        data, sample_rate = soundfile.read(str(path), dtype="float64")
    except (RuntimeError, OSError, ValueError) as error:
        raise UsageError(f"cannot read {path} as audio: {one_line(error)}") from None
    samples: npt.NDArray[np.float64] = np.asarray(data, dtype=np.float64)
    return samples, int(sample_rate)


def plot(g: Gammatonegram, title: str, path: Path) -> None:
    matplotlib = need("matplotlib")
    matplotlib.use("Agg")
    plt = need("matplotlib.pyplot")

    # Cell edges: halfway between neighbouring centre frequencies on the
    # ERB-rate scale, and half a hop either side of each frame's centre.
    e = erb_rate(g.centre_frequencies)
    half = (e[1] - e[0]) / 2
    f_edges = erb_rate_to_hz(np.concatenate(([e[0] - half], (e[:-1] + e[1:]) / 2, [e[-1] + half])))
    centres = g.times + g.num_samples / (2 * g.sample_rate)
    half_hop = g.hop / (2 * g.sample_rate)
    t_edges = np.concatenate((centres - half_hop, [centres[-1] + half_hop]))

    level = 20.0 * g.features  # log10 of the mean envelope, as decibels
    finite = np.isfinite(level)
    top = float(level[finite].max()) if finite.any() else 0.0
    floor = top - PLOT_RANGE_DB
    shown = np.maximum(level, floor)  # -inf (silence) at the floor; NaN stays a gap

    fig, ax = plt.subplots(figsize=(10, 4.8), layout="constrained")
    mesh = ax.pcolormesh(t_edges, f_edges, shown.T, shading="flat", cmap="magma",
                         vmin=floor, vmax=top)
    ax.set_yscale("function", functions=(erb_rate, erb_rate_to_hz))
    ticks = [t for t in (50, 100, 200, 500, 1000, 2000, 4000, 8000, 16000)
             if f_edges[0] <= t <= f_edges[-1]]
    ax.set_yticks(ticks, [f"{t:g}" for t in ticks])
    ax.set_ylim(f_edges[0], f_edges[-1])
    ax.set_xlabel("time (s)")
    ax.set_ylabel("centre frequency (Hz, ERB-rate scale)")
    ax.set_title(title, fontsize=10)
    fig.colorbar(mesh, ax=ax, extend="min",
                 label=f"level (dB, 20·log10 of the mean envelope)\n"
                       f"floor: {PLOT_RANGE_DB:g} dB below the loudest")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def gammatonegram_command(args: argparse.Namespace) -> int:
    path: Path = args.file if args.file is not None else shipped_sample()
    samples, sample_rate = read_audio(path)
    check_channel(args.channel, samples, "a file")
    analysis = Analysis(args, sample_rate)
    frame = analysis.filterbank.num_samples
    duration = samples.shape[0] / sample_rate
    if samples.shape[0] < frame:
        raise UsageError(f"{path} ({duration:.3f} s) is shorter than one frame of {frame} samples")
    tqdm = need("tqdm").tqdm

    start = time.perf_counter()
    num_frames = (samples.shape[0] - frame) // analysis.hop + 1
    # The bar appears only when the work takes longer than a second.
    with tqdm(total=num_frames, unit="frame", delay=1.0, leave=False, file=sys.stderr) as bar:
        g = analysis.run(samples, progress=bar.update)
    elapsed = time.perf_counter() - start

    png = args.out.with_name(args.out.name + ".png")
    npz = args.out.with_name(args.out.name + ".npz")
    channels = 1 if samples.ndim == 1 else samples.shape[1]
    how = "mono" if channels == 1 else (
        f"{channels} channels, " + ("mean" if args.channel < 0 else f"channel {args.channel}"))
    title = (f"{path.name} ({how}, {sample_rate} Hz): {g.num_features} filters, "
             f"{g.centre_frequencies[0]:g}–{g.centre_frequencies[-1]:g} Hz, frame {frame} "
             f"({1000 * frame / sample_rate:.3g} ms), hop {g.hop}, "
             f"integration {g.temporal_integration:g} s")
    plot(g, title, png)
    save_atomically(npz, fields_of(g))

    rtf = elapsed / duration
    speed = f", {1 / rtf:,.0f}x faster than real time" if rtf > 0 else ""
    print(f"frames: {g.features.shape[0]}")
    print(f"duration: {duration:.3f} s")
    print(f"real-time factor: {rtf:.2e} ({elapsed * 1000:.1f} ms of computation{speed})")
    print(f"wrote {png} and {npz}")
    return 0


# --- The parser and the entry point ------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tavik", description="Gammatone-filterbank features of audio files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    one = commands.add_parser(
        "gammatonegram", help="picture and features of one audio file",
        description="Gammatonegram of an audio file (default: a short speech sample): "
                    "OUT.png and OUT.npz.")
    one.add_argument("file", nargs="?", type=Path, default=None,
                     help="audio file (WAV, FLAC, OGG, ...); default: the shipped sample")
    add_filterbank_options(one)
    one.add_argument("--out", type=Path, default=Path("gammatonegram"),
                     help="output path without suffix; writes OUT.png and OUT.npz "
                          "(default: gammatonegram)")

    many = commands.add_parser(
        "corpus", help="features of every audio file under a folder",
        description="One .npz of features under OUT for every audio file under IN, at the "
                    "same relative path; files already done are skipped.")
    many.add_argument("input", type=Path, metavar="IN", help="folder of audio files")
    many.add_argument("output", type=Path, metavar="OUT", help="folder for the .npz files")
    many.add_argument("--sample-rate", type=int, default=None, metavar="R",
                      help="resample every file to R Hz first (needed when rates differ)")
    where = many.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=None, metavar="N",
                       help="local worker processes (default: one per core)")
    where.add_argument("--scheduler", default=None, metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler (tcp://host:8786)")
    many.add_argument("--overwrite", action="store_true",
                      help="redo files whose .npz exists")
    add_filterbank_options(many)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        if args.command == "gammatonegram":
            return gammatonegram_command(args)
        from ._corpus import corpus_command

        return corpus_command(args)
    except UsageError as error:
        sys.stdout.flush()
        print(f"tavik {args.command}: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"tavik {args.command}: interrupted", file=sys.stderr)
        return 130


def workers_default() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
