"""Continuous mode and the stream: chunk and thread invariance against the
whole-signal gammatonegram, no onset leakage, and failures that change
nothing."""
import copy
import pickle
import re
import subprocess
import sys
import textwrap
import threading

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
CASES = [(*case, -1) for case in CASES]
# Every channel on its own: a channel axis, whatever the chunks.
CASES += [(mode, kind, sizes, framing, "each")
          for mode in ("continuous", "frames") for kind in ("stereo", "float32")
          for sizes in ([401], [97, 3, 1024]) for framing in ((400, 160), (200, 450))]


@pytest.mark.parametrize("mode, kind, sizes, framing, channel", CASES, ids=str)
def test_pushes_concatenate_to_the_whole_signal(mode, kind, sizes, framing, channel):
    signal = signal_of(kind)
    num_samples, hop = framing
    keywords = dict(num_samples=num_samples, hop=hop, num_features=20, mode=mode,
                    temporal_integration=0.003, channel=channel)
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


def state_of(stream):
    return (stream.samples_pushed, stream.frames_emitted, stream.last_times.tolist())


@pytest.mark.parametrize("channel", [-1, "each"])
@pytest.mark.parametrize("mode", ["continuous", "frames"])
def test_a_push_that_fails_in_either_mode_commits_nothing(mode, channel):
    signal = signal_of("float64" if channel == -1 else "stereo")
    calls = []
    # With channel="each", the failure comes in channel 1 of the second push,
    # after the first (2 frames of 2 channels of 8 features) and channel 0's 43 frames.
    fail_at = 50 if channel == -1 else 2 * 2 * 8 + 43 * 8 + 10

    def fussy(value):
        calls.append(value)
        if len(calls) == fail_at:
            raise ZeroDivisionError("once")
        return value

    keywords = dict(num_features=8, transform=fussy, mode=mode, hop=150, channel=channel)
    stream = tavik.GammatoneStream(SR, **keywords)
    first = stream.push(signal[:555])
    before = state_of(stream)
    with pytest.raises(ZeroDivisionError):
        stream.push(signal[555:])
    assert state_of(stream) == before
    rest = stream.push(signal[555:])
    whole = tavik.gammatonegram(signal, SR, **keywords).features
    assert np.concatenate([first, rest]).tobytes() == whole.tobytes()


@pytest.mark.parametrize("mode", ["continuous", "frames"])
def test_reset_starts_afresh_and_forgets_the_channels(mode):
    stereo = signal_of("stereo")
    stream = tavik.GammatoneStream(SR, num_features=8, mode=mode, hop=450, num_samples=200)
    stream.push(stereo[:1234])
    stream.reset()
    assert state_of(stream) == (0, 0, [])
    mono = stereo[:, 0]
    rows = [stream.push(chunk) for chunk in chunks_of(mono, [97, 3, 1024])]
    whole = tavik.gammatonegram(mono, SR, num_features=8, mode=mode, hop=450, num_samples=200)
    assert np.concatenate(rows).tobytes() == whole.features.tobytes()
    assert (stream.samples_pushed, stream.frames_emitted) == (len(mono), len(whole.features))


