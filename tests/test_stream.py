"""Continuous mode and the stream: chunk and thread invariance against the
whole-signal gammatonegram, no onset leakage, and failures that change
nothing."""
import re

import numpy as np
import pytest

import tavik

SR = 16000


def signal_of(kind, n=7000):
    rng = np.random.default_rng(11)
    x = rng.uniform(-0.9, 0.9, size=(n, 2))
    x[2000:2600] = 0.0
    if kind == "float64":
        return x[:, 0]
    if kind == "float32":
        return x[:, 1].astype(np.float32)
    if kind == "int16":
        return np.round(x * 32767).astype(np.int16)
    return x  # stereo float64


def chunks_of(signal, sizes):
    start, k = 0, 0
    while start < len(signal):
        size = sizes[k % len(sizes)]
        yield signal[start:start + size]
        start, k = start + size, k + 1


CASES = [(mode, kind, sizes, framing)
         for mode in ("continuous", "frames")
         for kind in ("float64", "float32", "int16", "stereo")
         for sizes in ([401], [97, 3, 1024], [7000])
         for framing in ((400, 160), (300, 300), (200, 450))]
# One-sample pushes are slow in Python: one combination per mode.
CASES += [(mode, "stereo", [1], (400, 160)) for mode in ("continuous", "frames")]


@pytest.mark.parametrize("mode, kind, sizes, framing", CASES, ids=str)
def test_pushes_concatenate_to_the_whole_signal(mode, kind, sizes, framing):
    signal = signal_of(kind)
    num_samples, hop = framing
    keywords = dict(num_samples=num_samples, hop=hop, num_features=20, mode=mode,
                    temporal_integration=0.003)
    whole = tavik.gammatonegram(signal, SR, **keywords)
    stream = tavik.GammatoneStream(SR, **keywords)
    rows = [stream.push(chunk) for chunk in chunks_of(signal, sizes)]
    assert np.concatenate(rows).tobytes() == whole.features.tobytes()
    assert (stream.frames_emitted, stream.samples_pushed) == (len(whole.features), len(signal))
    assert stream.last_times.tolist() == whole.times[len(whole.times) - len(rows[-1]):].tolist()


def test_one_frame_is_the_same_in_both_modes_and_threads_change_nothing():
    signal = signal_of("stereo", 60000)
    one = {mode: tavik.gammatonegram(signal[:400], SR, mode=mode).features for mode in
           ("continuous", "frames")}
    assert one["continuous"].tobytes() == one["frames"].tobytes()
    runs = [tavik.gammatonegram(signal, SR, num_threads=t).features for t in (1, 2, 3, 0)]
    assert all(run.tobytes() == runs[0].tobytes() for run in runs)


def test_a_steady_tone_stays_in_its_bands():
    t = np.arange(2 * SR) / SR
    tone = np.sin(2 * np.pi * 1000 * t)
    levels = {}
    for mode in ("continuous", "frames"):
        g = tavik.gammatonegram(tone, SR, mode=mode, transform=tavik.transforms.dB())
        after = g.features[g.times >= 0.2]
        assert g.centre_frequencies[0] == pytest.approx(50)
        levels[mode] = (after[:, 0] - after.max()).max()
    assert levels["continuous"] <= -90
    assert levels["frames"] > -45  # every frame's start is an onset


def test_failures_leave_the_stream_as_it_was():
    calls = []

    def fussy(value):
        calls.append(value)
        if len(calls) == 30:
            raise ZeroDivisionError("once")
        return value

    signal = signal_of("float64")
    stream = tavik.GammatoneStream(SR, num_features=8, transform=fussy)
    with pytest.raises(ZeroDivisionError):
        stream.push(signal)
    assert (stream.samples_pushed, stream.frames_emitted) == (0, 0)
    again = stream.push(signal)
    assert again.tobytes() == tavik.gammatonegram(signal, SR, num_features=8,
                                                  transform=fussy).features.tobytes()
    with pytest.raises(ValueError, match="a chunk of 2 channels after chunks of 1"):
        stream.push(np.zeros((10, 2)))
    with pytest.raises(IndexError, match="Channel 2 is out of range for an input of 2 channels"):
        tavik.GammatoneStream(SR, channel=2).push(np.zeros((10, 2)))
    with pytest.raises(ValueError, match="mode must be 'continuous' or 'frames', not 'framed'"):
        tavik.GammatoneStream(SR, mode="framed")


NON_FINITE = [
    # (kind, chunk holding the sample, index in the signal, its channel, channel keyword, message)
    ("float64", np.nan, 5000, 0, -1, "The signal holds a non-finite sample (nan) at sample 5000"),
    ("float32", np.inf, 401, 0, -1, "The signal holds a non-finite sample (inf) at sample 401"),
    ("stereo", -np.inf, 6500, 1, -1, "The signal holds a non-finite sample (-inf) at sample 6500 of channel 1"),
    ("stereo", np.nan, 2500, 0, 0, "The signal holds a non-finite sample (nan) at sample 2500 of channel 0"),
    ("stereo", np.nan, 2500, 1, 0, None),  # a channel that does not enter the features
]


@pytest.mark.parametrize("kind, value, at, channel, keyword, message", NON_FINITE, ids=str)
def test_a_non_finite_sample_is_refused_in_continuous_mode_and_changes_nothing(
        kind, value, at, channel, keyword, message):
    clean = signal_of(kind)
    bad = clean.copy()
    if bad.ndim == 1:
        bad[at] = value
    else:
        bad[at, channel] = value
    bad[-1] = np.nan  # a later one: only the first is named
    keywords = dict(num_samples=400, hop=160, num_features=20, channel=keyword)
    whole = tavik.gammatonegram(clean, SR, **keywords)
    if message is None:
        bad[-1] = clean[-1]
        assert tavik.gammatonegram(bad, SR, **keywords).features.tobytes() == whole.features.tobytes()
        return
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        tavik.gammatonegram(bad, SR, **keywords)
    # Frames mode keeps the per-frame result: the frames holding it are NaN.
    frames = tavik.gammatonegram(bad, SR, mode="frames", **keywords).features
    holding = (np.arange(len(frames)) * 160 <= at) & (at < np.arange(len(frames)) * 160 + 400)
    assert np.isnan(frames[holding]).all() and not np.isnan(frames[~holding]).any()

    stream = tavik.GammatoneStream(SR, **keywords)
    rows = [stream.push(clean[:401])]
    for _ in range(2):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            stream.push(bad[401:])
        assert (stream.samples_pushed, stream.frames_emitted) == (401, len(rows[0]))
    rows.append(stream.push(clean[401:]))
    assert np.concatenate(rows).tobytes() == whole.features.tobytes()
