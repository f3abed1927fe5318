"""IN and OUT of `tavik corpus` as fsspec URLs (s3://bucket/prefix, gs://,
memory://, file://): the options of --storage-option, the file system of a
URL checked before any work, the listing of a folder of objects with what
tells an object from its replacement, and sources opened as file objects.
fsspec (the `store` extra) is imported only when a URL is given."""

from __future__ import annotations

import json
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime
from pathlib import PurePosixPath
from typing import Any, BinaryIO, Final, cast

from .common import UsageError, need, one_line

# Bytes fetched ahead of the reader: a header read takes one such request,
# a worker streaming a file a few; far below s3fs's own 50 MiB default,
# which a header read would otherwise download whole.
HEADER_BLOCK: Final = 1 << 18
STREAM_BLOCK: Final = 1 << 23


def parse_options(pairs: Sequence[str]) -> dict[str, Any]:
    """--storage-option KEY=VALUE, each VALUE a JSON literal (true, 3,
    {"endpoint_url": "..."}) where it is one, else the text as it is."""
    options: dict[str, Any] = {}
    for pair in pairs:
        key, equals, text = pair.partition("=")
        if not equals or not key:
            raise UsageError(f"--storage-option takes KEY=VALUE, not {pair!r}")
        try:
            options[key] = json.loads(text)
        except ValueError:
            options[key] = text
    return options


class SourceStamp:
    """What a corpus records of a source to tell, on a later run, whether it
    is still the same."""

    def fields(self) -> dict[str, Any]:
        """The members of an .npz (and the columns of a store) that record it."""
        raise NotImplementedError

    def recorded_in(self, stored: Mapping[str, Any]) -> bool:
        """Whether `stored` (an .npz's settings, a store's entry) records this stamp."""
        return all(stored.get(name) == value for name, value in self.fields().items())


@dataclass(frozen=True)
class ObjectStamp(SourceStamp):
    """What tells an object from another at the same URL without reading
    it, as fsspec's info() gives it: its size, its ETag where the store has
    one (S3's ETag, GCS's and Azure's etag; an overwrite gives a new one)
    and its modification time in seconds (S3's LastModified, GCS's updated,
    a file's mtime, memory://'s created), "" and None where the store gives
    none."""

    size: int
    etag: str
    modified: float | None

    @classmethod
    def of(cls, info: Mapping[str, Any]) -> ObjectStamp:
        etag = next((str(info[key]) for key in ("ETag", "etag") if info.get(key)), "")
        modified = next((info[key] for key in ("LastModified", "last_modified", "updated",
                                               "mtime", "created") if info.get(key) is not None),
                        None)
        if isinstance(modified, str):
            try:
                modified = datetime.fromisoformat(modified.replace("Z", "+00:00"))
            except ValueError:
                modified = None
        if isinstance(modified, datetime):
            modified = modified.timestamp()
        return cls(int(info.get("size") or 0), etag,
                   float(modified) if isinstance(modified, (int, float)) else None)

    def fields(self) -> dict[str, Any]:
        return {"source_size": self.size, "source_etag": self.etag,
                "source_modified": self.modified}


@dataclass(frozen=True)
class Remote:
    """A folder of objects named by a URL, with the options of its file
    system. Small and plain, so that it travels to Dask workers, which make
    their own file system of it (fsspec keeps one per protocol and options)."""

    url: str
    """As the user gave it, without a trailing slash: the start of every name
    in messages."""
    protocol: str
    root: str
    """The folder's path within its file system."""
    options: Mapping[str, Any]

    def filesystem(self) -> Any:
        return filesystem(self.protocol, self.options, self.url)

    def name_of(self, relative: PurePosixPath) -> str:
        """An object as the user names it, for messages."""
        return f"{self.url}/{relative.as_posix()}"

    def location_of(self, relative: PurePosixPath) -> str:
        """An object's URL from its file system's root (file://in/a.wav is
        file:///home/me/in/a.wav): what a worker elsewhere opens."""
        return f"{self.protocol}://{self.root}/{relative.as_posix()}"


def protocol_of(url: str) -> str:
    return url.partition("://")[0].lower()


def filesystem(protocol: str, options: Mapping[str, Any], url: str) -> Any:
    """fsspec's file system of a protocol, or a usage error of one line: an
    unknown protocol, one whose package is missing, options it refuses."""
    fsspec = need("fsspec", "store")
    try:
        return fsspec.filesystem(protocol, **options)
    except ImportError as error:
        raise UsageError(f"cannot use {url}: {one_line(error)}"
                         + (" (pip install 'tavik[store]')" if protocol in ("s3", "s3a") else "")
                         ) from None
    except ValueError as error:
        if str(error).startswith("Protocol not known"):
            raise UsageError(f"cannot use {url}: unknown protocol {protocol}://") from None
        raise UsageError(f"cannot use {url}: {one_line(error)}") from None
    except Exception as error:  # the file system's own refusal of the options
        raise UsageError(f"cannot use {url}: {one_line(error)}") from None


