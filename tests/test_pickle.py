"""Extractors pickle into equal extractors: for process pools and distributed engines."""
import copy
import functools
import math
import multiprocessing
import pickle
import subprocess
import sys
import threading
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import tavik
from _tavik import transforms
from _tavik.extractor import Extractor, GammatoneFilterbank

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def cube_root(x):
    return math.copysign(abs(x) ** (1.0 / 3.0), x)


def scaled(factor, x):
    return factor * x


class Energy(Extractor):
    """A Python extractor with an attribute of its own."""

    def __init__(self, gain, **kwargs):
        super().__init__(**kwargs)
        self.gain = gain

    def compute(self, input, features):
        for i in range(len(features)):
            features[i] = self.gain * sum(x * x for x in input[i::len(features)])


class TaggedFilterbank(GammatoneFilterbank):
    pass


def roundtrip(obj, protocol=pickle.DEFAULT_PROTOCOL):
    return pickle.loads(pickle.dumps(obj, protocol))


def properties(e):
    return (type(e), e.num_samples, e.num_features, e.sample_rate, e.on_channel)


def filter_bits(fb):
    return [bits([f.cf, f.gain, *f.a]).tolist() for f in fb.filters]


@pytest.fixture(scope="module")
def signal():
    return np.random.default_rng(11).standard_normal((2, 4096))


FILTERBANKS = {
    "defaults": {},
    "every argument": dict(num_samples=512, num_features=20, sample_rate=22050,
                           transform=cube_root, on_channel=1, low_Hz=123.25, high_Hz=7000.5,
                           temporal_integration=0.0037),
    "no transform": dict(num_features=8, transform=None),
    "partial transform": dict(num_features=8, transform=functools.partial(scaled, 0.5)),
    "native python callable": dict(num_features=8, transform=math.sqrt),
}


class TestFilterbank:
    @pytest.mark.parametrize("kwargs", FILTERBANKS.values(), ids=FILTERBANKS.keys())
    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_design_and_features_are_bit_identical(self, kwargs, protocol, signal):
        fb = GammatoneFilterbank(**kwargs)
        back = roundtrip(fb, protocol)
        assert properties(back) == properties(fb)
        state, back_state = fb.__getstate__(), back.__getstate__()
        assert back_state[:3] + back_state[4:] == state[:3] + state[4:]
        # A partial is a new object after the trip; markers and functions are equal.
        assert type(back_state[3]) is type(state[3])
        if not isinstance(state[3], functools.partial):
            assert back_state[3] == state[3]
        assert filter_bits(back) == filter_bits(fb)
        if fb.transform is None:
            assert back.transform is None
            return
        frame = signal[:, :fb.num_samples]
        assert (bits(back(frame[0])) == bits(fb(frame[0]))).all()
        assert (bits(back(np.asfortranarray(frame))) == bits(fb(np.asfortranarray(frame)))).all()

    def test_state_names_every_constructor_argument(self):
        fb = GammatoneFilterbank(**FILTERBANKS["every argument"])
        assert fb.__getstate__() == (512, 20, 22050, cube_root, 1, 123.25, 7000.5, 0.0037, {})
        assert GammatoneFilterbank().__getstate__()[3] == transforms.log10()

    def test_default_transform_stays_native(self):
        back = roundtrip(GammatoneFilterbank())
        again = roundtrip(GammatoneFilterbank(transform=back.transform))
        assert type(again.transform) is transforms.log10 and again.transform == transforms.log10()
        assert back.transform(100.0) == 2.0

    def test_subclass_keeps_class_and_attributes(self, signal):
        fb = TaggedFilterbank(num_features=6)
        fb.label = "left ear"
        back = roundtrip(fb)
        assert type(back) is TaggedFilterbank and back.label == "left ear"
        assert (bits(back(signal[0, :1024])) == bits(fb(signal[0, :1024]))).all()

    def test_copies(self, signal):
        fb = GammatoneFilterbank(num_features=5, temporal_integration=0.01)
        for other in (copy.copy(fb), copy.deepcopy(fb)):
            assert other is not fb
            assert (bits(other(signal[0, :1024])) == bits(fb(signal[0, :1024]))).all()


