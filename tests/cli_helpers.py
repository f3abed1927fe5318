"""Helpers of the command line's tests: running it as a user does, reading
what it wrote, and a small corpus."""
import contextlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

import numpy as np
import soundfile

import tavik

SPEECH = Path(tavik.__file__).parent / "data" / "speech.wav"
SCRIPT = Path(sys.executable).parent / "tavik"


def tavik_cli(*args, cwd, script=False, env=None):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "tavik"]
    # Dask gives up on an address after 2 s instead of 30 s.
    env = {**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s", **(env or {})}
    return subprocess.run([*command, *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=300, env=env)


def npz(path):
    with np.load(path) as data:
        return {name: data[name] for name in data.files}


def write_corpus(folder):
    """Three files at 16 kHz (one of them stereo, one nested), one unreadable."""
    rng = np.random.default_rng(5)
    (folder / "nested").mkdir(parents=True)
    (folder / "nested" / "speech.wav").write_bytes(SPEECH.read_bytes())
    soundfile.write(folder / "noise.flac", 0.1 * rng.standard_normal(9000), 16000)
    soundfile.write(folder / "two.wav", 0.1 * rng.standard_normal((7000, 2)), 16000,
                    subtype="FLOAT")
    (folder / "broken.ogg").write_bytes(b"OggS garbage")
    return ["nested/speech.npz", "noise.npz", "two.npz"]


def corpus_files(out):
    return sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file())




@contextlib.contextmanager
def small_file_system(folder, options="size=64k"):
    """A tmpfs of 64 KiB mounted at `folder` (with "ro" in `options`:
    read-only); the test is skipped where mounting is not permitted."""
    folder.mkdir(parents=True, exist_ok=True)
    try:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tavik-test",
                                  str(folder)], capture_output=True, timeout=30)
    except OSError as error:
        pytest.skip(f"cannot mount a tmpfs here: {error}")
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode(errors='replace')}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], capture_output=True, timeout=30, check=True)
