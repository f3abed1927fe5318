"""Gammatonegrams and audio files: audio read in blocks, .npz files written
reproducibly and whole or not at all, and read back by :func:`load`.
soundfile and soxr (the `cli` extra) are imported when used."""

from __future__ import annotations

import dataclasses
import errno
import hashlib
import importlib
import json
import math
import os
import pickle
import re
import struct
import zipfile
import zlib
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from types import MappingProxyType, ModuleType
from typing import IO, Any, BinaryIO, Final, cast

import numpy as np
import numpy.typing as npt

from _tavik import transforms

from ._analysis import (LOG10, MODES, Transform, build_filterbank, check_integer, given,
                        parameters_of)
from ._signal import Gammatonegram

_ARRAY_FIELDS = ("features", "centre_frequencies", "times")
# The repr of a native transform, as the writer stores it: its class and at
# most one parameter, such as "log10(floor=1e-10)" or "power(exponent=0.5)".
_NATIVE_TRANSFORM = re.compile(r"(identity|log10|dB|power)\((?:(\w+)=([^()]*))?\)")


class UnrestoredTransform:
    """Stands for a Python transform that a file names but cannot hold: the
    features were made with it, and a filterbank built again needs it."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __call__(self, value: float) -> float:
        raise TypeError(f"the transform {self.name!r} of a loaded gammatonegram is a Python "
                        "callable that a .npz file does not hold; pass the callable itself to "
                        "tavik.gammatonegram or GammatoneFilterbank")

    def __repr__(self) -> str:
        return self.name


def transform_named(name: str) -> Transform | None:
    """The transform that the writer stored under `name` ("log10" is
    :data:`LOG10` in files written before it was a native transform)."""
    if name == "log10":
        return LOG10
    if name == "none":
        return None
    match = _NATIVE_TRANSFORM.fullmatch(name)
    if match:
        kind, parameter, value = match.groups()
        factory = getattr(transforms, kind)
        try:
            native: Transform = (factory() if parameter is None
                                 else factory(**{parameter: float(value)}))
            return native
        except (TypeError, ValueError):
            pass
    return UnrestoredTransform(name)


def _value(array: np.ndarray[Any, Any]) -> Any:
    """A stored scalar as the Python number or string it was; an array as a
    read-only array."""
    if array.ndim == 0:
        return array.item()
    array.flags.writeable = False
    return array


def load(path: str | os.PathLike[str]) -> Gammatonegram:
    """A gammatonegram from a ``.npz`` file written by the command line or the corpus.

    ``tavik gammatonegram`` and ``tavik corpus`` store every field of a
    :class:`Gammatonegram` (the transform by its name) and a few of their own,
    such as ``source_sample_rate``, the rate of the audio file before any
    resampling. The fields of the gammatonegram become its fields again, the
    transform included (a native one, or the default log10), so that
    :meth:`Gammatonegram.filterbank` builds the filterbank that made the
    features; the others are kept in :attr:`Gammatonegram.extra`. The arrays
    are read-only.

    Parameters
    ----------
    path : str or os.PathLike
        The ``.npz`` file.

    Returns
    -------
    Gammatonegram
        The features with their parameters. A transform that was a Python
        callable cannot be stored: it is restored as a stand-in that names it
        and raises TypeError when applied.

    Raises
    ------
    TypeError
        If ``path`` is neither a string nor a path.
    FileNotFoundError
        If there is no such file (other errors of the operating system as
        they are).
    ValueError
        If the file is not a ``.npz`` archive of a gammatonegram (another
        format, a ``.npy`` file, a damaged archive, missing fields, a field
        of the wrong type or shape, features whose columns are not
        ``num_features`` or whose rows are not the ``times``, a parameter
        out of the filterbank's range or one that makes no filterbank,
        centre frequencies or times that are not finite, times that
        decrease), a member is compressed otherwise than stored or deflated
        (bzip2 or LZMA), or a member declares a size out of proportion to
        the file (more than 100 times its size, as a deflated run of zeros
        does): the message names the file and the problem. Only the members
        the gammatonegram needs are read before it is checked, and none is
        inflated beyond its declared size.

    Notes
    -----
    Features and times stored as float32 are converted to float64
    (exactly); members that are not ``.npy`` arrays are ignored.

    See Also
    --------
    gammatonegram : Computes one.

    Examples
    --------
    The file that ``tavik gammatonegram speech.wav --out speech`` writes is
    read back with its filterbank:

    >>> import tavik
    >>> g = tavik.load("speech.npz")
    >>> g.features.shape, g.sample_rate
    ((274, 64), 16000)
    >>> fb = g.filterbank()
    >>> fb.num_features, fb.num_samples
    (64, 400)

    Anything else is refused with a clear error:

    >>> import numpy as np
    >>> np.savez("other.npz", features=np.zeros((3, 2)))
    >>> tavik.load("other.npz")
    Traceback (most recent call last):
    ...
    ValueError: other.npz is not a gammatonegram: it lacks the fields centre_frequencies, ...
    """
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a str or an os.PathLike, not {type(path).__name__}")
    name = os.fsdecode(path)
    # Opened first: a missing or unreadable file is the operating system's error.
    problem: Exception
    with open(path, "rb") as file:
        try:
            return _load(file, name)
        except _Refused as refused:
            raise ValueError(str(refused)) from None
        except OSError as error:
            if error.errno not in (None, errno.EINVAL):
                raise
            problem = error
        except (ValueError, TypeError, EOFError, KeyError, IndexError, AttributeError,
                NotImplementedError, RuntimeError, MemoryError, OverflowError, struct.error,
                zipfile.BadZipFile, zlib.error, pickle.UnpicklingError) as error:
            problem = error
    detail = " ".join(str(problem).split()) or type(problem).__name__
    raise ValueError(f"{name} is not a .npz archive of a gammatonegram: {detail}")


class _Refused(Exception):
    """A file refused with its own message, naming the file: raised by load
    as a plain ValueError."""


# A member may declare this many times the file's size (plus a little): far
# more than any compressed features need, far less than a deflated run of
# zeros (about 1000 times), so that no member is inflated out of proportion.
_INFLATION = 100
_INFLATION_SLACK = 1 << 20
# The compression methods read: zipfile inflates a deflated member only as far
# as each read asks, but hands a bzip2 or LZMA member's stream to a
# decompressor with no bound on its output, whatever size the member declares.
_METHODS: Final = (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)
_OTHER_METHODS: Final = {zipfile.ZIP_BZIP2: "bzip2", zipfile.ZIP_LZMA: "LZMA"}


def _load(file: IO[bytes], name: str) -> Gammatonegram:
    if file.read(6) == b"\x93NUMPY":
        raise _Refused(f"{name} is not a .npz archive of a gammatonegram but a .npy array")
    file.seek(0)
    size = os.fstat(file.fileno()).st_size
    with zipfile.ZipFile(file) as archive:
        # As np.load names them: the member's name without ".npy".
        members = {info.filename[:-4]: info for info in archive.infolist()
                   if info.filename.endswith(".npy")}
        limit = _INFLATION * size + _INFLATION_SLACK
        for key, info in members.items():
            if info.compress_type not in _METHODS:
                method = _OTHER_METHODS.get(info.compress_type, f"method {info.compress_type}")
                raise _Refused(f"{name} is not a gammatonegram: its member {key} is compressed "
                               f"with {method}; only stored and deflated members are read")
            if info.file_size > limit:
                raise _Refused(f"{name} is not a gammatonegram: its member {key} declares "
                               f"{info.file_size} bytes, out of proportion to the file's {size}")
        declared = sum(info.file_size for info in members.values())
        if declared > limit:
            raise _Refused(f"{name} is not a gammatonegram: its members declare {declared} "
                           f"bytes, out of proportion to the file's {size}")
        fields = [f for f in dataclasses.fields(Gammatonegram) if f.name != "extra"]
        required = [f.name for f in fields
                    if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING]
        # Files written before continuous mode existed hold frames-mode features.
        missing = [n for n in required if n not in members and n != "mode"]
        if missing:
            raise _Refused(f"{name} is not a gammatonegram: it lacks the fields "
                           f"{', '.join(missing)}")
        known = {f.name for f in fields}
        own = {key: _member(archive, info, name) for key, info in members.items() if key in known}
        own.setdefault("mode", "frames")
        transform = own.pop("transform")
        if not isinstance(transform, str):
            raise _Refused(f"{name} is not a gammatonegram: its transform is not a name")
        for key in _ARRAY_FIELDS:
            if not isinstance(own[key], np.ndarray):
                raise _Refused(f"{name} is not a gammatonegram: its {key} is not an array")
        for key, value in own.items():
            if key not in _ARRAY_FIELDS and isinstance(value, np.ndarray):
                raise _Refused(f"{name} is not a gammatonegram: its {key} is not a scalar")
        if own["mode"] not in MODES:
            raise _Refused(f"{name} is not a gammatonegram: its mode is {own['mode']!r}")
        try:
            record = Gammatonegram(**own, transform=transform_named(transform))
        except (TypeError, ValueError) as error:
            raise _Refused(f"{name} is not a gammatonegram: {error}") from None
        try:
            # What only the filters' design can tell: an empty or non-finite
            # frequency range, a negative or infinite time constant.
            build_filterbank(record)
        except ValueError as error:
            raise _Refused(f"{name} is not a gammatonegram: its parameters make no filterbank "
                           f"({error})") from None
        # The other fields only once the gammatonegram is whole.
        extra = {key: _member(archive, info, name) for key, info in members.items()
                 if key not in known}
    return dataclasses.replace(record, extra=MappingProxyType(extra))


def _member(archive: zipfile.ZipFile, info: zipfile.ZipInfo, name: str) -> Any:
    """One .npy member as a Python scalar or a read-only array, once its
    header has shown that it holds no more than the archive says."""
    with archive.open(info) as stream:
        version = _read_magic(stream)
        if version == (1, 0):
            shape, _, dtype = _read_header_1_0(stream)
        elif version == (2, 0):
            shape, _, dtype = _read_header_2_0(stream)
        else:
            raise _Refused(f"{name} is not a gammatonegram: its member {info.filename} is a .npy "
                           f"of version {version[0]}.{version[1]}")
        declared = math.prod(shape) * dtype.itemsize
        if dtype.hasobject or declared > info.file_size:
            raise _Refused(f"{name} is not a gammatonegram: its member {info.filename} declares "
                           f"{'objects' if dtype.hasobject else f'{declared} bytes'} in "
                           f"{info.file_size}")
    with archive.open(info) as stream:
        return _value(_read_array(stream, allow_pickle=False))


# Samples per channel of one block read: 64 Ki samples of 8 channels are
# 4 MiB of float64, so memory does not grow with the length of a file.
BLOCK_SAMPLES = 1 << 16

# np.savez stamps every member with the current time; a fixed stamp makes
# files of equal content equal byte for byte, whichever machine wrote them.
_STAMP = (1980, 1, 1, 0, 0, 0)
# NumPy's writer and reader of one .npy member; they have no annotations.
_write_array = cast(Callable[..., None], np.lib.format.write_array)
_read_array = cast(Callable[..., Any], np.lib.format.read_array)
_read_magic = cast(Callable[..., tuple[int, int]], np.lib.format.read_magic)
_read_header_1_0 = cast(Callable[..., tuple[tuple[int, ...], bool, np.dtype[Any]]],
                        np.lib.format.read_array_header_1_0)
_read_header_2_0 = cast(Callable[..., tuple[tuple[int, ...], bool, np.dtype[Any]]],
                        np.lib.format.read_array_header_2_0)


@dataclass(frozen=True)
class AudioInfo:
    """What a file's header says."""

    sample_rate: int
    channels: int
    samples: int
    """Samples per channel as the header claims them (reading may find fewer)."""


