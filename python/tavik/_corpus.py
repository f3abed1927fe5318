"""Corpora read back: :func:`open_corpus` of a store or of a folder of .npz
files, as one :class:`Corpus` of recordings and one lazy array of rows."""

from __future__ import annotations

import bisect
import json
import operator
import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from pathlib import Path
from types import MappingProxyType
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from . import _store
from ._store import is_url
from ._analysis import Analysis, Parameters, given
from ._io import import_extra, load, npz_member_shape, settings_text, transform_named
from ._signal import Gammatonegram

# The fields of Parameters, in order; the settings of a corpus name them all.
_PARAMETERS: Final = tuple(name for name in Parameters.__dataclass_fields__)
# What an .npz of a corpus records of its source, beside the settings: its
# rate and its stamp (source_size, and source_mtime_ns and source_inode of a
# file, source_etag and source_modified of an object).
_SOURCE_PREFIX: Final = "source_"

# Reads rows start to stop of one source (a part, a file) of a corpus.
_Reader = Callable[[int, int], npt.NDArray[Any]]


class CorpusRows:
    """Every row of a corpus as one lazy 2-D array: (rows, num_features),
    the recordings one after the other in the corpus's order (row range
    ``offsets[i]:offsets[i + 1]`` is recording i). Indexing reads only the
    rows asked for: an integer (one row), a slice, an array of integers or
    of booleans, optionally followed by a column index; ``numpy.asarray``
    reads everything."""

    def __init__(self, starts: Sequence[int], readers: Sequence[_Reader], rows: int,
                 width: int, dtype: np.dtype[Any]) -> None:
        # Segment k holds rows starts[k] to starts[k + 1] (rows for the last).
        self._starts = list(starts)
        self._readers = list(readers)
        self._rows = rows
        self.shape: Final = (rows, width)
        self.dtype: Final = dtype
        self.ndim: Final = 2

    def __len__(self) -> int:
        return self._rows

    def __repr__(self) -> str:
        return f"CorpusRows(shape={self.shape}, dtype={self.dtype})"

    def __array__(self, dtype: npt.DTypeLike | None = None, copy: bool | None = None
                  ) -> npt.NDArray[Any]:
        rows = self._range(0, self._rows)
        return rows if dtype is None else rows.astype(dtype, copy=False)

    def __getitem__(self, key: Any) -> npt.NDArray[Any]:
        rest: tuple[Any, ...] = ()
        if isinstance(key, tuple):
            if not key:
                return self._range(0, self._rows)
            key, rest = key[0], key[1:]
        if isinstance(key, slice):
            start, stop, step = key.indices(self._rows)
            rows = (self._range(start, max(start, stop)) if step == 1
                    else self._gather(np.arange(start, stop, step)))
        elif isinstance(key, (int, np.integer)) and not isinstance(key, (bool, np.bool_)):
            index = operator.index(key)
            if not -self._rows <= index < self._rows:
                raise IndexError(f"row {index} is out of range for {self._rows} rows")
            index %= self._rows
            row: npt.NDArray[Any] = self._range(index, index + 1)[0]
            return row[rest] if rest else row
        else:
            wanted = np.asarray(key)
            if wanted.dtype == np.bool_:
                if wanted.shape != (self._rows,):
                    raise IndexError(f"a boolean index of shape {wanted.shape} for "
                                     f"{self._rows} rows")
                wanted = np.flatnonzero(wanted)
            elif wanted.ndim != 1 or not (wanted.size == 0 or
                                          np.issubdtype(wanted.dtype, np.integer)):
                raise IndexError(f"rows are indexed by an integer, a slice or a 1-D array of "
                                 f"integers or booleans, not {given(key)}")
            wanted = wanted.astype(np.int64)
            if wanted.size and not (-self._rows <= wanted.min() and wanted.max() < self._rows):
                raise IndexError(f"row index out of range for {self._rows} rows")
            rows = self._gather(wanted % max(self._rows, 1))
        return rows[(slice(None),) + rest] if rest else rows

    def _range(self, start: int, stop: int) -> npt.NDArray[Any]:
        pieces = []
        k = max(0, bisect.bisect_right(self._starts, start) - 1)
        while start < stop:
            end = self._starts[k + 1] if k + 1 < len(self._starts) else self._rows
            take = min(stop, end)
            if take > start:
                pieces.append(self._readers[k](start - self._starts[k], take - self._starts[k]))
            start = take
            k += 1
        if not pieces:
            return np.empty((0, self.shape[1]), dtype=self.dtype)
        return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)

    def _gather(self, wanted: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
        """The rows of `wanted`, in its order: each segment read once, from
        the first to the last row it is asked for."""
        out = np.empty((len(wanted), self.shape[1]), dtype=self.dtype)
        order = np.argsort(wanted, kind="stable")
        ranked = wanted[order]
        segment = np.searchsorted(self._starts, ranked, side="right") - 1
        bounds = np.flatnonzero(np.diff(segment)) + 1
        for group in np.split(np.arange(len(ranked)), bounds):
            if not len(group):
                continue
            first, last = int(ranked[group[0]]), int(ranked[group[-1]])
            block = self._range(first, last + 1)
            out[order[group]] = block[ranked[group] - first]
        return out


class Corpus(Sequence[Gammatonegram]):
    """The recordings of a corpus written by ``tavik corpus``: a store
    (``OUT.zarr``) or a folder of ``.npz`` files, opened by
    :func:`open_corpus`.

    A sequence of :class:`Gammatonegram`, one per recording in name order:
    ``corpus[i]`` or ``corpus[name]`` reads one recording (bit for bit what
    :func:`load` gives for its ``.npz``, extra fields included); nothing
    else is read until asked for.

    Attributes
    ----------
    names : tuple of str
        The recordings in order: in a store, each source's path relative to
        IN (``"nested/speech.wav"``); in a folder, each ``.npz`` file's
        path relative to it (``"nested/speech.npz"``).
    settings : Mapping
        What every recording was made with, as the corpus records it: the
        parameters of the filterbank, ``floor_dB``, the transform's name
        and tavik's version; a store adds ``dtype``. Empty for an empty
        folder.
    offsets : numpy.ndarray
        int64, shape (len + 1,): recording i is rows ``offsets[i]`` to
        ``offsets[i + 1]`` of :attr:`features`.
    features : CorpusRows
        Every row of every recording as one lazy array (rows,
        num_features) in the order of :attr:`names`; its dtype is the
        store's (float64 or float32), float64 for a folder. Slicing it reads
        only those rows.
    path : str
        The store or folder.
    format : {"zarr", "npz"}
        What it is.
    """

    def __init__(self, path: str, format: str, names: Sequence[str],
                 settings: Mapping[str, Any], read: Callable[[int], Gammatonegram],
                 frames: Callable[[], npt.NDArray[np.int64]],
                 rows: Callable[[npt.NDArray[np.int64]], CorpusRows]) -> None:
        self.path: Final = path
        self.format: Final = format
        self.names: Final = tuple(names)
        self.settings: Final = MappingProxyType(dict(settings))
        self._read = read
        self._frames = frames
        self._rows_of = rows
        self._positions = {name: i for i, name in enumerate(self.names)}
        self._offsets: npt.NDArray[np.int64] | None = None
        self._features: CorpusRows | None = None

    def __repr__(self) -> str:
        return f"Corpus({self.path!r}, format={self.format!r}, recordings={len(self)})"

    def __len__(self) -> int:
        return len(self.names)

    def __contains__(self, name: object) -> bool:
        return name in self._positions

    def __iter__(self) -> Iterator[Gammatonegram]:
        for i in range(len(self)):
            yield self._read(i)

    def __getitem__(self, key: Any) -> Any:
        if isinstance(key, str):
            if key not in self._positions:
                raise KeyError(f"no recording {key!r} in {self.path}")
            return self._read(self._positions[key])
        if isinstance(key, (bool, np.bool_)) or not isinstance(key, (int, np.integer)):
            raise TypeError(f"a corpus is indexed by a recording's position (int) or name "
                            f"(str), not {given(key)}")
        index = operator.index(key)
        if not -len(self) <= index < len(self):
            raise IndexError(f"recording {index} is out of range for {len(self)} recordings")
        return self._read(index % len(self))

    @property
    def offsets(self) -> npt.NDArray[np.int64]:
        if self._offsets is None:
            offsets = np.zeros(len(self) + 1, dtype=np.int64)
            np.cumsum(self._frames(), out=offsets[1:])
            offsets.flags.writeable = False
            self._offsets = offsets
        return self._offsets

    @property
    def features(self) -> CorpusRows:
        if self._features is None:
            self._features = self._rows_of(self.offsets)
        return self._features

    def to_dask(self, chunk_rows: int | None = None) -> Any:
        """:attr:`features` as a dask array (needs the ``dask`` extra), in
        chunks of `chunk_rows` rows (by default those of a store's shards,
        or 100,000 rows)."""
        da = import_extra("dask.array", "Corpus.to_dask", "dask")
        rows = self.features
        if chunk_rows is None:
            chunk_rows = 100_000
            if self.format == "zarr":
                chunk_rows = _store.shard_rows(rows.shape[1], str(rows.dtype))
        return da.from_array(rows, chunks=(max(1, chunk_rows), rows.shape[1]), lock=False,
                             asarray=True, meta=np.empty((0, rows.shape[1]), dtype=rows.dtype))


def open_corpus(path: str | os.PathLike[str], *,
                storage_options: Mapping[str, Any] | None = None) -> Corpus:
    """Open a corpus written by ``tavik corpus``: a store or a folder of ``.npz`` files.

    Reads what lists the recordings (a store's tables, a folder's names)
    and nothing else: features are read when asked for, one recording at a
    time (``corpus[i]``, ``corpus[name]``, iteration) or as rows of
    :attr:`Corpus.features`, which feed a training loop without loading
    the corpus into memory.

    Parameters
    ----------
    path : str or os.PathLike
        A store (a folder holding the root ``zarr.json`` of one; its name
        usually ends in ``.zarr``) or a folder of ``.npz`` files (searched
        recursively); or the URL of a store on object storage
        (``s3://bucket/features.zarr``, any URL of fsspec's).
    storage_options : mapping, optional
        For a URL: the options of its file system, as fsspec takes them
        (``{"endpoint_url": "http://localhost:9000", "anon": True}``);
        credentials are otherwise found where the file system looks for
        them (the environment, its configuration files).

    Returns
    -------
    Corpus
        Its recordings in name order.

    Raises
    ------
    TypeError
        If ``path`` is neither a string nor a path.
    FileNotFoundError
        If there is no such folder (for a URL: no store there).
    NotADirectoryError
        If ``path`` is a file.
    ValueError
        If it is a store, but not one that ``tavik corpus`` wrote (the
        message names it); if a URL names anything else (a folder of
        ``.npz`` files is read from a local folder only), or its protocol
        is unknown; if ``storage_options`` are given with a local path.
    ImportError
        If it is a store and zarr 3 cannot be imported: on CPython 3.10 (the
        message says that a store needs CPython 3.11 or later), or without
        the ``store`` extra (``pip install 'tavik[store]'``, which brings
        fsspec and s3fs for a URL too).

    See Also
    --------
    load : Reads one ``.npz`` file.

    Examples
    --------
    The store that ``tavik corpus recordings/ features.zarr`` wrote, fed to
    a training loop batch by batch:

    >>> import numpy as np, tavik
    >>> corpus = tavik.open_corpus("features.zarr")
    >>> len(corpus), corpus.names[:2]
    (3, ('a.wav', 'b.wav'))
    >>> corpus.features.shape, corpus.offsets
    ((294, 64), array([  0,  98, 196, 294]))
    >>> g = corpus["b.wav"]
    >>> g.features.shape, g.extra["source_sample_rate"]
    ((98, 64), 16000)
    >>> batch = corpus.features[np.array([5, 100, 7])]
    >>> batch.shape
    (3, 64)
    """
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or an os.PathLike, not {given(path)}")
    name = os.fspath(path)
    if is_url(name):
        location = _store.Location(name.rstrip("/"), dict(storage_options or {}), shown=name)
        _store.require_zarr()
        try:
            there = _store.read_root(location) is not None
        except _store.StoreError as error:
            raise ValueError(str(error)) from None
        if not there:
            raise FileNotFoundError(2, "No such file or directory", name)
        return _open_store(name, location)
    if storage_options is not None:
        raise ValueError(f"storage_options are for a URL of object storage (s3://...), "
                         f"not for the path {name}")
    if not os.path.exists(name):
        raise FileNotFoundError(2, "No such file or directory", name)
    if not os.path.isdir(name):
        raise NotADirectoryError(20, "Not a directory", name)
    if os.path.exists(os.path.join(name, "zarr.json")):
        return _open_store(name, _store.Location(os.path.abspath(name), shown=name))
    return _open_folder(name)


def _open_store(name: str, location: _store.Location) -> Corpus:
    try:
        _store.require_zarr()
        root = _store.read_root(location)
    except _store.StoreError as error:
        raise ValueError(str(error)) from None
    if root is None:  # pragma: no cover  (a root document was seen)
        raise ValueError(f"{name} exists and is not a tavik corpus store")
    settings = root.get("settings")
    if not isinstance(settings, dict) or any(p not in settings for p in _PARAMETERS if p != "transform"):
        raise ValueError(f"{name} is not a tavik corpus store: its settings are incomplete")
    parts = _store.read_parts(location)
    index = _store.index_of(parts)
    names = sorted(index)
    entries = [index[n] for n in names]
    arrays: dict[int, Any] = {}

    def array(part: int) -> Any:
        if part not in arrays:
            arrays[part] = _store.open_part(location, parts[part])
        return arrays[part]

    records = _Records(settings)

    def read(i: int) -> Gammatonegram:
        entry = entries[i]
        rows = array(entry.part)[entry.start:entry.start + entry.frames]
        return records.make(rows, entry.fields)

    def frames() -> npt.NDArray[np.int64]:
        return np.array([entry.frames for entry in entries], dtype=np.int64)

    def rows_of(offsets: npt.NDArray[np.int64]) -> CorpusRows:
        # Recordings whose rows follow each other in one part read as one segment.
        starts: list[int] = []
        readers: list[_Reader] = []
        last: tuple[int, int] | None = None
        for i, entry in enumerate(entries):
            if entry.frames == 0:
                continue
            if last != (entry.part, entry.start):
                starts.append(int(offsets[i]))
                readers.append(_part_reader(array, entry.part, entry.start))
            last = (entry.part, entry.start + entry.frames)
        dtype = np.dtype(str(root.get("dtype", "float64")))
        return CorpusRows(starts, readers, int(offsets[-1]), int(settings["num_features"]), dtype)

    full = {**settings, "dtype": root.get("dtype", "float64")}
    return Corpus(name, "zarr", names, full, read, frames, rows_of)


def _part_reader(array: Callable[[int], Any], part: int, base: int) -> _Reader:
    def read(start: int, stop: int) -> npt.NDArray[Any]:
        rows: npt.NDArray[Any] = array(part)[base + start:base + stop]
        return rows
    return read


class _Records:
    """Gammatonegrams of a store's rows: the fields that tavik.load gives
    for the .npz of the same recording, made once for the corpus."""

    def __init__(self, settings: Mapping[str, Any]) -> None:
        self._settings = dict(settings)
        self._parameters = {p: settings[p] for p in _PARAMETERS if p != "transform"}
        self._parameters["transform"] = transform_named(str(settings["transform"]))
        # The transform plays no part in the centre frequencies.
        analysis = Analysis(**{**self._parameters, "transform": None})
        self._analysis = analysis
        self._centre_frequencies = analysis.filterbank().centre_frequencies

    def make(self, rows: npt.NDArray[Any], fields: Mapping[str, Any]) -> Gammatonegram:
        source = {name: value for name, value in fields.items()
                  if name.startswith(_SOURCE_PREFIX)}
        extra = {"floor_dB": self._settings["floor_dB"], **source,
                 "settings": settings_text(self._settings, **source)}
        return Gammatonegram(features=np.asarray(rows), centre_frequencies=self._centre_frequencies,
                             times=self._analysis.times(0, len(rows)), **self._parameters,
                             extra=MappingProxyType(extra))


def _open_folder(name: str) -> Corpus:
    root = Path(name)
    files = sorted((p.relative_to(root).as_posix() for p in root.rglob("*.npz") if p.is_file()))
    paths = [root / f for f in files]
    settings: dict[str, Any] = {}
    if paths:
        try:
            stored = json.loads(str(load(paths[0]).extra.get("settings", "{}")))
        except ValueError:
            stored = {}
        if isinstance(stored, dict):
            settings = {k: v for k, v in stored.items() if not k.startswith(_SOURCE_PREFIX)}

    def read(i: int) -> Gammatonegram:
        return load(paths[i])

    def frames() -> npt.NDArray[np.int64]:
        return np.array([npz_member_shape(p, "features")[0] for p in paths], dtype=np.int64)

    def rows_of(offsets: npt.NDArray[np.int64]) -> CorpusRows:
        keep = [i for i in range(len(paths)) if offsets[i + 1] > offsets[i]]
        width = npz_member_shape(paths[0], "features")[1] if paths else 0
        return CorpusRows([int(offsets[i]) for i in keep], [_file_reader(paths[i]) for i in keep],
                          int(offsets[-1]), int(width), np.dtype(np.float64))

    return Corpus(name, "npz", files, settings, read, frames, rows_of)


def _file_reader(path: Path) -> _Reader:
    def read(start: int, stop: int) -> npt.NDArray[Any]:
        rows: npt.NDArray[Any] = load(path).features[start:stop]
        return rows
    return read
