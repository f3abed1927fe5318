"""Corpus stores: the features of many recordings in one Zarr v3 store,
written in parts that are each all or nothing.

Layout of ``OUT.zarr``::

    zarr.json              the root group; its attribute "tavik" holds the
                           settings (as an .npz records them), the dtype and
                           the layout's version
    parts/zarr.json        the group of the parts
    parts/<run>-<first>-<count>/
        zarr.json          a (rows, num_features) array; its attribute "tavik"
                           is the part's table of recordings, one column each:
                           name, source_sample_rate, seconds, frames, and the
                           source's stamp (source_size, source_mtime_ns,
                           source_inode of a file; source_size, source_etag,
                           source_modified of an object)
        c/<k>/0            its shards, SHARD_BYTES of rows each

A part is written by one worker task: under ``parts/.<name>.partial`` and
renamed into place where the file system renames atomically (a local one),
and in any case with its table written last, so that a part without a
table is unfinished and is never read. The parts read in name order give
the index of recordings: a recording in a later part (a later run, its
source changed) stands for the same name in an earlier one.

zarr (3.x, CPython 3.11 and later) and fsspec are the `store` extra; the
command's own process reads and writes the JSON documents itself, so that
only the workers start zarr's I/O thread (the pool forks the command)."""

from __future__ import annotations

import json
import os
import posixpath
import re
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from types import ModuleType
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import numpy.typing as npt

from ._io import import_extra

if TYPE_CHECKING:
    import fsspec

#: Version of the layout above, in the root's attributes.
LAYOUT: Final = 1
#: The recordings of one part at most: with a part's two files (its
#: metadata and one shard) at least 500 recordings a file.
PART_RECORDINGS: Final = 1000
#: Bytes of one shard (a file): a worker holds one shard's rows at a time
#: and writes it whole, as Zarr rewrites a shard on every smaller write.
SHARD_BYTES: Final = 128 << 20
#: Bytes of one chunk inside a shard: what a read of one recording fetches
#: at least, and what a part may hold beyond its rows (a last chunk is whole).
CHUNK_BYTES: Final = 128 << 10
DTYPES: Final = ("float64", "float32")
PARTS: Final = "parts"
#: The columns that every part's table has; the others record the source's stamp.
COLUMNS: Final = ("name", "source_sample_rate", "seconds", "frames")
_ROOT_DOCUMENT: Final = "zarr.json"


def require_zarr() -> ModuleType:
    """zarr 3, or an ImportError of one line that names what is missing."""
    if sys.version_info < (3, 11):
        raise ImportError(f"a corpus store needs CPython 3.11 or later (for zarr 3); this is "
                          f"CPython {sys.version_info[0]}.{sys.version_info[1]}")
    zarr = import_extra("zarr", "a corpus store", "store")
    if int(str(zarr.__version__).split(".")[0]) < 3:
        raise ImportError(f"a corpus store needs zarr 3, not zarr {zarr.__version__}: "
                          f"pip install 'tavik[store]'")
    import_extra("fsspec", "a corpus store", "store")
    return zarr


# A URL names its protocol first: `s3://`, `file://`. A local name that
# should start so is written `./s3://...`.
_URL: Final = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


def is_url(name: str) -> bool:
    """Whether a name is a URL of fsspec's (s3://bucket/x) rather than a path."""
    return _URL.match(name) is not None


def is_store_name(path: str | os.PathLike[str]) -> bool:
    """Whether an OUT names a store by its suffix."""
    return os.fspath(path).rstrip("/").endswith(".zarr")


class StoreError(ValueError):
    """A store that is not one of ours, or is damaged: the message names it."""


@dataclass(frozen=True)
class Location:
    """Where a store is: a local path or an fsspec URL with its options.
    Small and picklable, so that it travels to workers; each process opens
    the file system itself."""

    url: str
    storage_options: Mapping[str, Any] = field(default_factory=dict)
    shown: str | None = None
    """How messages name it (the url by default)."""

    def __str__(self) -> str:
        return self.shown if self.shown is not None else self.url

    def filesystem(self) -> tuple[fsspec.AbstractFileSystem, str]:
        import fsspec.core

        fs, root = fsspec.core.url_to_fs(self.url, **self.storage_options)
        return fs, str(root).rstrip("/")

    @property
    def renames(self) -> bool:
        """Whether a folder is renamed into place at once (a local file system)."""
        fs, _ = self.filesystem()
        return "file" in _protocols(fs)

    def zarr_store(self, path: str, read_only: bool) -> Any:
        """The Zarr store of the node at `path` (a path of the file system)."""
        zarr = require_zarr()
        fs, _ = self.filesystem()
        if "file" in _protocols(fs):
            return zarr.storage.LocalStore(path, read_only=read_only)
        url = fs.unstrip_protocol(path)
        return zarr.storage.FsspecStore.from_url(url, storage_options=dict(self.storage_options),
                                                 read_only=read_only)


