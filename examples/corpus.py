#!/usr/bin/env python3
"""Gammatone features of a folder of audio files, over a pool of processes.

    python examples/corpus.py IN_DIR OUT_DIR [--workers N] [filterbank options]

Every audio file under IN_DIR (searched recursively, by the suffixes that
libsndfile reads) gets OUT_DIR/<same relative path>.npy: its frames x features
array, computed as examples/gammatonegram.py computes it. The parent builds one
GammatoneFilterbank per sample rate and sends it to the workers by pickle,
together with the file to do; each worker reads its file, extracts and saves.

Files that fail are listed at the end, one line each, and make the exit status
1; a missing IN_DIR or a bad option gives exit status 2.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from pathlib import Path

import numpy as np

from _tavik.extractor import GammatoneFilterbank
from gammatonegram import (UsageError, add_filterbank_options, features_of, framing,
                           make_filterbank, read_audio)


def audio_files(root: Path) -> list[Path]:
    import soundfile

    suffixes = {"." + name.lower() for name in soundfile.available_formats()}
    suffixes |= {".aif", ".oga", ".opus"}
    return sorted(p for p in root.rglob("*") if p.is_file() and p.suffix.lower() in suffixes)


def extract_file(fb: GammatoneFilterbank, hop: int, source: Path, target: Path) -> int:
    """Runs in a worker: features of one file into target; returns the frame count."""
    samples, sample_rate = read_audio(source)
    if sample_rate != fb.sample_rate:
        raise UsageError(f"sample rate changed to {sample_rate} Hz while queued")
    if fb.on_channel >= samples.shape[1]:
        raise UsageError(f"--channel {fb.on_channel} is out of range for "
                         f"{samples.shape[1]} channel(s)")
    if samples.shape[0] < fb.num_samples:
        raise UsageError(f"shorter than one frame of {fb.num_samples} samples")
    # One thread per worker: the pool's processes already share the cores.
    features = features_of(fb, samples, hop, num_threads=1)
    target.parent.mkdir(parents=True, exist_ok=True)
    np.save(target, features)
    return int(features.shape[0])


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Gammatone features of every audio file of a folder, one .npy per file.")
    parser.add_argument("input", type=Path, help="folder of audio files")
    parser.add_argument("output", type=Path, help="folder for the .npy files")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="number of worker processes (default: one per core)")
    add_filterbank_options(parser)
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    import soundfile
    from tqdm import tqdm

    args = parse_arguments(argv)
    if not args.input.is_dir():
        raise UsageError(f"no such folder: {args.input}")
    if args.workers < 1:
        raise UsageError("--workers must be at least 1")
    files = audio_files(args.input)
    if not files:
        raise UsageError(f"no audio files in {args.input}")

    failures: list[str] = []
    # One filterbank per sample rate, made in the parent: a bad parameter is
    # reported once, before any work is sent out.
    filterbanks: dict[int, tuple[GammatoneFilterbank, int]] = {}
    jobs: list[tuple[GammatoneFilterbank, int, Path, Path]] = []
    for source in files:
        try:
            sample_rate = int(soundfile.info(str(source)).samplerate)
        except (RuntimeError, OSError, ValueError) as error:
            failures.append(f"{source}: cannot read as audio: {' '.join(str(error).split())}")
            continue
        if sample_rate not in filterbanks:
            frame, hop = framing(args, sample_rate)
            filterbanks[sample_rate] = (make_filterbank(args, sample_rate, frame), hop)
        fb, hop = filterbanks[sample_rate]
        target = args.output / source.relative_to(args.input).with_suffix(".npy")
        jobs.append((fb, hop, source, target))

    total_frames = 0
    with ProcessPoolExecutor(max_workers=args.workers) as pool:
        futures: dict[Future[int], Path] = {
            pool.submit(extract_file, *job): job[2] for job in jobs}
        for future in tqdm(as_completed(futures), total=len(futures), unit="file",
                           file=sys.stderr, delay=1.0):
            try:
                total_frames += future.result()
            except (UsageError, ValueError, RuntimeError, OSError) as error:
                failures.append(f"{futures[future]}: {' '.join(str(error).split())}")

    done = len(jobs) - sum(1 for f in futures if f.exception() is not None)
    print(f"files: {done} of {len(files)}, frames: {total_frames}, written under {args.output}")
    for line in sorted(failures):
        print(f"corpus: {line}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except UsageError as error:
        print(f"corpus: {error}", file=sys.stderr)
        sys.exit(2)