# What audio is read from: a file's name or path, or an open binary file
# object (anything with read, seek and tell that soundfile takes).
AudioSource = str | bytes | os.PathLike[str] | os.PathLike[bytes] | BinaryIO


def import_extra(module: str, needed_by: str, extra: str = "cli") -> ModuleType:
    """An optional dependency, or an ImportError that names who needs it and
    how to install it: ``{needed_by} needs the Python package soundfile:
    pip install 'tavik[cli]'``."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"{needed_by} needs the Python package {module.split('.')[0]}: "
                          f"pip install 'tavik[{extra}]'") from None


def _soundfile_source(source: AudioSource) -> Any:
    """What soundfile opens: a file object as it is, a name as bytes, so
    that a name in any encoding opens."""
    return source if hasattr(source, "read") else os.fsencode(cast(str, source))


def audio_info(path: AudioSource) -> AudioInfo:
    """The header of an audio file (a name or an open binary file); errors
    are libsndfile's (RuntimeError, OSError or ValueError)."""
    import soundfile

    info = soundfile.info(_soundfile_source(path))
    return AudioInfo(int(info.samplerate), int(info.channels), max(0, int(info.frames)))


def read_blocks(source: AudioSource, resample_to: int | None = None,
                block: int = BLOCK_SAMPLES, check: Callable[[AudioInfo], object] | None = None
                ) -> Iterator[npt.NDArray[np.float64]]:
    """The samples of an audio file as float64 blocks, 1-D for one channel and
    (samples, channels) otherwise, exactly what soundfile.read(source) returns
    cut into pieces. With `resample_to`, resampled block by block by soxr's
    streaming resampler, whose output is bit for bit soxr.resample's of the
    whole signal (checked by the tests). A header that claims more samples
    than the file holds ends at what is there. `check` is shown the header
    before anything is read (and may raise). `source` is a name (passed as
    bytes, so that a name in any encoding opens) or an open binary file."""
    import soundfile

    with soundfile.SoundFile(_soundfile_source(source)) as file:
        if check is not None:
            check(AudioInfo(int(file.samplerate), int(file.channels), max(0, int(file.frames))))
        resampler = None
        if resample_to is not None and resample_to != file.samplerate:
            soxr = import_extra("soxr", "resampling")
            resampler = soxr.ResampleStream(file.samplerate, resample_to, file.channels,
                                            dtype="float64")
        read = _block_reader(file)
        while True:
            data = read(block)
            last = len(data) == 0
            if resampler is not None:
                data = resampler.resample_chunk(data, last=last)
            if len(data):
                yield data
            if last:
                return


