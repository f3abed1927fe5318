"""`tavik corpus IN OUT`: the features of every audio file under IN, one .npz
each or all in one Zarr store (_store), on a local process pool or a Dask
cluster, with one frequency axis for all. IN, and OUT as a store, may be
URLs of object storage (storage.py)."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import errno
import multiprocessing
import os
import signal
import stat
import sys
import threading
from collections import Counter, deque
from collections.abc import Iterator, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, ThreadPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import Any, Final

from _tavik import __version__

from .. import _io, _store
from .._analysis import EACH
from .common import (Settings, UsageError, add_analysis_options, check_can_make,
                     check_channel_of_file, check_options,
                     extract, need, npz_fields, one_line, print_stderr, record_of, report,
                     stored_settings, write_error)
from . import storage

# Suffixes that libsndfile reads besides the names of its formats.
_EXTRA_SUFFIXES: Final = {".aif", ".oga", ".opus"}
# Files are grouped into tasks of about this much work (estimated from their
# headers), so that a task's own cost (scheduling, messages) stays small
# beside its work, as Dask advises; a long file is a task of its own.
TASK_SECONDS: Final = 0.1
# Estimated seconds per sample and filter of the filterbank (continuous mode
# on one core; frames mode does num_samples / hop times the work), and per file.
_SECONDS_PER_SAMPLE_FILTER: Final = 2e-9
_SECONDS_PER_FILE: Final = 1e-3
# Headers of objects read at once: each is a request that mostly waits.
_HEADER_THREADS: Final = 16
# A part of a store holds at most this much work, so that a long file makes
# parts of a few files, and a killed task loses at most this much.
PART_SECONDS: Final = 60.0


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    many = commands.add_parser(
        "corpus", help="features of every audio file under a folder",
        description="One .npz of features under OUT for every audio file under IN, at the "
                    "same relative path, or all of them in one Zarr store OUT.zarr; files "
                    "already done with the same settings are skipped.")
    many.add_argument("input", metavar="IN",
                      help="folder of audio files, or a URL of one (s3://bucket/prefix)")
    many.add_argument("output", metavar="OUT",
                      help="folder for the .npz files, or the store (a name ending in .zarr, "
                           "or a URL of one)")
    many.add_argument("--format", choices=("npz", "zarr"), default=None,
                      help="npz: a folder of .npz files; zarr: one store (needs CPython 3.11 "
                           "or later); default: zarr for an OUT ending in .zarr, else npz")
    many.add_argument("--dtype", choices=_store.DTYPES, default="float64",
                      help="type of the features in a store (default float64, the computed "
                           "values; float32 rounds each once, half the size)")
    many.add_argument("--sample-rate", type=int, default=None, metavar="R",
                      help="resample every file to R Hz first (needed when rates differ)")
    where = many.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=None, metavar="N",
                       help="local worker processes (default: one per core)")
    where.add_argument("--scheduler", default=None, metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler (tcp://host:8786)")
    many.add_argument("--worker-timeout", type=float, default=60.0, metavar="SECONDS",
                      help="with --scheduler: how long to wait for a worker that runs tavik "
                           "(default 60)")
    many.add_argument("--overwrite", action="store_true",
                      help="redo every file, also those done, with other settings too")
    many.add_argument("--storage-option", action="append", default=[], metavar="KEY=VALUE",
                      dest="storage_options",
                      help="an option of the file system of IN and OUT given as URLs, as fsspec "
                           "takes it (endpoint_url=http://host:9000, anon=true); VALUE is read as "
                           "JSON where it is JSON, else as text; repeatable")
    add_analysis_options(many)
    many.set_defaults(run=run)


def cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


# --- What is under IN -----------------------------------------------------------

@dataclass
class Survey:
    """Every entry under IN: audio files to do, and the rest with reasons."""

    audio: list[Path] = field(default_factory=list)
    status: dict[Path, os.stat_result] = field(default_factory=dict)
    """Of each audio file, as found."""
    skipped: list[str] = field(default_factory=list)
    """Entries with audio names that are not files to read, with why."""
    failures: list[str] = field(default_factory=list)
    ignored: int = 0
    """Files whose names are not of audio files."""


def audio_suffixes() -> set[str]:
    soundfile = need("soundfile")
    return {"." + name.lower() for name in soundfile.available_formats()} | _EXTRA_SUFFIXES


def survey(root: Path, suffixes: set[str]) -> Survey:
    """Walks IN in name order, following symbolic links to folders (a link
    back to a folder that contains it is reported, not followed)."""
    found = Survey()
    top = os.stat(root)
    # Folders still to list, each with the (device, inode) of itself and its ancestors.
    stack: list[tuple[Path, frozenset[tuple[int, int]]]] = [
        (root, frozenset({(top.st_dev, top.st_ino)}))]
    while stack:
        folder, ancestors = stack.pop()
        try:
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda e: e.name)
        except OSError as error:
            found.failures.append(f"{folder}: cannot list the folder: "
                                  f"{error.strerror or one_line(error)}")
            continue
        folders = []
        for entry in entries:
            path = folder / entry.name
            audio = path.suffix.lower() in suffixes
            try:
                status = os.stat(entry.path)
            except OSError as error:
                if audio or entry.is_symlink():
                    reason = ("symbolic link loop" if error.errno == errno.ELOOP else
                              "broken symbolic link" if entry.is_symlink() else
                              error.strerror or one_line(error))
                    found.skipped.append(f"{path}: skipped: {reason}")
                continue
            if stat.S_ISDIR(status.st_mode):
                key = (status.st_dev, status.st_ino)
                if key in ancestors:
                    found.skipped.append(f"{path}: skipped: a link to a folder that contains it")
                else:
                    folders.append((path, ancestors | {key}))
            elif not audio:
                found.ignored += 1
            elif stat.S_ISREG(status.st_mode):
                found.audio.append(path)
                found.status[path] = status
            else:
                found.skipped.append(f"{path}: skipped: not a regular file "
                                     f"({_kind(status.st_mode)})")
        stack.extend(reversed(folders))
    return found


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return name
    return "not a file"


# --- Jobs, tasks and what a worker does ----------------------------------------

@dataclass(frozen=True)
class Stamp(storage.SourceStamp):
    """What tells a source file from another at the same path without reading
    it: its size, modification time (nanoseconds) and inode. A replacement
    of the same size keeps neither: `cp -p` writes into the old inode but
    brings a time stamp of its own, `tar x` and `rsync -a` bring a new inode
    even with the same time stamp; a rewrite in place that keeps size and
    time stamp is the one change it cannot see. The device is left out:
    its number changes with the mount (a reboot, an NFS client) while the
    files stay the same."""

    size: int
    mtime_ns: int
    inode: int

    @classmethod
    def of(cls, status: os.stat_result) -> Stamp:
        return cls(status.st_size, status.st_mtime_ns, status.st_ino)

    def fields(self) -> dict[str, Any]:
        return {"source_size": self.size, "source_mtime_ns": self.mtime_ns,
                "source_inode": self.inode}


@dataclass(frozen=True)
class Source:
    """An audio file found under IN."""

    name: str
    """As the user names it (under IN as given, or a URL), for messages."""
    relative: PurePath
    """Its path under IN, which its target's repeats under OUT."""
    location: str
    """What a worker opens: an absolute path, or a URL."""
    stamp: storage.SourceStamp


