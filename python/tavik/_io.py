"""Audio read in blocks, and .npz files written reproducibly and whole or
not at all. soundfile and soxr (the `cli` extra) are imported when used."""

from __future__ import annotations

import hashlib
import importlib
import os
import zipfile
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, cast

import numpy as np
import numpy.typing as npt

# Samples per channel of one block read: 64 Ki samples of 8 channels are
# 4 MiB of float64, so memory does not grow with the length of a file.
BLOCK_SAMPLES = 1 << 16

# np.savez stamps every member with the current time; a fixed stamp makes
# files of equal content equal byte for byte, whichever machine wrote them.
_STAMP = (1980, 1, 1, 0, 0, 0)
# NumPy's writer and reader of one .npy member; they have no annotations.
_write_array = cast(Callable[..., None], np.lib.format.write_array)
_read_array = cast(Callable[..., Any], np.lib.format.read_array)


@dataclass(frozen=True)
class AudioInfo:
    """What a file's header says."""

    sample_rate: int
    channels: int
    samples: int
    """Samples per channel as the header claims them (reading may find fewer)."""


def audio_info(path: str | Path) -> AudioInfo:
    """The header of an audio file; errors are libsndfile's (RuntimeError,
    OSError or ValueError)."""
    import soundfile

    info = soundfile.info(str(path))
    return AudioInfo(int(info.samplerate), int(info.channels), max(0, int(info.frames)))


def read_blocks(path: str | Path, resample_to: int | None = None, block: int = BLOCK_SAMPLES,
                check: Callable[[AudioInfo], object] | None = None
                ) -> Iterator[npt.NDArray[np.float64]]:
    """The samples of an audio file as float64 blocks, 1-D for one channel and
    (samples, channels) otherwise, exactly what soundfile.read(path) returns
    cut into pieces. With `resample_to`, resampled block by block by soxr's
    streaming resampler, whose output is bit for bit soxr.resample's of the
    whole signal (checked by the tests). A header that claims more samples
    than the file holds ends at what is there. `check` is shown the header
    before anything is read (and may raise)."""
    import soundfile

    with soundfile.SoundFile(str(path)) as file:
        if check is not None:
            check(AudioInfo(int(file.samplerate), int(file.channels), max(0, int(file.frames))))
        resampler = None
        if resample_to is not None and resample_to != file.samplerate:
            soxr = importlib.import_module("soxr")
            resampler = soxr.ResampleStream(file.samplerate, resample_to, file.channels,
                                            dtype="float64")
        while True:
            data = file.read(block, dtype="float64", always_2d=file.channels > 1)
            last = len(data) == 0
            if resampler is not None:
                data = resampler.resample_chunk(data, last=last)
            if len(data):
                yield data
            if last:
                return


def write_npz(file: IO[bytes], arrays: Mapping[str, Any]) -> None:
    """What np.savez writes (loadable by np.load), with fixed time stamps."""
    with zipfile.ZipFile(file, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name, value in arrays.items():
            info = zipfile.ZipInfo(f"{name}.npy", date_time=_STAMP)
            info.external_attr = 0o644 << 16
            with archive.open(info, "w", force_zip64=True) as member:
                _write_array(member, np.asanyarray(value), allow_pickle=False)


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
    files are removed. The parent folders are created."""
    temporaries: dict[Path, Path] = {}
    try:
        for path, write in writers.items():
            path.parent.mkdir(parents=True, exist_ok=True)
            temporary = temporaries[path] = temporary_path(path)
            with open(temporary, "wb") as file:
                write(file)
            os.chmod(temporary, 0o644)
        for path, temporary in temporaries.items():
            os.replace(temporary, path)
    except BaseException:
        for temporary in temporaries.values():
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
        raise
