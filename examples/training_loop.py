"""A corpus store feeding a training loop, batch by batch, without loading
the corpus into memory.

Writes a small corpus of tones (low ones and high ones), runs ``tavik
corpus`` on it into a store, opens the store with ``tavik.open_corpus`` and
trains a logistic regression in plain NumPy on random batches of frames,
each labelled by the recording it comes from. The loop reads only the rows
of each batch (``corpus.features[rows]``); a PyTorch ``Dataset`` would do
the same in its ``__getitem__``.

    python examples/training_loop.py [folder]
"""

from __future__ import annotations

import importlib.util
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import numpy.typing as npt
import soundfile

import tavik

RATE = 16000


def write_recordings(folder: Path, count: int) -> None:
    """Half-second tones: below 400 Hz in low/, above 2 kHz in high/, with noise."""
    rng = np.random.default_rng(0)
    t = np.arange(RATE // 2) / RATE
    for kind, low, high in (("low", 100, 400), ("high", 2000, 4000)):
        (folder / kind).mkdir(parents=True, exist_ok=True)
        for i in range(count):
            tone = 0.3 * np.sin(2 * np.pi * rng.uniform(low, high) * t)
            soundfile.write(folder / kind / f"{i:03d}.wav",
                            tone + 0.05 * rng.standard_normal(len(t)), RATE)


def main(work: Path) -> None:
    write_recordings(work / "recordings", 20)
    # A store needs zarr 3 (CPython 3.11 or later); a folder of .npz files opens alike.
    has_store = sys.version_info >= (3, 11) and importlib.util.find_spec("zarr") is not None
    out = work / ("features.zarr" if has_store else "features")
    subprocess.run([sys.executable, "-m", "tavik", "corpus", str(work / "recordings"), str(out),
                    "--num-features", "32"], check=True, stdout=subprocess.DEVNULL)

    corpus = tavik.open_corpus(out)
    rows = corpus.features
    print(f"{len(corpus)} recordings, {rows.shape[0]} frames of {rows.shape[1]} features "
          f"({corpus.format})")
    # A label per recording (its folder), spread over its rows by the offsets.
    labels = np.array([name.startswith("high/") for name in corpus.names], dtype=np.float64)
    label_of_row = np.repeat(labels, np.diff(corpus.offsets))

    rng = np.random.default_rng(1)
    weights = np.zeros(rows.shape[1])
    bias = 0.0
    mean, scale = -3.0, 1.0  # features are log10 levels: about -6 to 0

    def predict(batch: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        z = (batch - mean) / scale @ weights + bias
        result: npt.NDArray[np.float64] = 1.0 / (1.0 + np.exp(-z))
        return result

    for step in range(301):
        chosen = rng.choice(rows.shape[0], size=64, replace=False)
        batch, target = rows[chosen], label_of_row[chosen]  # reads these 64 rows only
        p = predict(batch)
        gradient = p - target
        weights -= 0.1 * ((batch - mean) / scale).T @ gradient / len(chosen)
        bias -= 0.1 * float(gradient.mean())
        if step % 100 == 0:
            loss = -np.mean(target * np.log(p + 1e-12) + (1 - target) * np.log(1 - p + 1e-12))
            print(f"step {step}: loss {loss:.3f}")

    # Evaluated recording by recording: the mean prediction of its frames.
    correct = sum(int((predict(g.features).mean() > 0.5) == bool(label))
                  for g, label in zip(corpus, labels))
    print(f"recordings classified correctly: {correct} of {len(corpus)}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(Path(sys.argv[1]))
    else:
        with tempfile.TemporaryDirectory() as folder:
            main(Path(folder))