@dataclass(frozen=True)
class Job:
    """One file to do. The paths are absolute: a Dask worker runs in a
    directory of its own."""

    name: str
    """The file as the user named it, for messages."""
    source: str
    """An absolute path, or a URL."""
    target: str
    stamp: storage.SourceStamp
    """Of the source as found: the .npz records it."""
    seconds: float
    """Duration by the header."""
    index: int = 0
    """Its place among the jobs of a store: a part is named after its first."""
    options: Mapping[str, Any] | None = field(default=None, compare=False)
    """Of the file system of a URL source; None for a path."""


@dataclass(frozen=True)
class Outcome:
    name: str
    frames: int
    error: str | None


def do_task(settings: Settings, resample: bool, jobs: Sequence[Job], num_threads: int,
            output: _store.Output | None = None) -> list[Outcome]:
    """Runs in a worker: each file read in blocks, resampled if asked,
    through the filterbank, written (to its .npz, or without `output` to
    one part of the store). A failure of one file is its outcome; a part
    that cannot be written fails all of its files."""
    part = None
    if output is not None and jobs:
        try:
            part = _store.PartWriter(output, output.part_name(jobs[0].index, len(jobs)))
        except Exception as error:
            return [Outcome(job.name, 0, one_line(error)) for job in jobs]
    outcomes = []
    for job in jobs:
        try:
            frames = _do_job(settings, resample, job, num_threads, part)
        except Exception as error:
            outcomes.append(Outcome(job.name, 0, one_line(error)))
        else:
            outcomes.append(Outcome(job.name, frames, None))
    if part is not None:
        try:
            if any(outcome.error is None for outcome in outcomes):
                part.commit()
            else:
                part.abandon()
        except Exception as error:
            part.abandon()
            reason = one_line(error)
            outcomes = [outcome if outcome.error is not None else Outcome(outcome.name, 0, reason)
                        for outcome in outcomes]
    return outcomes


