"""The tavik package: re-exports, and gammatonegram against the per-frame calls."""
import dataclasses
import pickle
import tracemalloc
from importlib import metadata

import numpy as np
import pytest

import _tavik
import tavik
from _tavik.extractor import GammatoneFilterbank
from tavik._analysis import Analysis, parameters_of

SR = 16000


def test_package_exports_the_module_itself():
    assert tavik.Extractor is _tavik.extractor.Extractor
    assert tavik.GammatoneFilterbank is _tavik.extractor.GammatoneFilterbank
    assert tavik.__version__ == _tavik.__version__ == metadata.version("tavik") == "0.0.7"


def test_help_shows_no_pybind11_internals():
    """pydoc (help(tavik), `pydoc tavik`) names no record of pybind11's: the
    native classes' base and metaclass, pybind11_builtins.pybind11_object and
    pybind11_type, are pybind11's own, shared by every pybind11 module."""
    import pydoc
    import re

    text = pydoc.render_doc(tavik, renderer=pydoc.plaintext)
    assert "kernel_choice()" in text and "Extractor" in text
    shared = r"pybind11_builtins(\.html#|\.)pybind11_(object|type)\b"
    for rendered in (text, pydoc.HTMLDoc().docmodule(tavik)):
        assert "pybind11" not in re.sub(shared, "", rendered)
    assert tavik.kernel_choice() == _tavik.kernel_choice()
    assert tavik.kernel_choice.__doc__.startswith("The lock-step kernel variant")


def signal_of(layout, dtype, n=5000):
    rng = np.random.default_rng(7)
    x = rng.uniform(-0.9, 0.9, size=(n, 3))
    x[1000:1700] = 0.0  # digital silence: -inf features, kept as computed
    if layout == "mono":
        x = x[:, 0]
    elif layout == "one column":
        x = x[:, :1]
    elif layout == "strided mono":
        x = x[:, 1]
    if dtype in ("int16", "int32"):
        full = 2 ** (15 if dtype == "int16" else 31)
        return np.round(x * full).astype(dtype), np.round(x * full) / full
    if dtype == "list":
        return x.tolist(), x
    cast = x.astype(dtype)
    return cast, cast.astype(np.float64)


LAYOUTS = ["mono", "strided mono", "one column", "stereo"]
DTYPES = ["float64", "float32", "int16", "int32", "list"]


@pytest.mark.parametrize("channel", [-1, 2])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_rows_are_the_per_frame_calls(layout, dtype, channel):
    signal, as_float64 = signal_of(layout, dtype)
    num_samples, hop = 400, 157
    g = tavik.gammatonegram(signal, SR, mode="frames", num_samples=num_samples, hop=hop,
                            num_features=24,
                            low_Hz=80, high_Hz=7000, temporal_integration=0.002,
                            channel=channel if layout == "stereo" else -1)
    fb = GammatoneFilterbank(num_samples=num_samples, num_features=24, sample_rate=SR,
                             low_Hz=80, high_Hz=7000, temporal_integration=0.002,
                             on_channel=g.channel, transform=tavik.transforms.log10(floor=1e-10))
    starts = range(0, len(as_float64) - num_samples + 1, hop)
    if as_float64.ndim == 1:
        expected = [fb(list(as_float64[s:s + num_samples])) for s in starts]
    elif layout == "one column":
        expected = [fb(list(as_float64[s:s + num_samples, 0])) for s in starts]
    else:
        expected = [fb(np.asfortranarray(as_float64[s:s + num_samples].T)) for s in starts]
    assert g.features.tobytes() == np.array(expected).tobytes()
    assert (g.features == -10.0).any()  # digital silence at the -200 dB floor
    assert g.times.tolist() == [s / SR for s in starts]
    assert g.centre_frequencies.tolist() == [f.cf for f in fb.filters]


