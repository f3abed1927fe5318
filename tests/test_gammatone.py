import gc
import math

import numpy as np
import pytest

from _tavik.extractor import Extractor, GammatoneFilterbank

Filter = GammatoneFilterbank.Filter


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


@pytest.fixture(scope="module")
def frame():
    return np.random.default_rng(1).standard_normal(1024)


def test_defaults(frame):
    fb = GammatoneFilterbank()
    assert (fb.num_samples, fb.num_features, fb.sample_rate, fb.on_channel) == (1024, 64, 44100, -1)
    assert isinstance(fb, Extractor)
    assert fb.transform(100.0) == 2.0
    cfs = [f.cf for f in fb.filters]
    assert len(cfs) == 64 and all(a < b for a, b in zip(cfs, cfs[1:]))
    assert cfs[0] == pytest.approx(50, rel=1e-12) and cfs[-1] == pytest.approx(8000, rel=1e-12)
    raw = GammatoneFilterbank(transform=lambda x: x)(frame)
    assert fb(frame) == [math.log10(x) for x in raw]


def test_worked_example():
    fb = GammatoneFilterbank(4, 4, 16000, lambda x: x, -1, 100, 4000, 0.01)
    assert [f.cf for f in fb.filters] == pytest.approx([100, 541.58028, 1576.1460, 4000], rel=1e-7)
    assert fb.filters[1].gain == pytest.approx(4.0871776e-7, rel=1e-7)
    assert fb.filters[1].a == pytest.approx([3.8690847, -5.6136812, 3.6199680, -0.87537269, 0.93561354], rel=1e-7)
    assert fb([1.0, 0.0, 0.0, 0.0]) == pytest.approx([2.9820686e-9, 8.6147600e-8, 2.3542763e-6, 5.6746781e-5], rel=1e-7)
    assert fb([1.0, -1.0, 1.0, -1.0]) == pytest.approx([2.2203028e-9, 6.4221150e-8, 1.8091480e-6, 5.6043519e-5], rel=1e-7)
    assert fb([0.0] * 4) == [0.0] * 4


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"low_Hz": 8000, "high_Hz": 50}, "Invalid frequency range"),
        ({"low_Hz": 100, "high_Hz": 100}, "Invalid frequency range"),
        ({"num_features": 1}, "Invalid frequency range"),
        ({"low_Hz": float("nan")}, "Invalid frequency range"),
        ({"high_Hz": float("inf")}, "Invalid frequency range"),
        ({"low_Hz": -500}, "Invalid frequency range"),
        ({"sample_rate": 0}, "Invalid sample rate"),
        ({"sample_rate": -16000}, "Invalid sample rate"),
        ({"temporal_integration": -0.01}, "Invalid temporal integration"),
        ({"temporal_integration": float("nan")}, "Invalid temporal integration"),
        ({"temporal_integration": float("inf")}, "Invalid temporal integration"),
    ],
)
def test_refused_designs(kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        GammatoneFilterbank(**kwargs)


def test_extractor_still_accepts_any_sample_rate():
    assert Extractor(sample_rate=0).sample_rate == 0
    assert Extractor(sample_rate=-5).sample_rate == -5


def test_zero_filters():
    fb = GammatoneFilterbank(num_features=0)
    assert fb.filters == [] and fb([0.0] * 1024) == []


@pytest.mark.parametrize(
    "kwargs",
    [{"num_features": -1}, {"num_samples": 10.0}, {"low_Hz": "50"}, {"transform": 3}, {"on_channel": 2**31}],
)
def test_constructor_refuses(kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        GammatoneFilterbank(**kwargs)


def test_too_many_filters_is_a_memory_or_value_error():
    with pytest.raises((MemoryError, ValueError)):
        GammatoneFilterbank(num_features=2**62)


def test_filter_outlives_its_filterbank():
    fb = GammatoneFilterbank(num_features=3)
    f = fb.filters[2]
    cf = f.cf
    del fb
    gc.collect()
    assert f.cf == cf and len(f.a) == 5


def test_filter_records():
    f = Filter(1.0, 2.0, 3.0, 4.0, [1, 2, 3, 4, 5])
    assert (f.cf, f.gain, f.a) == (1.0, 4.0, [1.0, 2.0, 3.0, 4.0, 5.0])
    assert Filter(cf=1.0, coscf=0.0, sincf=0.0, gain=0.0, a=(1, 2, 3, 4, 5)).a == [1.0, 2.0, 3.0, 4.0, 5.0]
    a = f.a
    a[0] = 100.0
    assert f.a[0] == 1.0
    assert not hasattr(f, "coscf") and not hasattr(f, "sincf")
    for bad in ([1, 2, 3, 4], 5, "abcde"):
        with pytest.raises(TypeError):
            Filter(1.0, 2.0, 3.0, 4.0, bad)
    for name in ("cf", "gain", "a"):
        with pytest.raises(AttributeError):
            setattr(f, name, 1.0)
    with pytest.raises(AttributeError):
        GammatoneFilterbank().filters = []


def test_python_subclass_compute_is_ignored(frame):
    class Custom(GammatoneFilterbank):
        def compute(self, input, features):
            raise AssertionError("never called")

    assert bits(Custom()(frame)) == bits(GammatoneFilterbank()(frame))


def test_every_input_path_gives_the_same_bits(frame):
    raw = {"transform": lambda x: x, "temporal_integration": 0.005}
    fb = GammatoneFilterbank(**raw)
    expected = bits(fb(list(frame)))
    strided = np.repeat(frame, 3)[::3]
    interleaved = np.stack([frame, frame], axis=1).reshape(-1)  # L R L R ...
    matrix_view = interleaved.reshape(1024, 2).T
    assert matrix_view.flags.f_contiguous and matrix_view.base is not None
    for x in (tuple(frame), frame, strided, frame[None, :], np.asfortranarray([frame, frame]), matrix_view):
        assert bits(fb(x)) == expected
    other = frame[::-1].copy()
    both = np.asfortranarray([frame, other])
    assert bits(GammatoneFilterbank(on_channel=1, **raw)(both)) == bits(fb(other))
    assert bits(fb(both)) == bits(fb((frame + other) / 2))


def test_negation_and_repeatability(frame):
    fb = GammatoneFilterbank()
    assert bits(fb(frame)) == bits(fb(-frame)) == bits(fb(frame))


@pytest.mark.parametrize(
    "cls, use",
    [
        (GammatoneFilterbank, lambda o: o([0.0] * 1024)),
        (GammatoneFilterbank, lambda o: o.filters),
        (Extractor, lambda o: o.num_samples),
        (Extractor, lambda o: o.batch(np.zeros((1, 1024)))),
        (Filter, lambda o: o.a),
    ],
)
def test_instance_without_init_is_refused_not_read(cls, use):
    obj = cls.__new__(cls)
    with pytest.raises(TypeError, match="^The object is not initialised: its __init__ was not called$"):
        use(obj)
    if cls is not Filter:
        obj.__init__()  # a late __init__ still builds it
        assert obj.num_samples == 1024