_AUDIO_DTYPES: Final = {"float64": np.float64, "float32": np.float32}


def read_audio(path_or_file: AudioSource, sample_rate: int | None = None, *,
               dtype: npt.DTypeLike = "float64") -> tuple[npt.NDArray[Any], int]:
    """Read an audio file as the command line reads it, at a target rate if asked.

    The samples are those of ``soundfile.read``, read in blocks as ``tavik
    gammatonegram`` and ``tavik corpus`` read them (the same code), and, when
    ``sample_rate`` is given and differs from the file's, resampled by
    python-soxr's streaming resampler as ``tavik corpus --sample-rate``
    resamples (its default quality, bit for bit ``soxr.resample`` of the whole
    signal). So ``tavik.gammatonegram(*tavik.read_audio(path, 16000))`` gives
    the features that the command line saves for the same file, bit for bit.
    Needs the ``cli`` extra (soundfile and soxr); ``import tavik`` does not.

    Parameters
    ----------
    path_or_file : str, bytes, os.PathLike or binary file object
        The audio file (WAV, FLAC, OGG, MP3 and whatever else libsndfile
        reads), or an open binary file that soundfile can read.
    sample_rate : int, optional
        The rate to resample to, in Hz; by default (None) the file's own.
    dtype : {"float64", "float32"} or numpy.dtype, default "float64"
        The type of the samples returned (``np.float32`` will do). float32 samples are the float64
        ones (after any resampling) each rounded once to float32; for PCM of
        up to 24 bits these are the file's values exactly, what
        ``soundfile.read(path, dtype="float32")`` gives.

    Returns
    -------
    samples : numpy.ndarray
        1-D for a mono file, (samples, channels) otherwise, like soundfile;
        values from -1 to 1 for PCM.
    sample_rate : int
        Their rate: ``sample_rate`` if given, else the file's.

    Raises
    ------
    ImportError
        If soundfile (or, to resample, soxr) is not installed: the message
        says ``pip install 'tavik[cli]'``.
    TypeError
        If ``path_or_file`` is neither a name, a path nor a binary file
        object, ``sample_rate`` is not an integer, or ``dtype`` not a
        type.
    ValueError
        If ``sample_rate`` is not positive, or ``dtype`` is neither
        "float64" nor "float32".
    FileNotFoundError
        If there is no such file (other errors of the operating system as
        they are).
    soundfile.LibsndfileError
        If the file cannot be read as audio (a RuntimeError).

    See Also
    --------
    gammatonegram : The features of what this returns.

    Examples
    --------
    A second of a stereo tone at 44.1 kHz, read as it is and at 16 kHz:

    >>> import numpy as np, soundfile, tavik
    >>> t = np.arange(44100) / 44100
    >>> tone = 0.5 * np.sin(2 * np.pi * 440 * t)
    >>> soundfile.write("tone.wav", np.column_stack([tone, tone]), 44100)
    >>> samples, rate = tavik.read_audio("tone.wav")
    >>> samples.shape, samples.dtype, rate
    ((44100, 2), dtype('float64'), 44100)
    >>> samples, rate = tavik.read_audio("tone.wav", 16000, dtype="float32")
    >>> samples.shape, samples.dtype, rate
    ((16000, 2), dtype('float32'), 16000)
    >>> tavik.gammatonegram(samples, rate).features.shape
    (98, 64)
    """
    if not (isinstance(path_or_file, (str, bytes, os.PathLike)) or hasattr(path_or_file, "read")):
        raise TypeError("path_or_file must be a str, an os.PathLike or a binary file object, "
                        f"not {given(path_or_file)}")
    if sample_rate is not None:
        sample_rate = check_integer("sample_rate", sample_rate, 1, integral_floats=True)
    try:
        kind = np.dtype(dtype).name if dtype is not None else None
    except TypeError:
        kind = None
    if kind is None:
        raise TypeError(f"dtype must be 'float64' or 'float32', not {given(dtype)}")
    if kind not in _AUDIO_DTYPES:
        raise ValueError(f"dtype must be 'float64' or 'float32', not {dtype!r}")
    import_extra("soundfile", "tavik.read_audio")
    if not hasattr(path_or_file, "read"):
        # The operating system's own error for a missing or unreadable file.
        with open(cast(str, path_or_file), "rb"):
            pass
    header: list[AudioInfo] = []
    blocks = [block.astype(_AUDIO_DTYPES[kind], copy=False)
              for block in read_blocks(path_or_file, sample_rate, check=header.append)]
    channels, rate = header[0].channels, header[0].sample_rate
    if not blocks:
        return (np.empty((0, channels) if channels > 1 else 0, dtype=_AUDIO_DTYPES[kind]),
                sample_rate or rate)
    samples = blocks[0] if len(blocks) == 1 else np.concatenate(blocks)
    return samples, sample_rate if sample_rate is not None else rate