def remote(url: str, options: Mapping[str, Any]) -> Remote:
    """The folder that a URL names, not yet checked."""
    protocol = protocol_of(url)
    fs = filesystem(protocol, options, url)
    root = str(fs._strip_protocol(url)).rstrip("/")
    return Remote(url.rstrip("/"), protocol, root, dict(options))


def access_error(verb: str, url: str, error: Exception) -> UsageError:
    """A failure to reach IN or OUT as one line: refused credentials, an
    unreachable endpoint."""
    if isinstance(error, PermissionError):
        return UsageError(f"cannot {verb} {url}: access refused ({one_line(error)}): "
                          f"check the credentials")
    return UsageError(f"cannot {verb} {url}: {one_line(error)}")


def _folder_error(folder: Remote, error: Exception) -> UsageError:
    """A failure to reach IN: a missing folder or bucket (in the store's
    own words), or as access_error says."""
    if isinstance(error, FileNotFoundError):
        detail = one_line(error)
        return UsageError(f"no such folder: {folder.url}"
                          + ("" if detail.strip("/") in (folder.root.strip("/"), "FileNotFoundError")
                             else f" ({detail})"))
    return access_error("read", folder.url, error)


def check_folder(folder: Remote) -> None:
    """IN as a folder that exists and can be read, or a usage error."""
    fs = folder.filesystem()
    try:
        info = fs.info(folder.root)
    except Exception as error:  # the file system's own errors, of any kind
        raise _folder_error(folder, error) from None
    if info.get("type") != "directory":
        raise UsageError(f"no such folder: {folder.url}")


def find(folder: Remote, suffixes: set[str]
         ) -> tuple[dict[PurePosixPath, ObjectStamp], int, list[str]]:
    """Every object under the folder with an audio suffix, by its path
    relative to the folder in name order, with its stamp from the listing;
    the count of the others; and the objects with audio names that are no
    path under the folder (an empty, "." or ".." segment: "in/../x.wav",
    "in//x.wav"), which would be written elsewhere than under OUT, with
    why. A listing that fails is a usage error."""
    fs = folder.filesystem()
    try:
        listing = fs.find(folder.root, detail=True)
    except Exception as error:  # the file system's own errors, of any kind
        raise _folder_error(folder, error) from None
    prefix = f"{folder.root}/"
    audio: dict[PurePosixPath, ObjectStamp] = {}
    ignored = 0
    skipped: list[str] = []
    for path in sorted(listing):
        info = listing[path]
        if not path.startswith(prefix) or info.get("type") == "directory":
            continue
        name = path[len(prefix):]
        relative = PurePosixPath(name)
        if relative.suffix.lower() not in suffixes:
            ignored += 1
        elif any(segment in ("", ".", "..") for segment in name.split("/")):
            skipped.append(f"{folder.url}/{name}: skipped: a name with an empty, . or .. "
                           f"segment is no path under {folder.url}")
        else:
            audio[relative] = ObjectStamp.of(info)
    return audio, ignored, skipped


@contextmanager
def opened(source: str, options: Mapping[str, Any] | None,
           block_size: int = STREAM_BLOCK) -> Iterator[str | BinaryIO]:
    """A source to read: a local path as it is (no fsspec), a URL as a
    binary file object of fsspec's, read ahead `block_size` bytes at a time."""
    if options is None:
        yield source
        return
    fs = filesystem(protocol_of(source), options, source)
    with fs.open(fs._strip_protocol(source), "rb", block_size=block_size,
                 cache_type="readahead") as file:
        yield cast(BinaryIO, file)


def writable_store(url: str, options: Mapping[str, Any]) -> str:
    """OUT as the URL of a store, checked as far as it can be without
    writing: its protocol, and on a store of buckets the bucket, which
    must exist and let these credentials in (a store is never made in a
    bucket of its own). Its URL from the file system's root (file://f.zarr
    is file:///home/me/f.zarr), which a worker elsewhere opens."""
    protocol = protocol_of(url)
    fs = filesystem(protocol, options, url)
    root = str(fs._strip_protocol(url)).rstrip("/")
    split = getattr(fs, "split_path", None)  # s3fs's, gcsfs's, adlfs's
    if split is not None:
        bucket = str(split(root)[0])
        try:
            fs.info(bucket)
        except FileNotFoundError:
            raise UsageError(f"cannot write {url}: no such bucket: {bucket}") from None
        except Exception as error:  # the file system's own errors, of any kind
            raise access_error("write", url, error) from None
    return f"{protocol}://{root}"
