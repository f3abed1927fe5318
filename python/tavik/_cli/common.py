"""What both commands share: the analysis options and their checks, reading
a file in blocks through the filterbank, the .npz fields, and errors."""

from __future__ import annotations

import argparse
import errno
import json
import math
import os
import sys
import time
import zipfile
from collections.abc import Callable
from dataclasses import asdict, dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, Final, TextIO

import numpy as np
import numpy.typing as npt

from _tavik import __version__, transforms
from _tavik.extractor import GammatoneFilterbank

from .. import _io
from .._analysis import (EACH, LOG10, LOG10_FLOOR_DB, MODES, Analysis, Channel, default_high_Hz,
                         log10_floor, parameters_of)
from .._signal import Gammatonegram
from .._stream import GammatoneStream

# Largest values of the integer options: what the native filterbank takes
# (32-bit rates and channels), with room for any real use.
MAX_FRAME: Final = 2**31 - 1
MAX_FEATURES: Final = 10_000
MAX_SAMPLE_RATE: Final = 1_000_000
MAX_CHANNEL: Final = 2**31 - 1


class UsageError(Exception):
    """Bad input: reported as one line on stderr, exit status 2."""

    status = 2


class OutputError(UsageError):
    """An output that could not be written once the work was done (a full or
    read-only file system): reported as one line on stderr, exit status 1."""

    status = 1


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def need(module: str, extra: str = "cli") -> ModuleType:
    """An optional dependency, or a usage error that says how to get it."""
    try:
        return _io.import_extra(module, "this command", extra)
    except ImportError as error:
        raise UsageError(str(error)) from None


# --- Options -----------------------------------------------------------------

def add_analysis_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--mode", choices=MODES, default="continuous",
                        help="continuous: the filters run through the whole signal (default); "
                             "frames: every frame filtered on its own from silence")
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
    parser.add_argument("--channel", type=channel_option, default=-1,
                        help="channel of a multichannel file, negative: their mean, each: every "
                             "channel on its own, side by side (default -1)")
    parser.add_argument("--floor-dB", type=float, default=LOG10_FLOOR_DB, dest="floor_dB",
                        help="features are log10 of the mean envelope, never below this level "
                             "(default -200 dB: silence gives -10; --floor-dB=-inf keeps -inf)")


def channel_option(text: str) -> Channel | str:
    """The value of --channel: an integer or "each", as the API takes it;
    anything else as it is, for check_options to refuse in one line."""
    try:
        return int(text)
    except ValueError:
        return text


def check_options(args: argparse.Namespace) -> None:
    """Ranges of the options that do not depend on a file, before any work."""
    def within(name: str, value: int | None, low: int, high: int) -> None:
        if value is not None and not low <= value <= high:
            raise UsageError(f"{name} must be from {low} to {high}, not {value}")

    within("--num-features", args.num_features, 2, MAX_FEATURES)
    within("--frame", args.frame, 1, MAX_FRAME)
    within("--hop", args.hop, 1, MAX_FRAME)
    if isinstance(args.channel, str):
        if args.channel != EACH:
            raise UsageError(f"--channel must be an integer or 'each', not {args.channel!r}")
    else:
        within("--channel", args.channel, -MAX_CHANNEL, MAX_CHANNEL)
    within("--sample-rate", getattr(args, "sample_rate", None), 1, MAX_SAMPLE_RATE)
    for name in ("low", "high", "temporal_integration"):
        value = getattr(args, name)
        if value is not None and not math.isfinite(value):
            raise UsageError(f"--{name.replace('_', '-')} must be a finite number, not {value}")
    try:
        log10_floor(args.floor_dB, "--floor-dB")
    except ValueError as error:
        raise UsageError(str(error)) from None