@pytest.mark.parametrize("mode", ["continuous", "frames"])
def test_pushes_from_two_threads_are_taken_one_after_the_other(mode):
    rng = np.random.default_rng(5)
    first, second, last = (rng.standard_normal(n) for n in (5 * SR + 37, 5 * SR + 91, 2000))
    keywords = dict(num_features=24, mode=mode)
    orders = {(0, 1): tavik.gammatonegram(np.concatenate([first, second, last]), SR, **keywords),
              (1, 0): tavik.gammatonegram(np.concatenate([second, first, last]), SR, **keywords)}
    for _ in range(3):
        stream = tavik.GammatoneStream(SR, num_threads=2, **keywords)
        barrier = threading.Barrier(2)
        rows = [None, None]

        def push(k, chunk):
            barrier.wait()
            rows[k] = stream.push(chunk)

        threads = [threading.Thread(target=push, args=(k, chunk))
                   for k, chunk in enumerate((first, second))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        tail = stream.push(last)
        matches = [order for order, whole in orders.items()
                   if np.concatenate([rows[order[0]], rows[order[1]], tail]).tobytes()
                   == whole.features.tobytes()]
        assert len(matches) == 1
        assert stream.frames_emitted == len(orders[matches[0]].features)


def test_a_push_from_inside_a_push_is_refused_and_changes_nothing():
    signal = signal_of("float64")
    inner = []

    def pushing(value):
        if not inner:
            try:
                stream.push(np.ones(10))
            except RuntimeError as error:
                inner.append(error)
                raise
        return value

    stream = tavik.GammatoneStream(SR, num_features=8, transform=pushing)
    with pytest.raises(RuntimeError, match="GammatoneStream.push was called while a push of the "
                                           "same stream runs on this thread"):
        stream.push(signal)
    assert state_of(stream) == (0, 0, [])
    rows = stream.push(signal)
    whole = tavik.gammatonegram(signal, SR, num_features=8, transform=pushing)
    assert rows.tobytes() == whole.features.tobytes()


def test_a_push_from_a_transform_on_any_thread_is_refused_not_waited_for():
    # Frames mode computes frames on several threads; a transform that pushes
    # into its own stream and swallows the refusal must not leave a helper
    # thread waiting for the running push. In a child, as a fault would hang.
    code = textwrap.dedent("""
        import numpy as np, tavik
        refused = []
        def pushing(value):
            try:
                stream.push(np.ones(10))
            except RuntimeError:
                refused.append(1)
            return value
        stream = tavik.GammatoneStream(16000, num_features=8, transform=pushing,
                                       mode="frames", num_threads=2)
        rows = stream.push(np.random.default_rng(0).standard_normal(64000))
        whole = tavik.gammatonegram(np.random.default_rng(0).standard_normal(64000), 16000,
                                    num_features=8, transform=lambda v: v, mode="frames")
        assert rows.tobytes() == whole.features.tobytes() and refused
        print("refused", len(refused))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout.startswith("refused"), out.stderr[-2000:]


def test_a_copy_or_pickle_between_pushes_goes_on_alone():
    signal = signal_of("stereo")
    stream = tavik.GammatoneStream(SR, num_features=8)
    head = stream.push(signal[:3001])
    copies = [copy.deepcopy(stream), pickle.loads(pickle.dumps(stream))]
    whole = tavik.gammatonegram(signal, SR, num_features=8).features
    # A stream pickled before it kept a state per channel held one, as _state.
    earlier = copy.deepcopy(stream)
    earlier.__dict__["_state"] = earlier.__dict__.pop("_states")[0]
    copies.append(pickle.loads(pickle.dumps(earlier)))
    for other in copies + [stream]:
        assert np.concatenate([head, other.push(signal[3001:])]).tobytes() == whole.tobytes()
NON_FINITE = [
    # (kind, chunk holding the sample, index in the signal, its channel, channel keyword, message)
    ("float64", np.nan, 5000, 0, -1, "The signal holds a non-finite sample (nan) at sample 5000"),
    ("float32", np.inf, 401, 0, -1, "The signal holds a non-finite sample (inf) at sample 401"),
    ("stereo", -np.inf, 6500, 1, -1, "The signal holds a non-finite sample (-inf) at sample 6500 of channel 1"),
    ("stereo", np.nan, 2500, 0, 0, "The signal holds a non-finite sample (nan) at sample 2500 of channel 0"),
    ("stereo", np.nan, 2500, 1, 0, None),  # a channel that does not enter the features
    ("float64", 1e200, 700, 0, -1, "The signal holds a sample too large to filter (1e+200) at sample 700"),
    ("float32", -1e20, 5000, 0, -1,
     "The signal holds a sample too large to filter (-1.0000000200408773e+20) at sample 5000"),
    # Finite channels whose mean would overflow, or hide the large one.
    ("stereo", 1.7e308, 6500, 1, -1, "The signal holds a sample too large to filter (1.7e+308) at sample 6500 of channel 1"),
    ("stereo", 2.0**64 * (1 + 2**-52), 2500, 0, -1,
     "The signal holds a sample too large to filter (1.8446744073709556e+19) at sample 2500 of channel 0"),
    ("stereo", 1e200, 2500, 1, 0, None),
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
    if not np.isfinite(value):
        assert np.isnan(frames[holding]).all()
    assert not np.isnan(frames[~holding]).any()

    stream = tavik.GammatoneStream(SR, **keywords)
    rows = [stream.push(clean[:401])]
    for _ in range(2):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            stream.push(bad[401:])
        assert (stream.samples_pushed, stream.frames_emitted) == (401, len(rows[0]))
    rows.append(stream.push(clean[401:]))
    assert np.concatenate(rows).tobytes() == whole.features.tobytes()


def test_each_channel_names_the_first_non_finite_sample_of_the_lowest_channel_holding_one():
    clean = signal_of("stereo")
    bad = clean.copy()
    bad[2500, 1], bad[6000, 0] = np.nan, np.inf
    message = "The signal holds a non-finite sample (inf) at sample 6000 of channel 0"
    stream = tavik.GammatoneStream(SR, num_features=8, channel="each")
    head = stream.push(clean[:401])
    for call in (lambda: tavik.gammatonegram(bad, SR, num_features=8, channel="each"),
                 lambda: stream.push(bad[401:])):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            call()
    assert (stream.samples_pushed, stream.frames_emitted) == (401, len(head))
    rest = stream.push(clean[401:])
    whole = tavik.gammatonegram(clean, SR, num_features=8, channel="each").features
    assert np.concatenate([head, rest]).tobytes() == whole.tobytes()
    # Frames mode: NaN only in the frames and channel holding it.
    frames = tavik.gammatonegram(bad, SR, num_features=8, channel="each", mode="frames").features
    assert np.isnan(frames[:, 1]).any(axis=1).tolist() == [
        s <= 2500 < s + 400 for s in range(0, len(frames) * 160, 160)]


def test_a_stream_of_each_channel_checks_its_chunks_and_makes_its_filterbanks():
    stream = tavik.GammatoneStream(SR, num_features=8, channel="each")
    with pytest.raises(ValueError, match="^Input signal has no channels$"):
        stream.push(np.zeros((10, 0)))
    assert stream.push(np.zeros((500, 3))).shape == (1, 3, 8)
    with pytest.raises(ValueError, match="^a chunk of 2 channels after chunks of 3$"):
        stream.push(np.zeros((10, 2)))
    stream.reset()
    assert stream.push(np.zeros(500)).shape == (1, 1, 8)  # a 1-D chunk is one channel
    assert stream.filterbank(channel=2).on_channel == 2
    with pytest.raises(TypeError, match="pass filterbank\\(channel=k\\)$"):
        stream.filterbank()


def test_samples_at_the_bound_are_filtered():
    x = signal_of("stereo")
    x[2500] = 2.0**64  # the mean of both is the bound itself
    x[4000] = -2.0**64
    for signal in (x, x[:, 0]):
        assert np.isfinite(tavik.gammatonegram(signal, SR, num_features=20).features).all()


# Bands: every sample of every filter, from the same continuous pass.

BAND_CASES = [(output, kind, sizes)
              for output in ("envelope", "analytic", "real")
              for kind in ("float64", "float32", "int16", "stereo")
              for sizes in ([401], [97, 3, 1024], [7000])]
BAND_CASES += [(output, "stereo", [1]) for output in ("envelope", "analytic")]


@pytest.mark.parametrize("output, kind, sizes", BAND_CASES, ids=str)
def test_band_pushes_concatenate_to_the_whole_signal(output, kind, sizes):
    signal = signal_of(kind)
    keywords = dict(num_features=20, output=output, low_Hz=80)
    whole = tavik.gammatone_bands(signal, SR, **keywords)
    assert whole.shape == (len(signal), 20)
    assert whole.dtype == (np.complex128 if output == "analytic" else np.float64)
    stream = tavik.GammatoneBandsStream(SR, **keywords)
    rows = [stream.push(chunk) for chunk in chunks_of(signal, sizes)]
    assert all(len(r) == len(c) for r, c in zip(rows, chunks_of(signal, sizes)))
    assert np.concatenate(rows).tobytes() == whole.tobytes()
    assert stream.samples_pushed == len(signal)


@pytest.mark.parametrize("output", ["envelope", "analytic"])
def test_bands_of_each_channel_are_those_of_that_channel_whole_and_in_chunks(output):
    stereo = signal_of("stereo")
    keywords = dict(num_features=12, output=output, num_threads=2)
    each = tavik.gammatone_bands(stereo, SR, channel="each", **keywords)
    assert each.shape == (len(stereo), 2, 12)
    for k in range(2):
        assert each[:, k].tobytes() == tavik.gammatone_bands(stereo, SR, channel=k,
                                                             **keywords).tobytes()
    stream = tavik.GammatoneBandsStream(SR, channel="each", **keywords)
    rows = [stream.push(chunk) for chunk in chunks_of(stereo, [97, 3, 1024])]
    assert np.concatenate(rows).tobytes() == each.tobytes()
    mono = tavik.gammatone_bands(stereo[:, 1], SR, channel="each", **keywords)
    assert mono.shape == (len(stereo), 1, 12) and mono[:, 0].tobytes() == each[:, 1].tobytes()


def test_bands_are_what_the_gammatonegram_integrates_and_threads_change_nothing():
    # The envelope, averaged over each frame in sample order (no temporal
    # integration: the integrator passes it through), is the gammatonegram's
    # feature bit for bit, mixdown of the channels included.
    signal = signal_of("stereo", 60000)
    bands = tavik.gammatone_bands(signal, SR, num_features=24, num_threads=1)
    g = tavik.gammatonegram(signal, SR, num_features=24, transform=None)
    starts = np.arange(len(g.features)) * g.hop
    total = np.zeros_like(g.features)
    for k in range(g.num_samples):
        total = total + bands[starts + k]
    assert ((total * 1.0) / g.num_samples).tobytes() == g.features.tobytes()
    for t in (2, 3, 0):
        assert tavik.gammatone_bands(signal, SR, num_features=24, num_threads=t).tobytes() \
            == bands.tobytes()
    z = tavik.gammatone_bands(signal, SR, num_features=24, output="analytic")
    assert z.real.tobytes() == tavik.gammatone_bands(signal, SR, num_features=24,
                                                     output="real").tobytes()
    # The magnitude is the envelope's but for the recursive phasor's drift
    # from unit magnitude, a few 1e-12 after 60000 samples.
    assert np.allclose(np.abs(z), bands, rtol=1e-10, atol=0)


@pytest.mark.parametrize("kind, value, at, channel, keyword, message", NON_FINITE, ids=str)
def test_a_non_finite_sample_is_refused_by_the_bands_and_changes_nothing(
        kind, value, at, channel, keyword, message):
    clean = signal_of(kind)
    bad = clean.copy()
    if bad.ndim == 1:
        bad[at] = value
    else:
        bad[at, channel] = value
    keywords = dict(num_features=8, channel=keyword)
    whole = tavik.gammatone_bands(clean, SR, **keywords)
    if message is None:
        assert tavik.gammatone_bands(bad, SR, **keywords).tobytes() == whole.tobytes()
        return
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        tavik.gammatone_bands(bad, SR, **keywords)
    stream = tavik.GammatoneBandsStream(SR, **keywords)
    rows = [stream.push(clean[:401])]
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        stream.push(bad[401:])
    assert stream.samples_pushed == 401
    rows.append(stream.push(clean[401:]))
    assert np.concatenate(rows).tobytes() == whole.tobytes()


def test_a_band_stream_refuses_what_it_cannot_take_and_stays_as_it_was():
    with pytest.raises(ValueError, match="^output must be 'envelope', 'analytic' or 'real', "
                                         "not 'phase'$"):
        tavik.GammatoneBandsStream(SR, output="phase")
    with pytest.raises(TypeError, match="^output must be a string, not int 3$"):
        tavik.gammatone_bands(np.ones(10), SR, output=3)
    with pytest.raises(ValueError, match="^num_features must be at least 2, not 1$"):
        tavik.GammatoneBandsStream(SR, num_features=1)
    stereo = signal_of("stereo")
    stream = tavik.GammatoneBandsStream(SR, num_features=8, output="analytic")
    head = stream.push(stereo[:3001])
    with pytest.raises(ValueError, match="a chunk of 1 channels after chunks of 2"):
        stream.push(stereo[3001:, 0])
    with pytest.raises(IndexError, match="Channel 2 is out of range for an input of 2 channels"):
        tavik.GammatoneBandsStream(SR, channel=2).push(stereo)
    whole = tavik.gammatone_bands(stereo, SR, num_features=8, output="analytic")
    copies = [copy.deepcopy(stream), pickle.loads(pickle.dumps(stream))]
    for other in copies + [stream]:
        assert np.concatenate([head, other.push(stereo[3001:])]).tobytes() == whole.tobytes()
    stream.reset()
    mono = stereo[:, 1]
    assert stream.push(mono).tobytes() == tavik.gammatone_bands(
        mono, SR, num_features=8, output="analytic").tobytes()


def test_a_band_push_stops_on_a_signal_and_refuses_one_from_its_handler():
    # A handler that pushes into the stream while its push runs is refused;
    # one that raises stops the push, which leaves the stream as it was. A
    # signal that comes outside the push is let pass, and the push tried again.
    code = textwrap.dedent("""
        import os, signal, threading, time, numpy as np, tavik
        x = np.random.default_rng(0).standard_normal(2_000_000)
        in_push, refused = False, []
        def pushing(signum, frame):
            if in_push:
                try:
                    stream.push(np.ones(10))
                except RuntimeError as error:
                    refused.append(str(error))
        def stopping(signum, frame):
            if in_push:
                raise KeyboardInterrupt
        for handler in (pushing, stopping):
            signal.signal(signal.SIGUSR1, handler)
            for attempt in range(20):
                stream = tavik.GammatoneBandsStream(16000, num_features=8)
                stream.push(x[:1000])
                timer = threading.Timer(0.01, os.kill, (os.getpid(), signal.SIGUSR1))
                timer.start()
                in_push, stopped = True, False
                try:
                    stream.push(x)
                except KeyboardInterrupt:
                    stopped = True
                in_push = False
                timer.join()
                time.sleep(0.01)
                if stopped or refused:
                    break
            print(handler.__name__, stopped, stream.samples_pushed, refused[:1])
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    message = ("GammatoneBandsStream.push was called while a push of the same stream runs on "
               "this thread (from a signal handler): a stream takes one push at a time, and the "
               "running push is left as it was")
    assert out.stdout.splitlines() == [f"pushing False 2001000 [{message!r}]",
                                       f"stopping True 1000 [{message!r}]"]


def test_frames_mode_builds_no_continuous_state():
    # 2**24 samples a frame and a hop of 1 would make a continuous state of
    # 8.6 GB; frames mode checks the channel without one.
    with pytest.raises(ValueError, match="shorter than one frame"):
        tavik.gammatonegram(np.zeros((10, 2)), 16000, num_samples=2**24, hop=1, mode="frames")
    stream = tavik.GammatoneStream(16000, num_samples=2**24, hop=1, mode="frames")
    assert stream.push(np.zeros((100, 2))).shape == (0, 64)
