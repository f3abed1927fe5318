"""Properties of the features that hold for every frame, checked bit for bit."""
import numpy as np
import pytest
from hypothesis import given, strategies as st

from _tavik.extractor import Extractor, GammatoneFilterbank

N = 96

def design(**kw):
    return dict(num_samples=N, num_features=6, sample_rate=16000, low_Hz=80, high_Hz=6000, **kw)


# Raw features: a Python identity keeps the transform out of the way.
RAW_DESIGNS = [design(transform=lambda v: v, temporal_integration=ti) for ti in (0, 0.002)]
RAW = [GammatoneFilterbank(**kw) for kw in RAW_DESIGNS]
LOGGED_DESIGN = design()
LOGGED = GammatoneFilterbank(**LOGGED_DESIGN)
EVERY = list(zip(RAW_DESIGNS + [LOGGED_DESIGN], RAW + [LOGGED]))


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def frames(elements, size=N):
    return st.lists(elements, min_size=size, max_size=size)


any_float = st.floats(allow_nan=True, allow_infinity=True)
# Samples whose doubles and whose every filter state stay normal numbers.
normal_sample = st.floats(min_value=1e-3, max_value=1e3).flatmap(lambda v: st.sampled_from([v, -v]))
finite_sample = st.floats(min_value=-1e100, max_value=1e100, allow_subnormal=True)


def misaligned(a):
    """The same values at an odd byte offset into a buffer, same layout."""
    order = "F" if a.flags.f_contiguous and not a.flags.c_contiguous else "C"
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    copy = np.ndarray(a.shape, dtype=np.float64, buffer=raw, offset=1, order=order)
    copy[...] = a
    assert not copy.flags.aligned
    return copy


def every_input_path(kw, fb, frame):
    """Features of one frame through every way a frame can be passed in."""
    x = np.array(frame, dtype=np.float64)
    spread = np.zeros(3 * N)
    spread[1::3] = x
    interleaved = np.stack([np.full(N, 7.0), x], axis=1).reshape(-1)  # channel 1 of 2, interleaved
    channel_one = GammatoneFilterbank(on_channel=1, **kw)
    yield "list", fb(list(frame))
    yield "tuple", fb(tuple(frame))
    yield "array", fb(x)
    yield "strided array", fb(spread[1::3])
    yield "reversed array", fb(x[::-1].copy()[::-1])
    yield "(1, N) matrix", fb(x.reshape(1, N))
    yield "interleaved matrix", channel_one(interleaved.reshape(N, 2).T)
    yield "misaligned array", fb(misaligned(x))
    yield "misaligned matrix", channel_one(misaligned(np.asfortranarray(np.stack([np.ones(N), x]))))
    yield "misaligned batch", fb.batch(misaligned(np.stack([x, x])))[1]
    yield "batch row", fb.batch(np.stack([np.zeros(N), x, x])[1:2])[0]
    yield "batch window", fb.batch(np.lib.stride_tricks.sliding_window_view(np.concatenate([x, x]), N)[::N])[0]


@given(frames(any_float))
def test_same_bits_on_every_path_and_every_call(frame):
    for kw, fb in EVERY:
        expected = bits(fb(list(frame)))
        assert (bits(fb(list(frame))) == expected).all(), "second call differs"
        for path, features in every_input_path(kw, fb, frame):
            assert (bits(features) == expected).all(), path


@given(frames(st.floats(allow_nan=False)))
def test_negating_a_frame_changes_no_bit(frame):
    for fb in RAW + [LOGGED]:
        assert (bits(fb([-v for v in frame])) == bits(fb(frame))).all()


@given(frames(any_float), st.integers(0, N - 1))
def test_one_nan_makes_every_feature_nan_whatever_its_sign(frame, where):
    # Negating a NaN flips its sign bit, which the features carry along: the
    # one bit that negation may change.
    for sign in (1.0, -1.0):
        frame[where] = sign * float("nan")
        for fb in RAW + [LOGGED]:
            assert np.isnan(fb(frame)).all()


@given(frames(normal_sample))
def test_doubling_a_frame_doubles_every_raw_feature_exactly(frame):
    for fb in RAW:
        assert (bits(fb([2 * v for v in frame])) == bits([2 * f for f in fb(frame)])).all()


@given(frames(finite_sample))
def test_features_of_finite_frames_are_finite_and_not_negative(frame):
    for fb in RAW:
        features = np.array(fb(frame))
        assert np.isfinite(features).all() and (features >= 0).all()


# The column mean is a sum in row order and one division. Exactly the channel
# whenever the sums are exact: for any samples with one channel, samples whose
# double does not overflow (below 2**1023 in magnitude, or not finite) with
# two, and for samples with few significant bits with up to eight.
doubling_float = any_float.filter(lambda v: not np.isfinite(v) or abs(v) < 2.0**1023)


@given(frames(doubling_float), st.sampled_from([1, 2]))
def test_mean_of_identical_channels_is_the_channel(frame, channels):
    x = np.array(frame)
    for fb in RAW + [LOGGED]:
        assert (bits(fb(np.tile(x, (channels, 1)).T.copy().T)) == bits(fb(frame))).all()


@given(frames(st.integers(-(2**20), 2**20).map(lambda k: k / 1024)), st.integers(1, 8))
def test_mean_of_identical_short_channels_is_the_channel(frame, channels):
    x = np.array(frame)
    stacked = np.asfortranarray(np.tile(x, (channels, 1)))
    assert (bits(RAW[1](stacked)) == bits(RAW[1](frame))).all()


@pytest.mark.parametrize("channels", [3, 5, 7])
def test_mixdown_of_more_channels_sums_in_row_order(channels):
    # With three or more channels the running sum rounds, so the mixdown of
    # identical channels can be an ulp or two off the channel; it is exactly
    # the row-order sum divided once, whatever Eigen would do.
    x = np.random.default_rng(channels).standard_normal(N) * 1e3
    s = x.copy()
    for _ in range(channels - 1):
        s = s + x
    stacked = np.asfortranarray(np.tile(x, (channels, 1)))
    assert (bits(RAW[0](stacked)) == bits(RAW[0](list(s / channels)))).all()


@given(frames(any_float, size=5), st.integers(1, 4))
def test_python_extractor_sees_the_same_frame_on_every_path(frame, channels):
    class Echo(Extractor):
        def compute(self, input, features):
            features[:] = input

    x = np.array(frame)
    expected = bits(frame)
    echo = Echo(num_samples=5, num_features=5, transform=lambda v: v)
    for passed in (list(frame), tuple(frame), x, np.repeat(x, 2)[::2], x.reshape(1, 5)):
        assert (bits(echo(passed)) == expected).all()
    assert (bits(echo.batch(np.tile(x, (channels, 1)))) == np.tile(expected, (channels, 1))).all()
