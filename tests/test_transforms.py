"""Native transforms: their bits, floors on silence, pickling, and what an
extractor shows of itself (repr, read-back, the frequency-range warning)."""
import copy
import ctypes
import ctypes.util
import math
import pickle
import re
import warnings

import numpy as np
import pytest

import _tavik
from _tavik import transforms
from _tavik.extractor import Extractor, FrequencyRangeWarning, GammatoneFilterbank

NATIVE = [transforms.identity(), transforms.log10(), transforms.log10(floor=1e-10),
          transforms.dB(floor_dB=-100), transforms.dB(), transforms.power(1 / 3)]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def same(a, b):
    return bits([a]) == bits([b]) or (math.isnan(a) and math.isnan(b))


@pytest.fixture(scope="module")
def frames():
    rng = np.random.default_rng(5)
    out = rng.standard_normal((6, 1024))
    out[1] = 0.0  # digital silence: every raw feature is 0
    out[2, :512] = 0.0
    return out


@pytest.fixture(scope="module")
def raw(frames):
    return GammatoneFilterbank(num_features=32, transform=lambda x: x).batch(frames)


# The C library's log10, which the filterbank's default called directly before
# it was the native log10 transform: log10(floor=0.0) gives its bits.
libm_log10 = ctypes.CDLL(ctypes.util.find_library("m")).log10
libm_log10.argtypes, libm_log10.restype = [ctypes.c_double], ctypes.c_double


def test_log10_is_the_default_and_the_plain_log10_bit_for_bit(frames, raw):
    default, native = GammatoneFilterbank(num_features=32), GammatoneFilterbank(num_features=32, transform=transforms.log10())
    expected = bits([[libm_log10(x) for x in row] for row in raw.tolist()])
    assert bits(native.batch(frames, num_threads=2)) == bits(default.batch(frames)) == expected
    edges = [0.0, -0.0, -1.0, 5e-324, 1e-300, 1.0, 10.0, 1e308, math.inf, -math.inf, math.nan]
    assert bits([transforms.log10()(x) for x in edges]) == bits([libm_log10(x) for x in edges])
    assert native.__getstate__()[3] == default.__getstate__()[3] == transforms.log10()
    assert np.isneginf(default(frames[1])).all()  # the default keeps no floor


@pytest.mark.parametrize("transform, reference", [
    (transforms.log10(floor=1e-10), lambda x: math.log10(max(x, 1e-10))),
    (transforms.dB(floor_dB=-100), lambda x: max(20.0 * math.log10(x), -100.0) if x > 0 else -100.0),
    (transforms.power(1 / 3), lambda x: x ** (1 / 3)),
    (transforms.identity(), lambda x: x),
], ids=repr)
def test_features_and_floors_on_silence(transform, reference, frames, raw):
    fb = GammatoneFilterbank(num_features=32, transform=transform)
    expected = [[reference(x) for x in row] for row in raw.tolist()]
    assert bits([fb(f) for f in frames]) == bits(expected)
    assert bits(fb.batch(frames, num_threads=3)) == bits(expected)
    assert np.isfinite(fb.batch(frames)).all()


@pytest.mark.parametrize("transform, x, expected", [
    (transforms.log10(floor=0.01), -1.0, math.nan),  # outside the domain: NaN, never the floor
    (transforms.log10(), -1.0, math.nan),
    (transforms.log10(floor=0.01), -0.0, -2.0),
    (transforms.log10(floor=0.01), math.nan, math.nan),
    (transforms.dB(floor_dB=-100), -1.0, math.nan),
    (transforms.dB(floor_dB=-100), math.inf, math.inf),
    (transforms.dB(), 0.0, -math.inf),
    (transforms.power(-2.0), 0.0, math.inf),
], ids=str)
def test_edges(transform, x, expected):
    assert same(transform(x), expected)
    # The extractor applies exactly what the object computes.
    class Constant(Extractor):
        def compute(self, input, features):
            features[0] = x

    assert same(Constant(num_samples=1, num_features=1, transform=transform)([0.0])[0], expected)


@pytest.mark.parametrize("make, message", [
    (lambda: transforms.log10(floor=math.nan), "^floor must not be NaN$"),
    (lambda: transforms.dB(floor_dB=math.nan), "^floor_dB must not be NaN$"),
    (lambda: transforms.power(math.nan), "^exponent must not be NaN$"),
])
def test_nan_parameters_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_classes_are_final_and_not_interchangeable():
    for cls in (transforms.identity, transforms.log10, transforms.dB, transforms.power):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    t = transforms.identity()
    for other in (transforms.power, GammatoneFilterbank.Filter, Extractor):
        with pytest.raises(TypeError, match="__class__ assignment"):
            t.__class__ = other
    assert t(2.5) == 2.5