@dataclass(frozen=True)
class Settings:
    """Everything that decides the features of a file: the analysis at the
    file's rate and the floor its transform has. The same settings give the
    same features. Small, so it travels to workers by pickle (the filterbank
    stays behind: a worker's copy builds its own once)."""

    analysis: Analysis
    floor_dB: float

    @classmethod
    def of(cls, args: argparse.Namespace, sample_rate: int) -> Settings:
        """The settings that the options give at one sample rate; checks that
        a filterbank can be made of them."""
        nyquist = sample_rate / 2
        high = default_high_Hz(sample_rate) if args.high is None else args.high
        if high >= nyquist:
            raise UsageError(f"sample rate {sample_rate} Hz is too low for --high {high:g} Hz "
                             f"(the Nyquist frequency is {nyquist:g} Hz)")
        transform = (LOG10 if args.floor_dB == LOG10_FLOOR_DB
                     else transforms.log10(floor=log10_floor(args.floor_dB)))
        try:
            analysis = Analysis(sample_rate, num_samples=args.frame, hop=args.hop,
                                num_features=args.num_features, low_Hz=args.low, high_Hz=high,
                                temporal_integration=args.temporal_integration,
                                channel=args.channel if args.channel == EACH
                                else max(args.channel, -1), transform=transform,
                                mode=args.mode)
        except ValueError as error:
            raise UsageError(f"{error} (--low {args.low:g} Hz, --high {high:g} Hz, "
                             f"--temporal-integration {args.temporal_integration:g} s)") from None
        return cls(analysis, args.floor_dB)

    def stream(self, num_threads: int) -> GammatoneStream:
        """The stream that turns the blocks of a file into feature rows, on
        the analysis's own filterbank."""
        return GammatoneStream._of(self.analysis.with_threads(num_threads))

    def stored(self) -> dict[str, Any]:
        """The settings as a .npz stores them (with the package's version),
        to tell on a later run whether a file was made the same way."""
        values = parameters_of(self.analysis)
        transform, mode = values.pop("transform"), values.pop("mode")
        # In the order that earlier versions listed them, which is the order
        # in which describe_difference names them.
        return {**values, "floor_dB": self.floor_dB, "mode": mode,
                "transform": _io.transform_name(transform), "version": __version__}

    def describe_difference(self, stored: dict[str, Any], **more: Any) -> str | None:
        """None when `stored` (a file's or a store's settings) equals ours
        and `more` (what else a store records, such as its dtype), else what
        differs."""
        ours = {**self.stored(), **more}
        differ = [f"{name} {stored.get(name)!r} instead of {value!r}"
                  for name, value in ours.items() if stored.get(name) != value]
        return ", ".join(differ) or None


# --- Files through the filterbank ---------------------------------------------

def check_channel_of_file(channel: Channel, channels: int, where: str,
                          error: type[Exception] = UsageError) -> None:
    """Refuses a --channel that a file lacks (any file has a channel 0, and
    "each" takes whatever channels it has)."""
    if channel != EACH and channel >= channels:
        raise error(f"--channel {channel} is out of range for {where} of "
                    f"{channels} channel(s)")


class SignalError(ValueError):
    """A file's samples that the filterbank refuses (a non-finite sample in
    continuous mode): a fault of the file, not of its reading."""


@dataclass
class Extracted:
    """The features of a file and what was learnt reading it."""

    features: npt.NDArray[np.float64]
    centre_frequencies: npt.NDArray[np.float64]
    samples: int
    """Samples per channel read (after resampling, if any)."""
    seconds: float
    """Time spent in the filterbank."""


def extract(path: _io.AudioSource, settings: Settings, *, resample: bool, num_threads: int,
            progress: Callable[[int], object] | None = None,
            check: Callable[[_io.AudioInfo], object] | None = None) -> Extracted:
    """Features of every whole frame of a file, read in blocks: memory holds
    one block and the features, whatever the length of the file. `progress`
    is told how many samples each block had; `check` is shown the header.
    Samples that the filterbank refuses raise SignalError, which says where
    (the stream counts samples from the start of the file, at the rate it
    is given)."""
    a = settings.analysis
    stream = settings.stream(num_threads)
    rows = _Rows((a.num_features,))
    rate = ""

    def sized(info: _io.AudioInfo) -> None:
        nonlocal rate
        if check is not None:
            check(info)
        if resample and info.sample_rate != a.sample_rate:
            rate = f" (counted at {a.sample_rate} Hz, after resampling)"
        # Room for a sample and a frame more than the header and the
        # resampling promise; _Rows grows if the file holds more still.
        samples = info.samples * a.sample_rate // info.sample_rate + 1
        rows.expect(a.frame_count(samples) + 1,
                    (info.channels, a.num_features) if a.channel == EACH else (a.num_features,))

    samples = 0
    seconds = 0.0
    for block in _io.read_blocks(path, a.sample_rate if resample else None, check=sized):
        start = time.perf_counter()
        try:
            rows.add(stream.push(block))
        except ValueError as error:
            raise SignalError(f"{one_line(error)}{rate}") from None
        seconds += time.perf_counter() - start
        samples += len(block)
        if progress is not None:
            progress(len(block))
    return Extracted(rows.all(), a.filterbank().centre_frequencies, samples, seconds)


