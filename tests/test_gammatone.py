import decimal
import gc
import math

import numpy as np
import pytest

import tavik
from _tavik.extractor import Extractor, GammatoneFilterbank
from tavik._response import filter_records

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


# --- The frequency response of the filters -----------------------------------


def simulated_bands(fb, signal):
    """The analytic band signals of a real signal, (samples, num_features),
    from a direct simulation of each filter's chain in NumPy: the signal
    turned down by the phasor of its record, the fourfold pole and the two
    zeros, the gain, and turned back up: what tavik.gammatone_bands computes
    natively, measured by measured_response the same way."""
    cf, coscf, sincf, gain, d = filter_records(fb)
    theta = np.arctan2(sincf, coscf)
    n = np.arange(len(signal))
    bands = np.empty((len(signal), len(cf)), dtype=complex)
    for k in range(len(cf)):
        down = signal * np.exp(-1j * theta[k] * n)
        p = np.zeros(len(signal) + 4, dtype=complex)  # p[n + 4]: four samples of silence first
        a0, a1, a2, a3 = 4 * d[k], -6 * d[k] ** 2, 4 * d[k] ** 3, -d[k] ** 4
        for i, x in enumerate(down):
            p[i + 4] = x + a0 * p[i + 3] + a1 * p[i + 2] + a2 * p[i + 1] + a3 * p[i]
        y = p[4:] + a0 * p[3:-1] + d[k] ** 2 * p[2:-2]
        bands[:, k] = gain[k] * y * np.exp(1j * theta[k] * n)
    return bands


def measured_response(bands, fb, frequency, length):
    """The response at `frequency` of every band of `bands` (a function of
    a filterbank and a real signal giving its complex band signals), in
    steady state at the last of `length` samples: driven by cos and sin, the
    sum y_cos + 1j * y_sin is the response to exp(1j w n) alone."""
    # The tone's phase reduced to a period in long double: w * n in double
    # would be phase noise of about 1e-12, which the passband passes on.
    cycles = np.fmod(np.longdouble(frequency) * np.arange(length), fb.sample_rate)
    phase = (2 * np.pi * (cycles / fb.sample_rate)).astype(np.float64)
    both = bands(fb, np.cos(phase)) + 1j * bands(fb, np.sin(phase))
    return both[-1] * np.exp(-1j * phase[-1])


def native_bands(fb, signal):
    """tavik.gammatone_bands of the filters of `fb`."""
    return tavik.gammatone_bands(signal, fb.sample_rate, num_features=fb.num_features,
                                 low_Hz=fb.low_Hz, high_Hz=fb.high_Hz, output="analytic")


@pytest.mark.parametrize("run", ["simulated", "native"])
@pytest.mark.parametrize("sample_rate, frequency", [
    (16000, "cf"), (16000, 7999.0), (16000, 3.0), (16000, 20000.0), (16000, -1000.0),
    (8000, "cf"), (8000, 3900.0)])
def test_the_frequency_response_is_that_of_the_filters_run_in_time(sample_rate, frequency, run):
    fb = GammatoneFilterbank(num_samples=16, num_features=6, sample_rate=sample_rate,
                             low_Hz=300, high_Hz=0.45 * sample_rate)
    bands = simulated_bands if run == "simulated" else native_bands
    frequencies = fb.centre_frequencies if frequency == "cf" else [frequency]
    computed = tavik.frequency_response(fb, frequencies)
    for i, f in enumerate(frequencies):
        measured = measured_response(bands, fb, f, 6000)
        np.testing.assert_allclose(computed[i], measured, rtol=1e-6, atol=0)


D = decimal.Decimal
TWO_PI = D("6.28318530717958647692528676655900576839433879875021164194988918461563281257")


def exact(fb, frequency):
    """The response of every filter at `frequency` to 60 digits, from the
    same records: Taylor series for sin and cos, Newton for the angle."""
    with decimal.localcontext() as context:
        context.prec = 60

        def cos_sin(x):
            x = x - TWO_PI * (x / TWO_PI).to_integral_value()
            c, s, term, k = D(0), D(0), D(1), 0
            while abs(term) > D(10) ** -70 or k < 2:
                if k % 4 in (0, 2):
                    c += term if k % 4 == 0 else -term
                else:
                    s += term if k % 4 == 1 else -term
                k += 1
                term = term * x / k
            return c, s

        def product(x, y):
            return x[0] * y[0] - x[1] * y[1], x[0] * y[1] + x[1] * y[0]

        out = []
        for cf, coscf, sincf, gain, d in zip(*filter_records(fb)):
            c0, s0 = D(coscf), D(sincf)
            theta = D(math.atan2(sincf, coscf))
            for _ in range(3):  # the angle of (coscf, sincf), by Newton
                c, s = cos_sin(theta)
                theta += (s0 * c - c0 * s) / (c0 * c + s0 * s)
            phi = TWO_PI * D(frequency) / D(fb.sample_rate) - theta
            c, s = cos_sin(phi)
            c2, s2 = cos_sin(2 * phi)
            d = D(d)
            den = (1 - d * c, d * s)
            den = product(product(den, den), product(den, den))
            num = (1 + 4 * d * c + d * d * c2, -4 * d * s - d * d * s2)
            scale = D(gain) / (den[0] ** 2 + den[1] ** 2)
            re, im = product(num, (den[0], -den[1]))
            out.append(complex(float(re * scale), float(im * scale)))
        return np.array(out)


@pytest.mark.parametrize("sample_rate", [8000, 16000, 44100])
def test_the_frequency_response_is_accurate_to_a_few_ulps(sample_rate):
    """Near and at the centres, where no cancellation is in the problem
    itself, within 8 units in the last place; far off, where the numerator
    cancels, within that times its condition."""
    fb = GammatoneFilterbank(num_samples=16, num_features=5, sample_rate=sample_rate,
                             low_Hz=50, high_Hz=0.45 * sample_rate)
    cf, _, _, _, d = filter_records(fb)
    near = [*cf, *(cf * (1 + 1e-9)), *(cf * 1.1), *(cf * 0.93)]
    far = [0.0, 1.0, sample_rate / 2, -sample_rate / 4, 3 * sample_rate]
    eps = np.finfo(float).eps
    for f in near + far:
        computed, reference = tavik.frequency_response(fb, f)[0], exact(fb, f)
        error = np.abs(computed - reference) / np.abs(reference)
        phi = 2 * np.pi * f / sample_rate - 2 * np.pi * cf / sample_rate
        terms = 1 + 4 * d + d * d  # of the numerator, beside its size
        condition = terms / np.abs(1 + 4 * d * np.exp(-1j * phi) + d * d * np.exp(-2j * phi))
        assert (error <= 8 * eps * condition).all(), (f, error / eps, condition)