class TestPythonExtractor:
    def test_attributes_compute_and_transform_travel(self):
        e = Energy(0.25, num_samples=6, num_features=2, transform=cube_root, sample_rate=8000)
        e.history = [1, 2, 3]
        back = roundtrip(e)
        assert properties(back) == properties(e)
        assert (back.gain, back.history) == (0.25, [1, 2, 3])
        frame = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
        assert back(frame) == e(frame)

    def test_shallow_copy_has_its_own_attributes(self):
        e = Energy(0.5, num_samples=2, num_features=1)
        e.history = [1]
        other = copy.copy(e)
        other.gain = 4.0
        other.history.append(2)
        assert (e.gain, e.history, other([1.0, 1.0])) == (0.5, [1, 2], [8.0])
        assert copy.deepcopy(e).history is not e.history

    def test_identity_default_is_the_default_again(self):
        back = roundtrip(Energy(2.0, num_samples=2, num_features=1))
        assert back.__getstate__() == (2, 1, 44100, transforms.identity(), -1, {"gain": 2.0})
        assert back([1.0, 2.0]) == [10.0]

    def test_bare_extractor(self):
        back = roundtrip(Extractor(num_samples=3, transform=None))
        assert back.num_samples == 3 and back.transform is None
        with pytest.raises(RuntimeError, match="pure virtual"):
            back([0.0, 0.0, 0.0])

    def test_log10_given_to_a_python_extractor(self):
        e = Energy(1.0, num_samples=1, num_features=1, transform=GammatoneFilterbank().transform)
        assert e.__getstate__()[3] == transforms.log10()
        assert roundtrip(e)([10.0]) == [2.0]


class TestUnpicklableTransforms:
    class Locked:
        def __init__(self):
            self.lock = threading.Lock()

        def __call__(self, x):
            return x

    @pytest.mark.parametrize(
        "transform, name",
        [
            (lambda x: x, "<lambda>"),
            (Locked(), "of type .*Locked"),
            # Read back from another extractor: the lambda itself.
            (Extractor(transform=lambda x: x).transform, "<lambda>"),
        ],
    )
    @pytest.mark.parametrize("cls", [GammatoneFilterbank, Energy])
    def test_clear_type_error_at_pickling_time(self, cls, transform, name):
        e = cls(1.0, transform=transform) if cls is Energy else cls(transform=transform)
        with pytest.raises(TypeError, match=f"^transform .*{name} cannot be pickled$") as info:
            pickle.dumps(e)
        assert info.value.__cause__ is not None
        assert e.num_samples == 1024  # the extractor is untouched and still usable

    def test_local_function_is_named(self):
        def local(x):
            return x

        with pytest.raises(TypeError, match=r"transform .*<locals>\.local cannot be pickled"):
            pickle.dumps(GammatoneFilterbank(transform=local))