def _block_reader(file: Any) -> Callable[[int], npt.NDArray[np.float64]]:
    """Reads consecutive blocks of an open soundfile.SoundFile as
    soundfile.read reads the whole file: one seek to the start, then reads
    alone. SoundFile.read seeks to where it stopped after every read, and a
    seek restarts libsndfile's MPEG decoder, which then gives silence for
    1,500 samples and more; so the reads go to libsndfile directly, through
    soundfile's own binding (checked against soundfile.read by the tests,
    MP3 included)."""
    import soundfile

    snd, ffi = soundfile._snd, soundfile._ffi
    channels = int(file.channels)
    if file.seekable():
        file.seek(0)

    def read(frames: int) -> npt.NDArray[np.float64]:
        data = np.empty((frames, channels) if channels > 1 else frames)
        count = int(snd.sf_readf_double(file._file, ffi.cast("double *", data.ctypes.data),
                                        frames))
        error = int(snd.sf_error(file._file))
        if error:
            raise soundfile.LibsndfileError(error)
        return data[:max(count, 0)]

    return read


def write_npz(file: IO[bytes], arrays: Mapping[str, Any]) -> None:
    """What np.savez writes (loadable by np.load), with fixed time stamps."""
    with zipfile.ZipFile(file, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name, value in arrays.items():
            info = zipfile.ZipInfo(f"{name}.npy", date_time=_STAMP)
            info.external_attr = 0o644 << 16
            with archive.open(info, "w", force_zip64=True) as member:
                _write_array(member, np.asanyarray(value), allow_pickle=False)


def settings_text(stored: Mapping[str, Any], **source: Any) -> str:
    """The `settings` member of a corpus's .npz: the settings and what is
    known of the source, as one JSON text."""
    return json.dumps({**stored, **source}, sort_keys=True)


def npz_member_shape(path: str | Path, name: str) -> tuple[int, ...]:
    """The shape of one array of an .npz file, from its header alone."""
    with zipfile.ZipFile(path) as archive, archive.open(f"{name}.npy") as member:
        version = _read_magic(member)
        read_header = _read_header_1_0 if version == (1, 0) else _read_header_2_0
        return read_header(member)[0]


def read_npz_member(path: str | Path, name: str) -> Any:
    """One array of an .npz file, reading nothing else of it."""
    with zipfile.ZipFile(path) as archive, archive.open(f"{name}.npy") as member:
        return _read_array(member, allow_pickle=False)


def temporary_path(path: Path) -> Path:
    """Where `path` is written before it is renamed into place: a short name
    of fixed length (it fits wherever the target fits), made from the
    target's name alone, so that a write of the same target after a killed
    one replaces the leftover instead of adding another, and nothing else
    is ever touched."""
    digest = hashlib.sha256(os.fsencode(path.name)).hexdigest()[:24]
    return path.with_name(f".tavik-{digest}.partial")


def save_atomically(path: Path, arrays: Mapping[str, Any]) -> None:
    """Writes the .npz to a temporary file beside `path` and renames it: an
    interrupted write leaves no file at `path` (or the previous one, whole)."""
    write_all_or_nothing({path: lambda file: write_npz(file, arrays)})


def write_all_or_nothing(writers: Mapping[Path, Callable[[IO[bytes]], object]]) -> None:
    """Each path written by its writer to a temporary file, then all renamed
    into place; if any writer fails, no path is replaced and the temporary
    files are removed. The parent folders are created. A failure of the
    operating system is raised as an OSError that names the path being
    written (not its temporary file); the clean-up never replaces the
    error that stopped the writing (a read-only file system makes its own
    removals fail too)."""
    temporaries: dict[Path, Path] = {}
    path = next(iter(writers), Path())
    try:
        for path, write in writers.items():
            path.parent.mkdir(parents=True, exist_ok=True)
            temporary = temporaries[path] = temporary_path(path)
            with open(temporary, "wb") as file:
                write(file)
            os.chmod(temporary, 0o644)
        for path, temporary in temporaries.items():
            os.replace(temporary, path)
    except BaseException as error:
        for temporary in temporaries.values():
            try:
                os.unlink(temporary)
            except OSError:
                pass
        if isinstance(error, OSError) and error.errno is not None:
            raise OSError(error.errno, error.strerror, str(path)) from error
        raise


def transform_name(transform: Transform | None) -> str:
    """How a .npz names a transform: the repr of a native one
    ("log10(floor=1e-10)"), a Python callable's qualified name."""
    if transform is None:
        return "none"
    return str(getattr(transform, "__qualname__", repr(transform)))


def fields_of(g: Gammatonegram) -> dict[str, Any]:
    """Everything needed to read the features back and to make them again:
    the arrays and the parameters, the transform by its name."""
    fields: dict[str, Any] = {**g.extra, **{name: getattr(g, name) for name in _ARRAY_FIELDS},
                              **parameters_of(g)}
    fields["transform"] = transform_name(g.transform)
    return fields