class _Rows:
    """Feature rows gathered into one array as they come, sized by the
    header's length: pages never written cost no memory, so the features of
    a file take their own size once, not twice as a list of pieces and its
    concatenation would. A header that claims too few grows the array; one
    that claims too many (or more than can be reserved) costs nothing."""

    def __init__(self, row: tuple[int, ...]) -> None:
        self._array = np.empty((0, *row))
        self._count = 0

    def expect(self, count: int, row: tuple[int, ...]) -> None:
        """Room for `count` rows of shape `row` (num_features, or channels
        and num_features)."""
        try:
            self._array = np.empty((count, *row))
        except (MemoryError, ValueError):
            self._array = np.empty((1024, *row))

    def add(self, rows: npt.NDArray[np.float64]) -> None:
        end = self._count + len(rows)
        if end > len(self._array):
            grown = np.empty((max(end, len(self._array) * 3 // 2 + 1024), *self._array.shape[1:]))
            grown[:self._count] = self._array[:self._count]
            self._array = grown
        self._array[self._count:end] = rows
        self._count = end

    def all(self) -> npt.NDArray[np.float64]:
        return self._array[:self._count]


def record_of(extracted: Extracted, settings: Settings) -> Gammatonegram:
    """The features as the record that tavik.gammatonegram returns."""
    a = settings.analysis
    return Gammatonegram(features=extracted.features,
                         centre_frequencies=extracted.centre_frequencies,
                         times=a.times(0, extracted.features.shape[0]), **parameters_of(a))


def npz_fields(g: Gammatonegram, settings: Settings, **source: Any) -> dict[str, Any]:
    """What an .npz holds: the arrays, each setting by name, what is known of
    the source, and all of these with the package's version as one JSON text
    (`settings`), read back on a later run to tell whether the file is done."""
    return {
        **_io.fields_of(g),
        "floor_dB": settings.floor_dB,
        "mode": settings.analysis.mode,
        **source,
        "settings": _io.settings_text(settings.stored(), **source),
    }


def stored_settings(path: Path) -> dict[str, Any] | None:
    """The settings an .npz of ours was made with, or None if it has none."""
    try:
        text = _io.read_npz_member(path, "settings")
        stored = json.loads(str(text))
    except (OSError, KeyError, ValueError, EOFError, zipfile.BadZipFile):
        return None
    return stored if isinstance(stored, dict) else None


# Control characters (C0, DEL and C1) as \\xNN: a name holding a newline or
# an escape sequence stays on its one line and never drives the terminal.
_CONTROLS: Final = {code: f"\\x{code:02x}"
                    for code in (*range(0x20), *range(0x7f, 0xa0))}


def printable(line: str, encoding: str = "utf-8") -> str:
    """The line as a stream of `encoding` can print it, on one line: a file
    name's bytes that are not UTF-8 (which os.fsdecode turned into lone
    surrogates) and control characters (a newline, a tab, an escape) as
    \\xNN escapes, and whatever else the encoding lacks as backslash escapes."""
    try:
        line = line.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # a surrogate that no file name holds
        line = line.encode("utf-8", "backslashreplace").decode("utf-8")
    line = line.translate(_CONTROLS)
    try:
        return line.encode(encoding, "backslashreplace").decode(encoding)
    except LookupError:
        return line


def report(line: str, stream: TextIO | None = None) -> None:
    """Prints a line of a command's report (stdout unless `stream` is given),
    whatever the names in it and the encoding of the stream."""
    stream = stream if stream is not None else sys.stdout
    print(printable(line, getattr(stream, "encoding", None) or "utf-8"), file=stream)


def print_stderr(line: str) -> None:
    sys.stdout.flush()
    report(line, sys.stderr)


def check_can_make(path: Path, what: Path) -> None:
    """Refuses, before any work, to write `what` into the folder `path` when
    that cannot be: the nearest existing of `path` and its parents (a
    symbolic link counts, even one to nothing) must be a folder that this
    process may write to, and no name in `what` (nor `what` whole) may be
    longer than the file system there takes."""
    for folder in (path, *path.parents):
        if not os.path.lexists(folder):  # also a name too long to look up
            continue
        if not folder.is_dir():
            reason = ("a symbolic link to nothing" if not folder.exists()
                      else "not a folder")
            raise UsageError(f"cannot write {what}: {folder} is {reason}")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise UsageError(f"cannot write {what}: {folder}: {_unwritable(folder)}")
        if (any(len(os.fsencode(name)) > _limit(folder, "PC_NAME_MAX", 255) for name in what.parts)
                or len(os.fsencode(what)) >= _limit(folder, "PC_PATH_MAX", 4096)):
            raise UsageError(f"cannot write {what}: {os.strerror(errno.ENAMETOOLONG)}")
        return


def _limit(folder: Path, name: str, default: int) -> int:
    """A limit of the file system holding `folder` (the longest name, the
    longest path), or POSIX's usual value where it has none."""
    try:
        limit = os.pathconf(folder, name)
    except (OSError, ValueError):
        return default
    return limit if limit > 0 else default


def _unwritable(folder: Path) -> str:
    try:
        if os.statvfs(folder).f_flag & os.ST_RDONLY:
            return os.strerror(errno.EROFS)
    except OSError:
        pass
    return os.strerror(errno.EACCES)


def write_error(error: OSError) -> OutputError:
    """An output's failure as one line: the file and the reason."""
    where = error.filename if error.filename is not None else "the output"
    return OutputError(f"cannot write {os.fsdecode(where)}: {error.strerror or one_line(error)}")
