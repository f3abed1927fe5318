"""`tavik corpus IN OUT`: one .npz of features for every audio file under IN,
on a local process pool or a Dask cluster, with one frequency axis for all."""

from __future__ import annotations

import argparse
import sys
from collections import Counter
from collections.abc import Iterator
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ._cli import Analysis, UsageError, need, one_line, workers_default
from ._npz import fields_of, save_atomically

# Suffixes that libsndfile reads besides the names of its formats.
_EXTRA_SUFFIXES = {".aif", ".oga", ".opus"}


@dataclass(frozen=True)
class Job:
    """One file to do. It travels to a worker by pickle, the filterbank with it.
    The paths are absolute: a Dask worker runs in a directory of its own."""

    name: str
    """The file as the user named it, for messages."""
    source: str
    target: str
    analysis: Analysis
    resample: bool


@dataclass(frozen=True)
class Outcome:
    source: str
    frames: int
    error: str | None


def extract_file(job: Job) -> Outcome:
    """Runs in a worker: reads, resamples if asked, extracts, writes."""
    try:
        frames = _extract(job)
    except Exception as error:  # any failure of one file is reported, not fatal
        return Outcome(job.name, 0, one_line(error))
    return Outcome(job.name, frames, None)


def _extract(job: Job) -> int:
    soundfile = need("soundfile")
    fb = job.analysis.filterbank
    data, sample_rate = soundfile.read(job.source, dtype="float64")
    samples = np.asarray(data, dtype=np.float64)
    if sample_rate != fb.sample_rate:
        if not job.resample:
            raise ValueError(f"sample rate changed to {sample_rate} Hz while queued")
        samples = need("soxr").resample(samples, sample_rate, fb.sample_rate)
    channels = 1 if samples.ndim == 1 else samples.shape[1]
    if fb.on_channel >= channels:
        raise ValueError(f"--channel {fb.on_channel} is out of range for {channels} channel(s)")
    # One thread per task: the pool's processes (or Dask's workers) share the cores.
    g = job.analysis.run(samples, num_threads=1)
    fields = fields_of(g)
    fields["source_sample_rate"] = sample_rate
    target = Path(job.target)
    # What a killed run may have left beside the target is removed first.
    for stale in target.parent.glob(f".{target.name}.*.partial"):
        stale.unlink(missing_ok=True)
    save_atomically(target, fields)
    return int(g.features.shape[0])


def audio_files(root: Path) -> list[Path]:
    soundfile = need("soundfile")
    suffixes = {"." + name.lower() for name in soundfile.available_formats()} | _EXTRA_SUFFIXES
    return sorted(p for p in root.rglob("*") if p.is_file() and p.suffix.lower() in suffixes)


def rates_message(rates: Counter[int]) -> str:
    found = ", ".join(f"{rate} Hz ({count} file{'s' if count > 1 else ''})"
                      for rate, count in sorted(rates.items()))
    return (f"the files have different sample rates: {found}; pass --sample-rate R to "
            f"resample them all to one rate")


def run_locally(jobs: list[Job], workers: int) -> Iterator[Outcome]:
    pool = ProcessPoolExecutor(max_workers=min(workers, len(jobs)))
    try:
        futures: dict[Future[Outcome], Job] = {pool.submit(extract_file, job): job for job in jobs}
        for future in as_completed(futures):
            try:
                yield future.result()
            except Exception as error:  # a worker that died takes its file with it
                yield Outcome(futures[future].name, 0, one_line(error))
    finally:
        # Interrupted: the files not started are dropped, not done first.
        pool.shutdown(wait=True, cancel_futures=True)


def run_on_dask(jobs: list[Job], address: str) -> Iterator[Outcome]:
    distributed = need("distributed", "dask")
    try:
        client = distributed.Client(address)
    except (OSError, TimeoutError, ValueError) as error:
        raise UsageError(f"cannot reach the Dask scheduler at {address}: {one_line(error)}") from None
    with client:
        # One task per file; results come back as they complete.
        futures = client.map(extract_file, jobs, pure=False)
        names = {future.key: job.name for future, job in zip(futures, jobs)}
        for future in distributed.as_completed(futures):
            try:
                yield future.result()
            except Exception as error:  # a lost worker, or a task Dask gave up on
                yield Outcome(names[future.key], 0, one_line(error))


def corpus_command(args: argparse.Namespace) -> int:
    soundfile = need("soundfile")
    tqdm = need("tqdm").tqdm
    if args.sample_rate is not None:
        need("soxr")
        if args.sample_rate < 1:
            raise UsageError("--sample-rate must be positive")
    if args.scheduler is not None:
        need("distributed", "dask")
    workers: int = args.workers if args.workers is not None else workers_default()
    if workers < 1:
        raise UsageError("--workers must be at least 1")
    if not args.input.is_dir():
        raise UsageError(f"no such folder: {args.input}")
    files = audio_files(args.input)
    if not files:
        raise UsageError(f"no audio files in {args.input}")

    targets: dict[Path, Path] = {}
    for source in files:
        target = args.output / source.relative_to(args.input).with_suffix(".npz")
        if target in targets:
            raise UsageError(f"{targets[target]} and {source} would both be written to {target}")
        targets[target] = source

    # The sample rates first (a header read each): the frequency axis and the
    # framing must be one for the whole corpus, decided before any writing.
    failures: list[str] = []
    readable: list[Path] = []
    rates: Counter[int] = Counter()
    for source in files:
        try:
            rates[int(soundfile.info(str(source)).samplerate)] += 1
        except (RuntimeError, OSError, ValueError) as error:
            failures.append(f"{source}: cannot read as audio: {one_line(error)}")
            continue
        readable.append(source)
    rate: int | None = args.sample_rate
    if rate is None and len(rates) > 1:
        raise UsageError(rates_message(rates))
    if rate is None and rates:
        rate = next(iter(rates))

    jobs: list[Job] = []
    skipped = 0
    if rate is not None:
        analysis = Analysis(args, rate)
        for source in readable:
            target = args.output / source.relative_to(args.input).with_suffix(".npz")
            if target.exists() and not args.overwrite:
                skipped += 1
            else:
                jobs.append(Job(str(source), str(source.resolve()), str(target.resolve()),
                                analysis, args.sample_rate is not None))

    done = 0
    if jobs:
        outcomes = (run_locally(jobs, workers) if args.scheduler is None
                    else run_on_dask(jobs, args.scheduler))
        with tqdm(total=len(jobs), unit="file", file=sys.stderr, delay=1.0) as bar:
            for outcome in outcomes:
                if outcome.error is None:
                    done += 1
                else:
                    failures.append(f"{outcome.source}: {outcome.error}")
                bar.update(1)

    sys.stdout.flush()
    for line in sorted(failures):
        print(f"tavik corpus: {line}", file=sys.stderr)
    sys.stderr.flush()
    print(f"{done} done, {skipped} skipped as already done, {len(failures)} failed "
          f"(features under {args.output})")
    return 1 if failures else 0