def _do_job(settings: Settings, resample: bool, job: Job, num_threads: int,
            part: _store.PartWriter | None = None) -> int:
    header: list[_io.AudioInfo] = []

    def check(info: _io.AudioInfo) -> None:
        if info.sample_rate != settings.analysis.sample_rate and not resample:
            raise ValueError(f"sample rate changed to {info.sample_rate} Hz while queued")
        check_channel_of_file(settings.analysis.channel, info.channels, "a file", ValueError)
        header.append(info)

    with storage.opened(job.source, job.options) as source:
        extracted = extract(source, settings, resample=resample, num_threads=num_threads,
                            check=check)
    g = record_of(extracted, settings)
    if part is None:
        _io.save_atomically(Path(job.target), npz_fields(
            g, settings, source_sample_rate=header[0].sample_rate, **job.stamp.fields()))
    else:
        part.add(g.features, {"name": job.target, "source_sample_rate": header[0].sample_rate,
                              "seconds": extracted.samples / settings.analysis.sample_rate,
                              "frames": int(g.features.shape[0]), **job.stamp.fields()})
    return int(g.features.shape[0])


def _work_per_second(settings: Settings) -> float:
    """Estimated seconds of work per second of a recording."""
    a = settings.analysis
    return (a.sample_rate * a.num_features * _SECONDS_PER_SAMPLE_FILTER
            * (a.num_samples / a.hop if a.mode == "frames" else 1))


def tasks_of(jobs: list[Job], settings: Settings, workers: int) -> list[list[Job]]:
    """Consecutive files grouped into tasks of about TASK_SECONDS of work, and
    into at least four tasks per worker when there is enough work."""
    per_second = _work_per_second(settings)
    work = [_SECONDS_PER_FILE + job.seconds * per_second for job in jobs]
    size = min(TASK_SECONDS, sum(work) / (4 * workers))
    tasks: list[list[Job]] = []
    current: list[Job] = []
    total = 0.0
    for job, seconds in zip(jobs, work):
        current.append(job)
        total += seconds
        if total >= size:
            tasks.append(current)
            current, total = [], 0.0
    if current:
        tasks.append(current)
    return tasks