def _protocols(fs: fsspec.AbstractFileSystem) -> tuple[str, ...]:
    protocol = fs.protocol
    return (protocol,) if isinstance(protocol, str) else tuple(protocol)


# --- The documents: root, parts and their tables --------------------------------

def _read_json(fs: fsspec.AbstractFileSystem, path: str) -> Any:
    return json.loads(fs.cat_file(path))


def _write_json(fs: fsspec.AbstractFileSystem, path: str, document: Any) -> None:
    fs.pipe_file(path, json.dumps(document, indent=2, sort_keys=True).encode())


def _group(attributes: dict[str, Any]) -> dict[str, Any]:
    return {"zarr_format": 3, "node_type": "group", "attributes": attributes}


def read_root(location: Location) -> dict[str, Any] | None:
    """The root's "tavik" attribute; None where there is no store yet (no
    folder, or an empty one). StoreError for anything else there."""
    fs, root = location.filesystem()
    if not fs.exists(root):
        return None
    document = posixpath.join(root, _ROOT_DOCUMENT)
    if not fs.exists(document):
        if fs.isdir(root) and not fs.ls(root, detail=False):
            return None
        raise StoreError(f"{location} exists and is not a tavik corpus store")
    try:
        own = _read_json(fs, document)["attributes"]["tavik"]
        if not isinstance(own, dict) or own.get("layout") != LAYOUT:
            raise ValueError(f"layout {own.get('layout')!r}" if isinstance(own, dict)
                             else "no attributes")
    except (ValueError, KeyError, TypeError):
        raise StoreError(f"{location} exists and is not a tavik corpus store") from None
    return own


def prepare(location: Location, settings: Mapping[str, Any], dtype: str, fresh: bool) -> None:
    """Readies the store for a run that holds its lock: the root and the
    group of parts written (with these settings), what killed runs left
    unfinished removed, and with `fresh` every part."""
    fs, root = location.filesystem()
    parts = posixpath.join(root, PARTS)
    fs.makedirs(parts, exist_ok=True)
    if fresh:
        for path in fs.ls(parts, detail=False):
            fs.rm(path, recursive=True)
    else:
        remove_unfinished(location)
    _write_json(fs, posixpath.join(parts, _ROOT_DOCUMENT), _group({}))
    _write_json(fs, posixpath.join(root, _ROOT_DOCUMENT), _group({"tavik": {
        "layout": LAYOUT, "settings": dict(settings), "dtype": dtype}}))


def remove_unfinished(location: Location) -> None:
    """Removes the parts that no task finished: temporaries, and parts
    without a table. Only a run that holds the store's lock calls it."""
    fs, root = location.filesystem()
    parts = posixpath.join(root, PARTS)
    if not fs.exists(parts):
        return
    for path in fs.ls(parts, detail=False):
        name = posixpath.basename(str(path).rstrip("/"))
        if name == _ROOT_DOCUMENT:
            continue
        if name.startswith(".") or _table_of(fs, str(path)) is None:
            fs.rm(str(path), recursive=True)


@dataclass(frozen=True)
class Part:
    name: str
    path: str
    rows: int
    table: dict[str, list[Any]]


def _table_of(fs: fsspec.AbstractFileSystem, path: str) -> tuple[int, dict[str, list[Any]]] | None:
    """The rows and the table of a finished part, None for an unfinished one."""
    try:
        document = _read_json(fs, posixpath.join(path, _ROOT_DOCUMENT))
        table = document["attributes"]["tavik"]
        rows = int(document["shape"][0])
    except (OSError, ValueError, KeyError, TypeError, IndexError):
        return None
    if (not isinstance(table, dict) or any(c not in table for c in COLUMNS)
            or any(not isinstance(column, list) for column in table.values())):
        return None
    if len({len(column) for column in table.values()}) != 1 or sum(table["frames"]) != rows:
        return None
    return rows, table


def read_parts(location: Location) -> list[Part]:
    """The finished parts, in name order."""
    fs, root = location.filesystem()
    folder = posixpath.join(root, PARTS)
    if not fs.exists(folder):
        return []
    found = []
    for path in sorted(str(p).rstrip("/") for p in fs.ls(folder, detail=False)):
        name = posixpath.basename(path)
        if name.startswith(".") or name == _ROOT_DOCUMENT:
            continue
        finished = _table_of(fs, path)
        if finished is not None:
            found.append(Part(name, path, finished[0], finished[1]))
    return found


def next_run(parts: Sequence[Part]) -> int:
    """The number of a new run: after every run whose parts are there."""
    runs = [int(part.name[:6]) for part in parts if part.name[:6].isdigit()]
    return max(runs, default=0) + 1