@pytest.mark.parametrize("length, frames", [(400, 1), (559, 1), (560, 2), (16000, 98)])
def test_default_framing_is_25_ms_every_10_ms(length, frames):
    g = tavik.gammatonegram(np.zeros(length) + 0.1, SR)
    assert (g.num_samples, g.hop, g.features.shape) == (400, 160, (frames, 64))
    assert (g.low_Hz, g.high_Hz, g.temporal_integration, g.channel) == (50, 7200, 0, -1)


def test_signal_shorter_than_a_frame_names_both_lengths():
    with pytest.raises(ValueError, match=r"\(399 samples\) is shorter than one frame \(400 samples\)"):
        tavik.gammatonegram(np.zeros(399), SR)


@pytest.mark.parametrize(
    "signal, given",
    [
        (np.zeros(1000, dtype=complex), "a 1-D complex128 array"),
        (np.zeros(1000, dtype=object), "a 1-D object array"),
        (np.zeros(1000, dtype=bool), "a 1-D bool array"),
        (np.zeros(1000, dtype=np.int64), "a 1-D int64 array"),
        (np.zeros((1000, 2, 2)), r"a 3-D float64 array of shape \(1000, 2, 2\)"),
        (np.float64(1.0), r"a float64 of shape \(\)"),
        ([True, False] * 500, "a list of bool items"),
        ("abc", r"a str of shape \(\)"),
    ],
)
def test_other_signals_are_type_errors_naming_both(signal, given):
    with pytest.raises(TypeError, match=f"float64, float32, float16, int32, int16, int8 or uint8 "
                                        f".*; got {given}"):
        tavik.gammatonegram(signal, SR)


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_float_signals_are_not_copied_to_float64(dtype):
    signal = np.full((1_000_000, 2), 0.25, dtype=dtype)
    tracemalloc.start()
    try:
        tavik.gammatonegram(signal, SR, hop=20_000, num_features=8)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < signal.nbytes / 4


def test_record_is_frozen_and_read_only_and_rebuilds_its_filterbank():
    g = tavik.gammatonegram(np.ones(800) * 0.5, 8000, num_features=8, high_Hz=3000)
    with pytest.raises(dataclasses.FrozenInstanceError):
        g.hop = 1  # type: ignore[misc]
    with pytest.raises(ValueError, match="read-only"):
        g.features[0, 0] = 0.0
    assert g.filterbank().batch(np.ones((1, 200)) * 0.5).tobytes() == g.features[:1].tobytes()
    assert tavik.LOG10 == tavik.transforms.log10(floor=1e-10) == pickle.loads(pickle.dumps(tavik.LOG10))


def test_transform_is_passed_on():
    g = tavik.gammatonegram(np.ones(800) * 0.5, 8000, num_features=4, high_Hz=3000,
                            transform=abs)
    fb = GammatoneFilterbank(num_samples=200, num_features=4, sample_rate=8000, high_Hz=3000,
                             transform=abs)
    assert g.features[0].tolist() == fb(np.ones(200) * 0.5) and g.transform is abs
    # None: the raw features, as documented (not a filterbank without a transform).
    raw = tavik.gammatonegram(np.ones(800), 8000, high_Hz=3000, transform=None)
    identity = tavik.gammatonegram(np.ones(800), 8000, high_Hz=3000,
                                   transform=tavik.transforms.identity())
    assert raw.transform is None and (raw.features == identity.features).all()


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"num_samples": 0}, ValueError, "num_samples must be positive, not 0"),
        ({"hop": 2.5}, TypeError, "hop must be an integer, not float"),
        ({"channel": 3}, IndexError, "Channel 3 is out of range for an input of 2 channels"),
        ({"low_Hz": 9000}, ValueError, "Invalid frequency range"),
    ],
)
def test_bad_parameters(kwargs, error, message):
    with pytest.raises(error, match=message):
        tavik.gammatonegram(np.zeros((1000, 2)), SR, **kwargs)


