#!/usr/bin/env python3
"""The documentation's first steps as one script: the gammatonegram of a whole
signal, a frame, a multichannel frame, a batch of frames, a Python extractor,
and extractors shipped to a process pool.

    python examples/quickstart.py
"""

from __future__ import annotations

import math
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

import tavik
from tavik import Extractor, GammatoneFilterbank


class RMS(Extractor):
    """A Python extractor: one feature, the root mean square of the frame."""

    def compute(self, input: list[float], features: list[float]) -> None:
        features[0] = math.sqrt(sum(x * x for x in input) / len(input))


def batch_features(extractor: Extractor,
                   frames: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Runs in a worker process, on an extractor that arrived by pickle."""
    return extractor.batch(frames, num_threads=1)


def main() -> None:
    sample_rate = 16000
    t = np.arange(sample_rate) / sample_rate
    signal = np.sin(2 * np.pi * 440 * t) + 0.5 * np.sin(2 * np.pi * 2500 * t)

    # A whole signal: 25 ms frames every 10 ms, 64 log10 band levels each.
    g = tavik.gammatonegram(signal, sample_rate)
    print(f"gammatonegram: {g.features.shape[0]} frames x {g.features.shape[1]} features, "
          f"{g.centre_frequencies[0]:.0f}-{g.centre_frequencies[-1]:.0f} Hz, "
          f"last frame at {g.times[-1]:.2f} s")

    # One frame: 1024 floats in, 32 log10 band levels out.
    fb = GammatoneFilterbank(num_samples=1024, num_features=32, sample_rate=sample_rate,
                             low_Hz=100, high_Hz=7000)
    levels = fb(signal[:1024])
    loudest = max(range(len(levels)), key=levels.__getitem__)
    print(f"one frame: {len(levels)} features, loudest band at "
          f"{fb.filters[loudest].cf:.0f} Hz")

    # A multichannel frame: rows are channels, columns are samples, column-major.
    # An interleaved (samples, channels) buffer is exactly that once transposed,
    # and is read in place. on_channel=-1 (the default) takes the channel mean.
    interleaved = np.stack([signal[:1024], 0.5 * signal[:1024]], axis=1)
    mean_levels = fb(interleaved.T)
    left_only = GammatoneFilterbank(num_samples=1024, num_features=32,
                                    sample_rate=sample_rate, low_Hz=100, high_Hz=7000,
                                    on_channel=0)(interleaved.T)
    print(f"two channels: mean {mean_levels[loudest]:.3f}, left {left_only[loudest]:.3f}")

    # A batch: every frame of a sliding window (hop 512), read in place, on all
    # cores, without the interpreter lock.
    frames = sliding_window_view(signal, 1024)[::512]
    batch = fb.batch(frames)
    assert (batch[0] == np.array(levels)).all()
    print(f"batch: {batch.shape[0]} frames x {batch.shape[1]} features")

    # A Python extractor.
    rms = RMS(num_samples=1024, num_features=1)
    print(f"RMS of the first frame: {rms(signal[:1024])[0]:.4f}")

    # Extractors pickle: send them to a process pool (or to Dask or Ray). Under
    # the spawn and forkserver start methods the workers import this script,
    # so the pool is only ever started under `if __name__ == "__main__":`.
    assert pickle.loads(pickle.dumps(fb)).batch(frames).tobytes() == batch.tobytes()
    halves = np.array_split(frames, 2)
    with ProcessPoolExecutor(max_workers=2) as pool:
        parts = list(pool.map(batch_features, [fb, fb], halves))
        rms_parts = list(pool.map(batch_features, [rms, rms], halves))
    assert np.concatenate(parts).tobytes() == batch.tobytes()
    print(f"pool: {sum(len(p) for p in parts)} frames from 2 workers, bit-identical; "
          f"RMS of the last frame {rms_parts[-1][-1, 0]:.4f}")


if __name__ == "__main__":
    main()
