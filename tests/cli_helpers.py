"""Helpers of the command line's tests: running it as a user does, reading
what it wrote, and a small corpus."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import soundfile

import tavik

SPEECH = Path(tavik.__file__).parent / "data" / "speech.wav"
SCRIPT = Path(sys.executable).parent / "tavik"


def tavik_cli(*args, cwd, script=False):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "tavik"]
    # Dask gives up on an address after 2 s instead of 30 s.
    env = {**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"}
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


