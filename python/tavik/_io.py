"""Gammatonegrams read back from the .npz files that the command line and the
corpus write."""

from __future__ import annotations

import dataclasses
import os
import pickle
import re
import zipfile
from types import MappingProxyType
from typing import Any

import numpy as np

from _tavik import transforms

from ._signal import LOG10, MODES, Gammatonegram, Transform

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
    """The transform that the writer stored under `name`."""
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
    FileNotFoundError
        If there is no such file (other errors of the operating system as
        they are).
    ValueError
        If the file is not a ``.npz`` archive of a gammatonegram (another
        format, a ``.npy`` file, a damaged archive, missing fields).

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
    name = os.fspath(path)
    try:
        # Opened here, so that the file is closed whatever np.load raises.
        with open(name, "rb") as file:
            archive = np.load(file, allow_pickle=False)
            stored = None
            if isinstance(archive, np.lib.npyio.NpzFile):
                with archive:
                    stored = {key: archive[key] for key in archive.files}
    except (ValueError, EOFError, zipfile.BadZipFile, pickle.UnpicklingError) as error:
        raise ValueError(f"{name} is not a .npz archive of a gammatonegram: {error}") from None
    if stored is None:
        raise ValueError(f"{name} is not a .npz archive of a gammatonegram but a .npy array")
    # Files written before continuous mode existed hold frames-mode features.
    stored.setdefault("mode", np.array("frames"))
    fields = [f for f in dataclasses.fields(Gammatonegram) if f.name != "extra"]
    required = [f.name for f in fields
                if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING]
    missing = [n for n in required if n not in stored]
    if missing:
        raise ValueError(f"{name} is not a gammatonegram: it lacks the fields {', '.join(missing)}")
    values = {key: _value(array) for key, array in stored.items()}
    transform = values.pop("transform")
    if not isinstance(transform, str) or any(
            isinstance(values[f.name], np.ndarray) for f in fields
            if f.name in values and f.name not in _ARRAY_FIELDS):
        raise ValueError(f"{name} is not a gammatonegram: a parameter is not a scalar")
    for key in _ARRAY_FIELDS:
        if not isinstance(values[key], np.ndarray):
            raise ValueError(f"{name} is not a gammatonegram: its {key} is not an array")
    if values["mode"] not in MODES:
        raise ValueError(f"{name} is not a gammatonegram: its mode is {values['mode']!r}")
    known = {f.name for f in fields}
    own = {key: value for key, value in values.items() if key in known}
    extra = {key: value for key, value in values.items() if key not in known}
    try:
        return Gammatonegram(**own, transform=transform_named(transform),
                             extra=MappingProxyType(extra))
    except TypeError as error:
        raise ValueError(f"{name} is not a gammatonegram: {error}") from None