@pytest.mark.parametrize("transform", NATIVE, ids=repr)
def test_value_semantics_and_pickling(transform):
    assert eval(repr(transform), {**vars(transforms), "inf": math.inf}) == transform
    for other in [pickle.loads(pickle.dumps(transform, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + \
            [copy.copy(transform), copy.deepcopy(transform)]:
        assert type(other) is type(transform) and other == transform and hash(other) == hash(transform)
    assert transform != transforms.power(2.0) and transform != math.log10
    assert transforms.log10(0.0) == transforms.log10(-0.0)
    assert hash(transforms.log10(0.0)) == hash(transforms.log10(-0.0))


@pytest.mark.parametrize("transform", NATIVE, ids=repr)
@pytest.mark.parametrize("cls", [GammatoneFilterbank, Extractor])
def test_extractors_store_read_back_and_pickle_them_natively(cls, transform, frames):
    e = cls(num_features=8, transform=transform)
    # An equal new instance of the transform's own class: stored as the
    # native function object, not as a Python callable.
    assert type(e.transform) is type(transform) and e.transform == transform
    back = pickle.loads(pickle.dumps(e))
    assert back.transform == transform
    if cls is GammatoneFilterbank:
        assert bits(back.batch(frames)) == bits(e.batch(frames))


def test_defaults_read_as_names():
    assert GammatoneFilterbank().transform == transforms.log10()
    assert Extractor().transform == transforms.identity()


class Tagged(GammatoneFilterbank):
    pass


@pytest.mark.parametrize("e, text", [
    (GammatoneFilterbank(),
     "GammatoneFilterbank(num_samples=1024, num_features=64, sample_rate=44100, transform=log10(floor=0.0), "
     "on_channel=-1, low_Hz=50.0, high_Hz=8000.0, temporal_integration=0.0)"),
    (Tagged(512, 20, 22050, transforms.dB(-80), 1, 123.25, 7000.5, 0.0037),
     "Tagged(num_samples=512, num_features=20, sample_rate=22050, transform=dB(floor_dB=-80.0), "
     "on_channel=1, low_Hz=123.25, high_Hz=7000.5, temporal_integration=0.0037)"),
    (Extractor(num_features=3, transform=None), "Extractor(num_samples=1024, num_features=3, "
     "sample_rate=44100, transform=None, on_channel=-1)"),
], ids=["defaults", "subclass", "extractor"])
def test_repr_round_trips_the_parameters(e, text):
    assert repr(e) == text
    again = eval(text, {**vars(transforms), "GammatoneFilterbank": GammatoneFilterbank,
                        "Tagged": Tagged, "Extractor": Extractor})
    assert type(again) is type(e) and again.__getstate__() == e.__getstate__()


def test_design_parameters_read_back():
    fb = GammatoneFilterbank(num_features=12, low_Hz=80, high_Hz=6000.5, temporal_integration=0.004)
    assert (fb.low_Hz, fb.high_Hz, fb.temporal_integration) == (80.0, 6000.5, 0.004)
    cfs = fb.centre_frequencies
    assert cfs.dtype == np.float64 and bits(cfs) == bits([f.cf for f in fb.filters])
    cfs[:] = 0.0  # a copy: the filterbank keeps its own
    assert bits(fb.centre_frequencies) == bits([f.cf for f in fb.filters])
    for name in ("low_Hz", "high_Hz", "temporal_integration", "centre_frequencies"):
        with pytest.raises(AttributeError):
            setattr(fb, name, 1.0)


@pytest.mark.parametrize("kwargs, messages", [
    (dict(sample_rate=8000), [r"^high_Hz=8000\.0 is above the Nyquist frequency, 4000\.0 Hz at sample_rate=8000"]),
    (dict(low_Hz=-10), [r"^low_Hz=-10\.0 is below 0 Hz"]),
    (dict(sample_rate=8000, low_Hz=-10), ["above the Nyquist", "below 0 Hz"]),
    (dict(sample_rate=16000), []),  # high_Hz equal to the Nyquist frequency
    ({}, []),
])
def test_frequency_range_warning(kwargs, messages):
    assert issubclass(FrequencyRangeWarning, UserWarning) and _tavik.FrequencyRangeWarning is FrequencyRangeWarning
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fb = GammatoneFilterbank(**kwargs)
    assert [w.category for w in caught] == [FrequencyRangeWarning] * len(messages)
    for w, pattern in zip(caught, messages):
        assert w.filename == __file__  # points at the caller
        assert re.search(pattern, str(w.message))
    assert fb.num_features == 64  # built all the same
    if messages:
        with pytest.raises(FrequencyRangeWarning):  # warnings as errors: nothing is built
            GammatoneFilterbank(**kwargs)


@pytest.mark.parametrize("cls", [transforms.identity, transforms.log10, transforms.dB, transforms.power])
def test_an_instance_without_init_is_refused(cls):
    bare = cls.__new__(cls)
    for use in (lambda: bare(1.0), lambda: GammatoneFilterbank(transform=bare), lambda: pickle.dumps(bare)):
        with pytest.raises(TypeError, match="not initialised"):
            use()


def test_the_package_re_exports_them():
    import tavik

    assert tavik.transforms is transforms and tavik.FrequencyRangeWarning is FrequencyRangeWarning