class TestBadStates:
    @pytest.mark.parametrize(
        "state, error, message",
        [
            ((1,), TypeError, "Invalid pickled state of GammatoneFilterbank$"),
            ((16, 4, 16000, None, 0, 50, 5000, 0, []), TypeError, "Invalid pickled state"),
            ((16.0, 4, 16000, None, 0, 50, 5000, 0, {}), TypeError, "Invalid pickled state"),
            ((16, 4, 16000, "sqrt", 0, 50, 5000, 0, {}), TypeError, "unknown transform"),
            ((16, 4, 16000, 5, 0, 50, 5000, 0, {}), TypeError, "unknown transform"),
            ((16, 4, 16000, None, 0, 5000, 50, 0, {}), ValueError, "Invalid frequency range"),
        ],
    )
    def test_refused(self, state, error, message):
        fresh = GammatoneFilterbank.__new__(GammatoneFilterbank)
        with pytest.raises(error, match=message):
            fresh.__setstate__(state)

    def test_identity_marker_is_the_native_identity_for_both(self):
        fresh = GammatoneFilterbank.__new__(GammatoneFilterbank)
        fresh.__setstate__((16, 4, 16000, "identity", 0, 50, 5000, 0, {}))
        assert fresh.transform == transforms.identity()
        fresh = Extractor.__new__(Extractor)
        fresh.__setstate__((16, 4, 16000, "identity", 0, {}))
        assert fresh.transform(3.5) == 3.5

    # Pickles of the earlier format, made then (protocols 4 and 0): the
    # filterbank's default and Extractor's identity as the markers "log10" and
    # "identity", tavik.LOG10 by its name.
    @pytest.mark.parametrize("data, transform", [
        (b"\x80\x04\x95d\x00\x00\x00\x00\x00\x00\x00\x8c\x10_tavik.extractor\x94\x8c\x13GammatoneFilterbank"
         b"\x94\x93\x94)\x81\x94(K\x10K\x02M\x80>\x8c\x05log10\x94J\xff\xff\xff\xffG@I\x00\x00\x00\x00\x00"
         b"\x00G@\xbf@\x00\x00\x00\x00\x00G\x00\x00\x00\x00\x00\x00\x00\x00}\x94t\x94b.", transforms.log10()),
        (b"\x80\x04\x95B\x00\x00\x00\x00\x00\x00\x00\x8c\x10_tavik.extractor\x94\x8c\tExtractor\x94\x93\x94)"
         b"\x81\x94(K\x04K\x01MD\xac\x8c\x08identity\x94J\xff\xff\xff\xff}\x94t\x94b.", transforms.identity()),
        (b"\x80\x04\x95\x1b\x00\x00\x00\x00\x00\x00\x00\x8c\rtavik._signal\x94\x8c\x05LOG10\x94\x93\x94.", None),
        (b"ctavik._signal\nLOG10\np0\n.", None),
    ], ids=["log10 marker", "identity marker", "LOG10", "LOG10 protocol 0"])
    def test_earlier_pickles_load_as_the_native_transforms(self, data, transform):
        loaded = pickle.loads(data)
        if transform is None:
            assert loaded is tavik.LOG10
            return
        assert type(loaded.transform) is type(transform) and loaded.transform == transform
        made = (GammatoneFilterbank(num_samples=16, num_features=2, sample_rate=16000)
                if isinstance(loaded, GammatoneFilterbank) else Extractor(num_samples=4, num_features=1))
        assert loaded.__getstate__() == made.__getstate__()

    def test_setstate_does_not_change_a_built_extractor(self):
        fb = GammatoneFilterbank(num_features=4)
        fb.__setstate__((16, 8, 16000, None, 0, 100, 5000, 0, {}))
        assert (fb.num_samples, fb.num_features, fb.transform(100.0)) == (1024, 4, 2.0)

    @pytest.mark.parametrize("cls", [Extractor, GammatoneFilterbank])
    def test_getstate_of_an_unbuilt_or_foreign_object(self, cls):
        with pytest.raises(TypeError, match="instance is not initialised"):
            cls.__new__(cls).__getstate__()
        with pytest.raises(TypeError, match="__getstate__ expects"):
            cls.__getstate__(object())

    def test_getstate_of_the_base_class_on_a_filterbank(self):
        # The filterbank's native part is a GammatoneFilterbank, not an
        # Extractor; the base's __getstate__ reads it all the same.
        for cls in (GammatoneFilterbank, TaggedFilterbank):
            fb = cls(num_samples=16, num_features=4, sample_rate=16000)
            assert Extractor.__getstate__(fb)[:5] == (16, 4, 16000, transforms.log10(), -1)
        with pytest.raises(TypeError, match="Extractor instance is not initialised"):
            Extractor.__getstate__(GammatoneFilterbank.__new__(GammatoneFilterbank))
        with pytest.raises(TypeError, match="expects a GammatoneFilterbank instance"):
            GammatoneFilterbank.__getstate__(Extractor(num_samples=16, num_features=4))


# Thousands of short-lived classes derived from either native class, in
# cycles that only the collector frees, so that new classes reuse the
# addresses of dead ones of the other hierarchy. Run in a child process: a
# stale native type record would abort construction there.
CHURN = """
import gc
import tavik
from _tavik import transforms
from _tavik.extractor import Extractor, GammatoneFilterbank
for i in range(3000):
    base = (GammatoneFilterbank, Extractor)[i % 2]
    cls = type("Churn", (base,), {"compute": lambda self, input, features: None})
    obj = cls(num_samples=16, num_features=4)
    obj.cycle = obj
    assert base.__getstate__(obj)[:2] == Extractor.__getstate__(obj)[:2] == (16, 4)
    del cls, obj
    if i % 7 == 0:
        gc.collect()
print("ok")
"""


def test_getstate_while_classes_come_and_go():
    result = subprocess.run([sys.executable, "-c", CHURN], capture_output=True, text=True,
                            timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stderr


def pool_features(extractor, frames):
    return [extractor(list(frame)) for frame in frames], extractor.batch(frames, num_threads=1)


def test_process_pool_of_two_workers(signal):
    extractors = [
        GammatoneFilterbank(num_features=12, temporal_integration=0.002),
        GammatoneFilterbank(num_features=12, transform=cube_root, low_Hz=80, high_Hz=6000),
        Energy(0.5, num_samples=1024, num_features=3, transform=functools.partial(scaled, 2.0)),
    ]
    frames = np.lib.stride_tricks.sliding_window_view(signal[0], 1024)[::512]
    # Fresh interpreters: everything a worker has arrives by pickle.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        results = list(pool.map(pool_features, extractors, [frames] * len(extractors)))
    for extractor, (listed, batched) in zip(extractors, results):
        expected = extractor.batch(frames)
        assert (bits(batched) == bits(expected)).all()
        assert (bits(listed) == bits(expected)).all()