@dataclass(frozen=True)
class Entry:
    """Where a recording's rows are, and what is known of its source."""

    part: int
    start: int
    fields: dict[str, Any]
    """The table's columns but name, by column name."""

    @property
    def frames(self) -> int:
        return int(self.fields["frames"])


def index_of(parts: Sequence[Part]) -> dict[str, Entry]:
    """Every recording of the parts by name; a later part's stands for an
    earlier one's."""
    index: dict[str, Entry] = {}
    for number, part in enumerate(parts):
        table = part.table
        start = 0
        for row in range(len(table["name"])):
            fields = {column: values[row] for column, values in table.items()
                      if column != "name"}
            index[str(table["name"][row])] = Entry(number, start, fields)
            start += int(fields["frames"])
    return index


# --- Writing a part (in a worker) -------------------------------------------------

@dataclass(frozen=True)
class Output:
    """What a worker needs to write parts of a store: where, which run
    (the first part of a part's name, so that later runs sort later), the
    width and type of the rows."""

    location: Location
    run: int
    num_features: int
    dtype: str

    def part_name(self, first: int, count: int) -> str:
        return f"{self.run:06d}-{first:09d}-{count:06d}"


def shard_rows(num_features: int, dtype: str) -> int:
    itemsize = np.dtype(dtype).itemsize
    return max(1, SHARD_BYTES // (num_features * itemsize) // chunk_rows(num_features, dtype)) \
        * chunk_rows(num_features, dtype)


def chunk_rows(num_features: int, dtype: str) -> int:
    return max(1, CHUNK_BYTES // (num_features * np.dtype(dtype).itemsize))


class PartWriter:
    """One part: rows gathered into a shard's buffer and written a whole
    shard at a time, the table kept, then all made visible at once by
    `commit`; `abandon` removes what was written."""

    def __init__(self, output: Output, name: str) -> None:
        self._output = output
        self._zarr = require_zarr()
        self._fs, root = output.location.filesystem()
        self._final = posixpath.join(root, PARTS, name)
        self._renames = output.location.renames
        self._path = (posixpath.join(root, PARTS, f".{name}.partial") if self._renames
                      else self._final)
        if self._fs.exists(self._path):  # a leftover of a killed attempt
            self._fs.rm(self._path, recursive=True)
        self._shard = shard_rows(output.num_features, output.dtype)
        self._buffer = np.empty((self._shard, output.num_features), dtype=output.dtype)
        self._filled = 0
        self._written = 0
        self._array: Any = None
        self._table: dict[str, list[Any]] = {}

    def add(self, features: npt.NDArray[np.float64], entry: Mapping[str, Any]) -> None:
        """A recording's rows (cast to the store's dtype) and its table row."""
        done = 0
        while done < len(features):
            take = min(len(features) - done, self._shard - self._filled)
            self._buffer[self._filled:self._filled + take] = features[done:done + take]
            self._filled += take
            done += take
            if self._filled == self._shard:
                self._flush()
        for column, value in entry.items():  # the same columns for every recording of a run
            self._table.setdefault(column, []).append(value)

    def _flush(self) -> None:
        rows = self._written + self._filled
        if self._array is None:
            self._array = self._zarr.create_array(
                self._output.location.zarr_store(self._path, read_only=False),
                shape=(rows, self._output.num_features), dtype=self._output.dtype,
                chunks=(chunk_rows(self._output.num_features, self._output.dtype),
                        self._output.num_features),
                shards=(self._shard, self._output.num_features), compressors=None,
                fill_value=0.0, dimension_names=("frame", "feature"))
        elif rows != self._array.shape[0]:
            self._array.resize((rows, self._output.num_features))
        if self._filled:
            self._array[self._written:rows] = self._buffer[:self._filled]
        self._written, self._filled = rows, 0

    def commit(self) -> None:
        """The remaining rows, then the table (last: it makes the part
        finished), then the rename into place where there is one. A part
        that an earlier attempt finished under the same name holds the same
        recordings: it stays, and this one goes."""
        self._flush()
        self._array.update_attributes({"tavik": self._table})
        if self._renames:
            if self._fs.exists(self._final):
                self._fs.rm(self._path, recursive=True)
            else:
                os.rename(self._path, self._final)

    def abandon(self) -> None:
        try:
            if self._fs.exists(self._path):
                self._fs.rm(self._path, recursive=True)
        except OSError:
            pass  # the error that stopped the writing is the one to report


def open_part(location: Location, part: Part) -> Any:
    """The zarr.Array of a finished part, read-only."""
    zarr = require_zarr()
    return zarr.open_array(location.zarr_store(part.path, read_only=True), mode="r")