BAD_KEYWORDS = [
    ({"num_features": 0}, ValueError, "num_features must be at least 2, not 0"),
    ({"num_features": 1}, ValueError, "num_features must be at least 2, not 1"),
    ({"num_features": -1}, ValueError, "num_features must be at least 2, not -1"),
    ({"num_features": 32.0}, TypeError, "num_features must be an integer, not float 32.0"),
    ({"num_features": True}, TypeError, "num_features must be an integer, not bool True"),
    ({"transform": "log"}, TypeError, "transform must be a callable from float to float "
                                      r"\(such as tavik.transforms.log10\(\)\) or None, not str 'log'"),
    ({"num_threads": -1}, ValueError, "num_threads must be at least 0, not -1"),
    ({"num_threads": 1.5}, TypeError, "num_threads must be an integer, not float 1.5"),
    ({"num_threads": 2**31}, ValueError, "num_threads must be at most 2147483647, not 2147483648"),
    ({"hop": 2**64}, ValueError, "hop must be at most 18446744073709551615, not 18446744073709551616"),
    ({"num_features": 2**64}, ValueError, "num_features must be at most 18446744073709551615"),
    ({"low_Hz": "50"}, TypeError, "low_Hz must be a real number, not str '50'"),
    ({"high_Hz": 1j}, TypeError, "high_Hz must be a real number, not complex 1j"),
    ({"temporal_integration": [0.1]}, TypeError, "temporal_integration must be a real number, not list"),
    ({"channel": 0.0}, TypeError, "channel must be an integer or 'each', not float 0.0"),
    ({"channel": "all"}, ValueError, "channel must be an integer or 'each', not 'all'"),
    ({"channel": 2**31}, ValueError, "channel must be at most 2147483647, not 2147483648"),
    ({"mode": 1}, TypeError, "mode must be 'continuous' or 'frames', not int 1"),
    ({"sample_rate": 2**31}, ValueError, "sample_rate must be at most 2147483647, not 2147483648"),
    ({"sample_rate": "16000"}, TypeError, "sample_rate must be an integer, not str '16000'"),
]


@pytest.mark.parametrize("kwargs, error, message", BAD_KEYWORDS + [
    # What only the filters' design tells: the filterbank's own errors, at once.
    ({"low_Hz": 5000, "high_Hz": 100}, ValueError, "Invalid frequency range"),
    ({"temporal_integration": -1.0}, ValueError, "Invalid temporal integration"),
], ids=str)
@pytest.mark.parametrize("make", ["gammatonegram", "GammatoneStream", "Analysis"])
def test_every_parameter_is_checked_before_any_work_naming_it(make, kwargs, error, message):
    """The signal is not even read: an unreadable one does not mask the error."""
    keywords = {"sample_rate": SR, **kwargs}
    with pytest.raises(error, match=f"^{message}") as raised:
        if make == "gammatonegram":
            tavik.gammatonegram(object(), **keywords)
        elif make == "GammatoneStream":
            tavik.GammatoneStream(**keywords)
        else:
            Analysis(**keywords)
    with pytest.raises(error) as by_analysis:
        Analysis(**keywords)
    assert str(raised.value) == str(by_analysis.value)


@pytest.mark.parametrize("sample_rate, keywords", [
    (16000, {}), (44100, {"mode": "frames"}), (8000.0, {"hop": 7, "channel": 1}),
    (22050, {"num_samples": 300, "high_Hz": 9000.0, "transform": None, "num_features": 5})])
