"""Gammatonegrams as .npz files: the same features give the same bytes, and
a file appears whole or not at all."""

from __future__ import annotations

import os
import tempfile
import zipfile
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import IO, Any, cast

import numpy as np

from ._signal import LOG10, Gammatonegram

# np.savez stamps every member with the current time; a fixed stamp makes
# files of equal content equal byte for byte, whichever machine wrote them.
_STAMP = (1980, 1, 1, 0, 0, 0)
# NumPy's writer of one .npy member; it has no annotations.
_write_array = cast(Callable[..., None], np.lib.format.write_array)


def fields_of(g: Gammatonegram) -> dict[str, Any]:
    """Everything needed to read the features back and to make them again."""
    transform = g.transform
    name = ("log10" if transform is LOG10 else "none" if transform is None
            else getattr(transform, "__qualname__", repr(transform)))
    return {
        **g.extra,
        "features": g.features,
        "centre_frequencies": g.centre_frequencies,
        "times": g.times,
        "sample_rate": g.sample_rate,
        "hop": g.hop,
        "num_samples": g.num_samples,
        "num_features": g.num_features,
        "low_Hz": g.low_Hz,
        "high_Hz": g.high_Hz,
        "temporal_integration": g.temporal_integration,
        "channel": g.channel,
        "transform": name,
        "mode": g.mode,
    }


def write_npz(file: IO[bytes], arrays: Mapping[str, Any]) -> None:
    """What np.savez writes (loadable by np.load), with fixed time stamps."""
    with zipfile.ZipFile(file, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name, value in arrays.items():
            info = zipfile.ZipInfo(f"{name}.npy", date_time=_STAMP)
            info.external_attr = 0o644 << 16
            with archive.open(info, "w", force_zip64=True) as member:
                _write_array(member, np.asanyarray(value), allow_pickle=False)


def save_atomically(path: Path, arrays: Mapping[str, Any]) -> None:
    """Writes a temporary file beside `path` and renames it: an interrupted
    write leaves no file at `path` (or the previous one, whole)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".partial",
                                         dir=path.parent)
    try:
        with os.fdopen(handle, "wb") as file:
            write_npz(file, arrays)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
