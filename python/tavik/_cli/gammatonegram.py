"""`tavik gammatonegram [FILE]`: the picture and the features of one file."""

from __future__ import annotations

import argparse
import os
import sys
import time
from importlib import resources
from pathlib import Path
from typing import IO, Any, cast

from .. import _io
from .common import (Settings, SignalError, UsageError, add_analysis_options, check_can_make,
                     check_channel, check_options, extract, need, npz_fields, one_line,
                     printable, record_of, report, write_error)

# Suffixes of --out that name what they are: OUT.png and OUT.npz are written.
OUT_SUFFIXES = (".png", ".npz")


def shipped_sample() -> Path:
    """2.8 s of synthetic speech at 16 kHz, mono, installed with the package."""
    return Path(str(resources.files("tavik") / "data" / "speech.wav"))


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    one = commands.add_parser(
        "gammatonegram", help="picture and features of one audio file",
        description="Gammatonegram of an audio file (default: a short speech sample): "
                    "OUT.png and OUT.npz.")
    one.add_argument("file", nargs="?", type=Path, default=None,
                     help="audio file (WAV, FLAC, OGG, ...); default: the shipped sample")
    add_analysis_options(one)
    one.add_argument("--out", default=None,
                     help="where to write OUT.png and OUT.npz (a suffix .png or .npz is "
                          "taken off; default: the file's name without suffix, in the "
                          "current folder, or gammatonegram for the shipped sample)")
    one.add_argument("--no-plot", action="store_true", help="write OUT.npz only")
    one.set_defaults(run=run)


def output_paths(out: str | None, file: Path | None) -> tuple[Path, Path]:
    """OUT.png and OUT.npz, checked to be names of files, before any work."""
    if out is None:
        base = Path(file.stem if file is not None else "gammatonegram")
    else:
        name = Path(out).name
        if not out or out.endswith(("/", os.sep)) or name in ("", ".", ".."):
            raise UsageError(f"--out {out!r} names a folder, not a file")
        base = Path(out)
        if base.suffix.lower() in OUT_SUFFIXES:
            base = base.with_suffix("")
    png, npz = (base.with_name(base.name + suffix) for suffix in OUT_SUFFIXES)
    for path in (png, npz):
        if os.path.isdir(path):
            raise UsageError(f"cannot write {path}: it is a folder")
        check_can_make(path.parent, path)
    return png, npz


def since_start() -> float | None:
    """Seconds since this process started (Linux), else None."""
    try:
        with open("/proc/self/stat", "rb") as stat, open("/proc/uptime", "rb") as uptime:
            started = int(stat.read().rsplit(b")", 1)[1].split()[19])
            return float(uptime.read().split()[0]) - started / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return None


def run(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    check_options(args)
    path: Path = args.file if args.file is not None else shipped_sample()
    png, npz = output_paths(args.out, args.file)
    need("soundfile")
    tqdm = need("tqdm").tqdm
    if not path.is_file():
        raise UsageError(f"no such audio file: {path}")
    try:
        info = _io.audio_info(path)
    except (RuntimeError, OSError, ValueError) as error:
        raise UsageError(f"cannot read {path} as audio: {one_line(error)}") from None
    check_channel(args.channel, info.channels, "a file")
    settings = Settings.of(args, info.sample_rate)
    frame = settings.analysis.num_samples
    if info.samples < frame:
        raise UsageError(f"{path} ({info.samples / info.sample_rate:.3f} s) is shorter than "
                         f"one frame of {frame} samples")

    # The bar appears only when the work takes longer than a second.
    with tqdm(total=info.samples, unit="sample", unit_scale=True, delay=1.0, leave=False,
              file=sys.stderr) as bar:
        try:
            extracted = extract(path, settings, resample=False, num_threads=0,
                                progress=bar.update)
        except SignalError as error:
            raise UsageError(f"cannot compute the features of {path}: {error}") from None
        except (RuntimeError, OSError, ValueError) as error:
            raise UsageError(f"cannot read {path} as audio: {one_line(error)}") from None
    if not len(extracted.features):
        raise UsageError(f"{path} ({extracted.samples} samples read) is shorter than one "
                         f"frame of {frame} samples")
    g = record_of(extracted, settings)
    writers: dict[Path, object] = {npz: lambda file: _io.write_npz(file, npz_fields(g, settings))}
    if not args.no_plot:
        writers = {png: picture_writer(g, settings, path, info.channels), **writers}
    try:
        _io.write_all_or_nothing(writers)  # type: ignore[arg-type]
    except OSError as error:
        raise write_error(error) from None

    duration = extracted.samples / settings.analysis.sample_rate
    whole = since_start()
    whole = whole if whole is not None else time.perf_counter() - started
    rtf = extracted.seconds / duration
    speed = f", {1 / rtf:,.0f}x faster than real time" if rtf > 0 else ""
    report(f"frames: {g.features.shape[0]}")
    report(f"duration: {duration:.3f} s")
    report(f"real-time factor: {rtf:.2e} ({extracted.seconds * 1000:.1f} ms in the filterbank"
           f"{speed}; the whole command {whole:.2f} s, {duration / whole:,.1f}x real time)")
    report(f"wrote {png} and {npz}" if not args.no_plot else f"wrote {npz}")
    return 0


def picture_writer(g: object, settings: Settings, path: Path, channels: int) -> object:
    """Draws the picture now (so a failure comes before anything is written)
    and returns what writes it as a PNG."""
    matplotlib = need("matplotlib")
    matplotlib.use("Agg")
    plt = need("matplotlib.pyplot")
    from ..display import plot

    a = settings.analysis
    how = "mono" if channels == 1 else (
        f"{channels} channels, " + ("mean" if a.channel < 0 else f"channel {a.channel}"))
    fig, ax = plt.subplots(figsize=(10, 4.8), layout="constrained")
    # Through Any: the check of this call depends on the versions of NumPy's
    # and matplotlib's annotations, and ax is the module's Any anyway.
    cast(Any, plot)(g, ax)
    frame = a.num_samples
    ax.set_title(f"{printable(path.name)} ({how}, {a.sample_rate} Hz, "
                 f"{a.mode} mode): "
                 f"{a.num_features} filters, {a.low_Hz:g}–{a.high_Hz:g} Hz, "
                 f"frame {frame} ({1000 * frame / a.sample_rate:.3g} ms), "
                 f"hop {a.hop}, integration {a.temporal_integration:g} s",
                 fontsize=9)

    def write(file: IO[bytes]) -> None:
        try:
            fig.savefig(file, format="png", dpi=110)
        finally:
            plt.close(fig)

    return write