def test_an_analysis_resolves_the_keywords_as_gammatonegram_and_the_stream_do(sample_rate,
                                                                               keywords):
    a = Analysis(sample_rate, **{"num_features": 8, **keywords})
    signal = np.random.default_rng(3).uniform(-1, 1, (int(sample_rate) // 10, 2))
    g = tavik.gammatonegram(signal, sample_rate, **{"num_features": 8, **keywords})
    assert parameters_of(g) == parameters_of(a) and a.num_threads == 0
    assert g.times.tobytes() == a.times(0, len(g.times)).tobytes()
    assert len(g.times) == a.frame_count(len(signal))
    stream = tavik.GammatoneStream(sample_rate, **{"num_features": 8, **keywords})
    assert {name: getattr(stream, name) for name in parameters_of(a)} == parameters_of(a)
    assert stream.push(signal).tobytes() == g.features.tobytes()
    assert stream.last_times.tobytes() == g.times.tobytes()


def test_an_analysis_is_frozen_and_builds_its_filterbank_once():
    a = Analysis(SR, num_features=8)
    assert (a.num_samples, a.hop, a.high_Hz, a.low_Hz, a.transform, a.mode, a.channel) == (
        400, 160, 7200.0, 50, tavik.LOG10, "continuous", -1)
    with pytest.raises(dataclasses.FrozenInstanceError):
        a.hop = 1  # type: ignore[misc]
    assert a == Analysis(SR, num_features=8, hop=160) and hash(a) == hash(Analysis(SR, num_features=8))
    fb = a.filterbank()
    assert a.filterbank() is fb and tavik.GammatoneStream._of(a)._filterbank is fb
    on_two = a.with_threads(2)
    assert on_two.num_threads == 2 and on_two.filterbank() is fb and a.num_threads == 0
    with pytest.raises(ValueError, match="^num_threads must be at least 0, not -1$"):
        a.with_threads(-1)
    # A copy by pickle (a worker's) builds its own, once.
    copy = pickle.loads(pickle.dumps(a))
    assert copy.with_threads(1).filterbank() is copy.filterbank() is not fb and copy == a
    assert repr(copy.filterbank()) == repr(fb)


@pytest.mark.parametrize("sample_rate, high_Hz", [(8000, 3600.0), (16000, 7200.0),
                                                  (17778, 8000.0), (44100, 8000.0)])
def test_default_high_frequency_stays_below_nyquist(sample_rate, high_Hz):
    g = tavik.gammatonegram(np.full(4000, 0.1), sample_rate, num_features=8)
    assert g.high_Hz == tavik._signal.default_high_Hz(sample_rate) == high_Hz
    assert g.centre_frequencies[-1] < sample_rate / 2


def test_silence_is_finite_by_default_and_minus_infinity_on_request():
    silence = np.zeros(1600)
    assert (tavik.gammatonegram(silence, SR).features == -10.0).all()
    exact = tavik.gammatonegram(silence, SR, transform=tavik.transforms.log10())
    assert np.isneginf(exact.features).all()
    assert tavik.LOG10(0.0) == -10.0 and np.isnan(tavik.LOG10(-1.0))


@pytest.mark.parametrize("signal", [np.zeros(1000), [0.0] * 1000])
def test_a_channel_that_a_mono_signal_lacks_is_the_same_index_error(signal):
    message = "Channel 7 is out of range for an input of 1 channels"
    with pytest.raises(IndexError, match=message):
        tavik.gammatonegram(signal, SR, channel=7)
    with pytest.raises(IndexError, match=message):
        tavik.gammatonegram(np.zeros((1000, 1)), SR, channel=7)


@pytest.mark.parametrize(
    "signal, as_float64",
    [
        (np.array([0, 64, 128, 255], dtype=np.uint8), [-1.0, -0.5, 0.0, 127 / 128]),
        (np.array([-128, -64, 0, 127], dtype=np.int8), [-1.0, -0.5, 0.0, 127 / 128]),
        (np.array([0.1, -0.3, 65504, 2**-24], dtype=np.float16),
         np.array([0.1, -0.3, 65504, 2**-24], dtype=np.float16).astype(np.float64).tolist()),
        (np.array([0.25, -0.5, 0.1, 1e-3], dtype=">f8"), [0.25, -0.5, 0.1, 1e-3]),
        (np.array([16384, -32768, 1, 0], dtype=">i2"), [0.5, -1.0, 1 / 32768, 0.0]),
    ],
)
def test_8_bit_16_bit_float_and_big_endian_samples(signal, as_float64):
    long_signal, expected = np.tile(signal, 200), np.tile(as_float64, 200)
    for rate in (SR, float(SR), np.float32(SR)):
        g = tavik.gammatonegram(long_signal, rate, num_features=8)
        assert g.sample_rate == SR
        assert g.features.tobytes() == tavik.gammatonegram(expected, SR, num_features=8).features.tobytes()


def test_channels_first_arrays_are_pointed_to_the_transpose():
    with pytest.raises(ValueError, match=r"looks like \(channels, samples\): pass it as x.T"):
        tavik.gammatonegram(np.zeros((2, 16000)), SR)
    with pytest.raises(TypeError, match="sample_rate must be an integer, not float"):
        tavik.gammatonegram(np.zeros(16000), 16000.5)


def test_repr_is_one_line_and_every_copy_is_read_only():
    import copy

    g = tavik.gammatonegram(np.full(16000, 0.1), SR)
    text = repr(g)
    assert "\n" not in text and len(text) < 400 and "features=<98x64 float64>" in text
    for other in (copy.copy(g), copy.deepcopy(g), pickle.loads(pickle.dumps(g))):
        assert other.features.tobytes() == g.features.tobytes()
        for array in (other.features, other.centre_frequencies, other.times):
            with pytest.raises(ValueError, match="read-only"):
                array[0] = 0.0


@pytest.mark.parametrize("mode", ["continuous", "frames"])
@pytest.mark.parametrize("layout, dtype", [("stereo", "float64"), ("stereo", "float32"),
                                           ("stereo", "int16"), ("one column", "float64"),
                                           ("mono", "float32"), ("strided mono", "float64")])
def test_each_channel_is_bit_for_bit_what_its_channel_gives(layout, dtype, mode):
    signal, _ = signal_of(layout, dtype)
    keywords = dict(num_samples=400, hop=157, num_features=12, temporal_integration=0.002,
                    mode=mode)
    each = tavik.gammatonegram(signal, SR, channel="each", **keywords)
    channels = 1 if np.ndim(signal) == 1 else np.shape(signal)[1]
    alone = [tavik.gammatonegram(signal, SR, channel=k, **keywords) for k in range(channels)]
    assert each.features.shape == (len(alone[0].times), channels, 12) and each.channel == "each"
    for k, g in enumerate(alone):
        assert each.features[:, k].tobytes() == g.features.tobytes()
        assert repr(each.filterbank(channel=k)) == repr(g.filterbank())
    assert each.times.tobytes() == alone[0].times.tobytes()
    threaded = tavik.gammatonegram(signal, SR, channel="each", num_threads=3, **keywords)
    assert threaded.features.tobytes() == each.features.tobytes()
    assert "features=<" in repr(each) and f"x{channels}x12 float64>" in repr(each)


def test_a_gammatonegram_of_each_channel_is_checked_copied_and_asks_for_a_channel():
    g = tavik.gammatonegram(np.random.default_rng(2).uniform(-1, 1, (1200, 2)), SR,
                            channel="each", num_features=4)
    with pytest.raises(TypeError, match=r"^a gammatonegram of channel='each' has a filterbank "
                                        r"per channel: pass filterbank\(channel=k\)$"):
        g.filterbank()
    with pytest.raises(TypeError, match="^channel must be an integer, not str"):
        g.filterbank(channel="each")
    fields = {f.name: getattr(g, f.name) for f in dataclasses.fields(g)}
    for features, error, message in [
            (g.features[:, 0], TypeError, "features must be a 3-D float64 or float32 array, "
                                          "not a 2-D float64 array"),
            (g.features[:, :0], ValueError, "features of channel='each' must have at least one "
                                            "channel"),
            (g.features[:, :, :3], ValueError, "features of 3 columns")]:
        with pytest.raises(error, match=f"^{message}"):
            tavik.Gammatonegram(**{**fields, "features": features})
    with pytest.raises(TypeError, match="features must be a 2-D"):
        tavik.Gammatonegram(**{**fields, "channel": 0})
    for other in (pickle.loads(pickle.dumps(g)), dataclasses.replace(g)):
        assert other.features.tobytes() == g.features.tobytes() and other.channel == "each"
        assert not other.features.flags.writeable
    # An analysis copied to a worker builds the filterbank of each channel again.
    a = pickle.loads(pickle.dumps(Analysis(SR, channel="each", num_features=4)))
    assert [fb.on_channel for fb in a.with_threads(1).filterbanks(3)] == [0, 1, 2]