def parts_of(jobs: list[Job], settings: Settings, workers: int) -> list[list[Job]]:
    """Consecutive files grouped into the tasks of a store, one part each:
    PART_RECORDINGS files, fewer where they make more than PART_SECONDS of
    work, and fewer files than that shared out among the workers (so a
    store is at most one file per 500 recordings, plus two per worker)."""
    per_second = _work_per_second(settings)
    most = max(1, min(_store.PART_RECORDINGS, -(-len(jobs) // workers)))
    tasks: list[list[Job]] = []
    current: list[Job] = []
    total = 0.0
    for job in jobs:
        seconds = _SECONDS_PER_FILE + job.seconds * per_second
        if current and (len(current) == most or total + seconds > PART_SECONDS):
            tasks.append(current)
            current, total = [], 0.0
        current.append(job)
        total += seconds
    if current:
        tasks.append(current)
    return tasks


# --- Local processes -------------------------------------------------------------

def _watch_parent(parent: int) -> None:
    while True:
        threading.Event().wait(1.0)
        if os.getppid() != parent:
            os._exit(1)


def _start_worker(parent: int) -> None:
    """In each pool process: Ctrl-C is the command's to handle (it ends the
    workers), and the worker ends when the command does, however it ends."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if sys.platform.startswith("linux"):
        import ctypes

        try:  # PR_SET_PDEATHSIG: SIGKILL when the parent dies
            ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL, 0, 0, 0)
        except (OSError, AttributeError):
            pass
    if os.getppid() != parent:
        os._exit(1)
    threading.Thread(target=_watch_parent, args=(parent,), daemon=True).start()


def _process_context() -> multiprocessing.context.BaseContext:
    """Workers that are the command's own children, whatever the Python
    version's default (forkserver from 3.14 on Linux): forked on Linux, where
    the command has no other thread when it forks them (tqdm's monitor is
    off), spawned elsewhere. A forkserver would stand between them and the
    command and outlive it."""
    return multiprocessing.get_context("fork" if sys.platform.startswith("linux") else "spawn")


def _stop_pool(pool: ProcessPoolExecutor) -> None:
    """Ends the pool's processes now, whatever they are doing."""
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        if process.is_alive():
            process.terminate()
    pool.shutdown(wait=True, cancel_futures=True)


def run_locally(tasks: list[list[Job]], settings: Settings, resample: bool,
                workers: int, output: _store.Output | None = None) -> Iterator[list[Outcome]]:
    """The tasks on `workers` processes. A worker that dies breaks the pool:
    a new one takes over, and the files of the tasks that were in flight are
    retried one at a time, alone in the pool, so that a death is the file's
    own; a file whose worker dies twice alone has failed, and the rest go on."""
    pending: deque[list[Job]] = deque(tasks)
    suspects: deque[list[Job]] = deque()
    deaths: Counter[str] = Counter()
    available = cores()
    while pending or suspects:
        pool = ProcessPoolExecutor(max_workers=max(1, min(workers, len(pending) + len(suspects))),
                                   mp_context=_process_context(),
                                   initializer=_start_worker, initargs=(os.getpid(),))
        # Each future's task, and whether it runs alone (a suspect).
        in_flight: dict[Future[list[Outcome]], tuple[list[Job], bool]] = {}
        lost: list[tuple[list[Job], bool]] = []
        try:
            while (pending or suspects or in_flight) and not lost:
                if suspects:
                    if not in_flight:
                        task = suspects.popleft()
                        in_flight[pool.submit(do_task, settings, resample, task,
                                              available, output)] = (task, True)
                else:
                    while pending and len(in_flight) < 2 * workers:
                        task = pending.popleft()
                        # Fewer tasks than workers (one long file): threads take the cores.
                        share = min(workers, len(pending) + len(in_flight) + 1)
                        future = pool.submit(do_task, settings, resample, task,
                                             max(1, available // share), output)
                        in_flight[future] = (task, False)
                finished, _ = wait(in_flight, return_when=FIRST_COMPLETED)
                for future in finished:
                    task, alone = in_flight.pop(future)
                    try:
                        yield future.result()
                    except BrokenProcessPool:
                        lost.append((task, alone))
            for future, (task, alone) in in_flight.items():
                if future.done() and future.exception() is None:
                    yield future.result()
                else:
                    lost.append((task, alone))
            for task, alone in lost:
                if alone and deaths[task[0].name] >= 1:
                    yield [Outcome(task[0].name, 0, "a worker process died while doing this "
                                                    "file, also when retried")]
                elif alone:
                    deaths[task[0].name] += 1
                    suspects.appendleft(task)
                else:
                    suspects.extend([job] for job in task)
        finally:
            _stop_pool(pool)


# --- A Dask cluster ------------------------------------------------------------------

def probe() -> str:
    """A task that shows a worker can run tavik: its version."""
    return __version__


def reach(address: str) -> None:
    """Connects to the scheduler at `address` and back, or a usage error of
    one line, within Dask's connection timeout. Dask's Client waits for the
    scheduler's handshake without a time limit, so that a server that
    accepts connections and never answers would hold it for ever; this
    connection, made the Client's way, is given the timeout as a whole. It
    runs on an event loop of its own, in a thread of its own: the caller's
    thread may run a loop already (a notebook)."""
    import asyncio

    distributed = need("distributed", "dask")
    import dask.utils

    timeout = dask.utils.parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"),
                                         default="seconds")

    async def handshake() -> None:
        # The TCP connection is retried up to the timeout: Dask names that
        # failure; the deadline's margin is for a handshake that never comes.
        comm = await asyncio.wait_for(distributed.comm.connect(
            address, timeout=timeout,
            **distributed.Security().get_connection_args("client")), timeout + 1)
        await comm.close()

    failed: list[Exception] = []

    def attempt() -> None:
        try:
            asyncio.run(handshake())
        except Exception as error:
            failed.append(error)

    thread = threading.Thread(target=attempt, name="tavik-reach", daemon=True)
    thread.start()
    thread.join()
    if not failed:
        return
    if isinstance(failed[0], asyncio.TimeoutError):
        raise UsageError(f"cannot reach the Dask scheduler at {address}: it accepted the "
                         f"connection, but no answer came within Dask's connection timeout "
                         f"({timeout:g} s)")
    # any failure to connect, of any address
    raise UsageError(f"cannot reach the Dask scheduler at {address}: {one_line(failed[0])}")


def connect(address: str, timeout: float) -> Any:
    """A client of the Dask scheduler at `address` with at least one worker
    that runs this version of tavik, waiting `timeout` seconds at most for
    each; otherwise a usage error of one line."""
    distributed = need("distributed", "dask")
    reach(address)
    try:
        client = distributed.Client(address)
    except Exception as error:  # any failure to connect, of any address
        raise UsageError(f"cannot reach the Dask scheduler at {address}: {one_line(error)}") from None
    try:
        try:
            client.wait_for_workers(1, timeout=timeout)
        except Exception:
            raise UsageError(f"no Dask worker joined the scheduler at {address} within "
                             f"{timeout:g} s (--worker-timeout)") from None
        check = client.submit(probe, pure=False)
        try:
            version = check.result(timeout=timeout)
        except Exception as error:
            message = (f"no Dask worker ran a task within {timeout:g} s (--worker-timeout); can "
                       f"the workers import tavik?" if isinstance(error, TimeoutError) else
                       f"the Dask workers cannot run tavik: {one_line(error)}")
            raise UsageError(message) from None
        if version != __version__:
            raise UsageError(f"the Dask workers run tavik {version}, this command {__version__}")
    except BaseException:
        client.close()
        raise
    return client


def run_on_dask(tasks: list[list[Job]], settings: Settings, resample: bool,
                client: Any, output: _store.Output | None = None) -> Iterator[list[Outcome]]:
    distributed = need("distributed", "dask")
    with client:
        # The settings go to every worker once; each task names them.
        shared = client.scatter(settings, broadcast=True)
        futures = [client.submit(do_task, shared, resample, task, 1, output, pure=False)
                   for task in tasks]
        jobs_of = {future.key: task for future, task in zip(futures, tasks)}
        for future in distributed.as_completed(futures):
            try:
                yield future.result()
            except Exception as error:  # a lost worker, or a task Dask gave up on
                yield [Outcome(job.name, 0, one_line(error)) for job in jobs_of[future.key]]


# --- The command ---------------------------------------------------------------------

def lock(folder: Path) -> int:
    """An exclusive lock on OUT for this run, held until the process ends."""
    import fcntl

    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(descriptor)
        raise UsageError(f"another tavik corpus run is writing to {folder}") from None
    except OSError:
        pass  # a file system without locks: run unlocked
    return descriptor


def rates_message(rates: Counter[int]) -> str:
    found = ", ".join(f"{rate} Hz ({count} file{'s' if count > 1 else ''})"
                      for rate, count in sorted(rates.items()))
    return (f"the files have different sample rates: {found}; pass --sample-rate R to "
            f"resample them all to one rate")


def run(args: argparse.Namespace) -> int:
    held: list[int] = []
    try:
        return _run(args, held)
    finally:
        for descriptor in held:
            os.close(descriptor)  # the lock on OUT


def _run(args: argparse.Namespace, held: list[int]) -> int:
    check_options(args)
    tqdm = need("tqdm").tqdm
    tqdm.monitor_interval = 0  # no thread of its own: the pool forks this process
    resample = args.sample_rate is not None
    if resample:
        need("soxr")
    if args.scheduler is not None:
        need("distributed", "dask")
        if not args.worker_timeout > 0:
            raise UsageError(f"--worker-timeout must be positive, not {args.worker_timeout:g}")
    workers: int = args.workers if args.workers is not None else cores()
    if not 1 <= workers <= 1024:
        raise UsageError(f"--workers must be from 1 to 1024, not {workers}")
    options = storage.parse_options(args.storage_options)
    remote = _store.is_url(args.input)
    out_remote = _store.is_url(args.output)
    store = (args.format or ("zarr" if _store.is_store_name(args.output) else "npz")) == "zarr"
    if out_remote and not store:
        raise UsageError(f"cannot write {args.output}: .npz files go to a local folder; on "
                         f"object storage, features go to a Zarr store: an OUT ending in "
                         f".zarr, or --format zarr")
    if options and not remote and not out_remote:
        raise UsageError("--storage-option is for an IN or OUT given as a URL (s3://...), "
                         "and neither is")
    if store and args.channel == EACH:
        # A store's rows are frames of one lane of features each.
        raise UsageError("--channel each needs a folder of .npz files: a store holds one "
                         "row of features per frame")
    if store:
        try:
            _store.require_zarr()
        except ImportError as error:
            raise UsageError(str(error)) from None
    elif args.dtype != "float64":
        raise UsageError(f"--dtype {args.dtype} needs a store: an OUT ending in .zarr, or "
                         f"--format zarr")
    if remote:
        folder = storage.remote(args.input, options)
        storage.check_folder(folder)
    # os.path's tests, not Path's: a name too long to look up is no folder
    # either, rather than an OSError.
    elif not os.path.isdir(args.input):
        raise UsageError(f"no such folder: {args.input}")
    out = Path(args.output)
    # As the user named it: a URL is no path.
    out_name = args.output if out_remote else str(out)
    index: dict[str, _store.Entry] = {}
    stored_root: dict[str, Any] | None = None
    run_number = 1
    if out_remote:
        # No lock: object storage has none to offer (see docs/corpora.rst).
        location = _store.Location(storage.writable_store(args.output, options), options,
                                   shown=args.output)
        stored_root, index, run_number = _read_store(location, out_name)
    else:
        if os.path.exists(out) and not os.path.isdir(out):
            raise UsageError(f"{out} exists and is not a folder")
        # Absolute: a Dask worker runs elsewhere.
        location = _store.Location(os.path.abspath(out), shown=os.fspath(out))
        if os.path.isdir(out):
            held.append(lock(out))
            if store:
                stored_root, index, run_number = _read_store(location, out_name)
        else:
            # OUT is to be made for any file to be done: a name too long, or a
            # file where a folder of its path must be, is known now.
            check_can_make(out, out)

    if remote:
        found = Survey()
        objects, found.ignored, found.skipped = storage.find(folder, audio_suffixes())
        sources = [Source(folder.name_of(relative), relative, folder.location_of(relative),
                          stamp) for relative, stamp in objects.items()]
    else:
        found = survey(Path(args.input), audio_suffixes())
        # Absolute (not resolved) paths: a Dask worker runs elsewhere.
        sources = [Source(str(path), path.relative_to(args.input), os.path.abspath(path),
                          Stamp.of(found.status[path])) for path in found.audio]
    if not sources and not found.skipped and not found.failures:
        raise UsageError(f"no audio files in {args.input}")
    failures = list(found.failures)
    job_options = folder.options if remote else None

    # The sample rates first (a header read each): the frequency axis and the
    # framing must be one for the whole corpus, decided before any writing.
    headers: dict[str, _io.AudioInfo] = {}
    targets: dict[Path, Source] = {}
    rates: Counter[int] = Counter()
    for source in sources:
        # In a store, a recording is named by its path under IN.
        target = (Path(source.relative.as_posix()) if store
                  else out / source.relative.with_suffix(".npz"))
        if target in targets:
            raise UsageError(f"{targets[target].name} and {source.name} would both be written "
                             f"to {target}")
        targets[target] = source

    def header(source: Source) -> _io.AudioInfo | str:
        try:
            with storage.opened(source.location, job_options, storage.HEADER_BLOCK) as file:
                return _io.audio_info(file)
        except Exception as error:  # libsndfile's, and a remote file system's of any kind
            if not remote and not isinstance(error, (RuntimeError, OSError, ValueError)):
                raise
            return f"{source.name}: cannot read as audio: {one_line(error)}"

    if remote:  # requests that mostly wait, on threads that end before the pool forks
        with ThreadPoolExecutor(_HEADER_THREADS) as threads:
            read = list(threads.map(header, sources))
    else:
        read = [header(source) for source in sources]
    for source, given in zip(sources, read):
        if isinstance(given, str):
            failures.append(given)
            continue
        headers[source.name] = given
        rates[given.sample_rate] += 1
    rate: int | None = args.sample_rate
    if rate is None and len(rates) > 1:
        raise UsageError(rates_message(rates))
    if rate is None and rates:
        rate = next(iter(rates))

    jobs: list[Job] = []
    done_before = 0
    if rate is not None:
        settings = Settings.of(args, rate)
        other: list[str] = []
        if store and index and not args.overwrite and stored_root is not None:
            difference = settings.describe_difference(
                {**stored_root.get("settings", {}), "dtype": stored_root.get("dtype")},
                dtype=args.dtype)
            if difference is not None:
                other.append(f"{difference} in {out_name}")
        for target, source in targets.items():
            info = headers.get(source.name)
            if info is None or other and store:
                continue
            if store:
                entry = index.get(str(target))
                state = ("done" if entry is not None and not args.overwrite
                         and source.stamp.recorded_in(entry.fields) else None)
            else:
                state = _state_of(target, source.stamp, settings, args.overwrite)
            if state == "done":
                done_before += 1
                continue
            if state is not None and state.startswith("other settings: "):
                other.append(f"{state[len('other settings: '):]} in {target}")
                continue
            if state is not None:
                failures.append(f"{source.name}: {state}")
                continue
            jobs.append(Job(source.name, source.location,
                            str(target) if store else os.path.abspath(target), source.stamp,
                            info.samples / info.sample_rate, options=job_options))
        if other:
            raise UsageError(f"{out_name} holds features made with other settings ({other[0]}"
                             f"{f', and {len(other) - 1} more file(s)' if len(other) > 1 else ''}"
                             f"); pass --overwrite to redo them, or choose another OUT")

    done = short = 0
    if jobs:
        if not out_remote:
            check_can_make(out, out)
        client = (connect(args.scheduler, args.worker_timeout) if args.scheduler is not None
                  else None)
        if not out_remote:
            out.mkdir(parents=True, exist_ok=True)
            if not held:
                held.append(lock(out))
        output = None
        if store:
            # In name order, so that the parts of one run hold the rows in
            # the order in which a reader lists the recordings.
            jobs.sort(key=lambda job: job.target)
            jobs = [dataclasses.replace(job, index=i) for i, job in enumerate(jobs)]
            try:
                _store.prepare(location, settings.stored(), args.dtype, fresh=args.overwrite)
            except OSError as error:
                raise write_error(error) from None
            output = _store.Output(location, run_number, settings.analysis.num_features,
                                   args.dtype)
        if client is not None:
            workers = max(1, len(client.scheduler_info().get("workers", {})))
        tasks = parts_of(jobs, settings, workers) if store else tasks_of(jobs, settings, workers)
        outcomes = (run_locally(tasks, settings, resample, workers, output) if client is None
                    else run_on_dask(tasks, settings, resample, client, output))
        with tqdm(total=len(jobs), unit="file", file=sys.stderr, delay=1.0) as bar:
            for batch in outcomes:
                for outcome in batch:
                    if outcome.error is None:
                        done += 1
                        short += outcome.frames == 0
                    else:
                        failures.append(f"{outcome.name}: {outcome.error}")
                bar.update(len(batch))
        if store:
            with contextlib.suppress(OSError):  # the workers' leftovers, if any died
                _store.remove_unfinished(location)

    for line in sorted(found.skipped) + sorted(failures):
        print_stderr(f"tavik corpus: {line}")
    sys.stderr.flush()
    parts = [f"{done} done" + (f" ({short} shorter than one frame: no frames)" if short else ""),
             f"{done_before} skipped as already done", f"{len(failures)} failed"]
    if found.skipped:
        parts.append(f"{len(found.skipped)} skipped as not files to read")
    if found.ignored:
        parts.append(f"{found.ignored} other files ignored")
    report(f"{', '.join(parts)} (features under {out_name})")
    return 1 if failures else 0


def _read_store(location: _store.Location, name: str
                ) -> tuple[dict[str, Any] | None, dict[str, _store.Entry], int]:
    """What a store holds already: its root's record (None for no store
    yet), the index of its recordings, and the number of this run."""
    try:
        stored_root = _store.read_root(location)
        finished = _store.read_parts(location) if stored_root is not None else []
    except _store.StoreError as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        raise UsageError(f"cannot read {name}: {error.strerror or one_line(error)}") from None
    return stored_root, _store.index_of(finished), _store.next_run(finished)


def _state_of(target: Path, stamp: storage.SourceStamp, settings: Settings,
              overwrite: bool) -> str | None:
    """None when the target is to be made; "done" when it exists, made with
    these settings from the source as it is now (the same stamp: a target
    of an earlier run that records none is made again, as its source cannot
    be told from a replacement); otherwise why not."""
    try:
        status = os.stat(target)
    except FileNotFoundError:
        return None
    except OSError as error:
        return f"cannot check {target}: {error.strerror or one_line(error)}"
    if not stat.S_ISREG(status.st_mode):
        return f"{target} exists and is not a file"
    if overwrite:
        return None
    stored = stored_settings(target)
    if stored is None:
        return "other settings: not made by this version of tavik"
    difference = settings.describe_difference(stored)
    if difference is not None:
        return f"other settings: {difference}"
    if not stamp.recorded_in(stored):
        return None  # the source changed since: done again
    return "done"
