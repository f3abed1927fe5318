import sys

import numpy as np
import pytest

import _tavik
from _tavik.extractor import Extractor


class Doubler(Extractor):
    """Feature i is 2 * input[i]; records the lists compute receives."""

    def compute(self, input, features):
        self.seen = (list(input), list(features))
        for i in range(len(features)):
            features[i] = 2 * input[i]


def make(cls=Doubler, **kw):
    kw.setdefault("num_samples", 4)
    kw.setdefault("num_features", 3)
    return cls(**kw)


FRAME = [1.0, 2.0, 3.0, 4.0]


def test_module_identity():
    assert _tavik.__doc__ == "\n        Tavik library \n    "
    assert _tavik.__version__ == "0.0.7"
    assert sys.modules["_tavik.extractor"] is _tavik.extractor
    assert Extractor.__module__ == "_tavik.extractor"
    assert not hasattr(Extractor, "compute")


def test_defaults():
    e = Extractor()
    assert (e.num_samples, e.num_features, e.sample_rate, e.on_channel) == (1024, 64, 44100, -1)
    assert e.transform(2.5) == 2.5


@pytest.mark.parametrize(
    "kwargs",
    [
        {"num_samples": -1},
        {"num_samples": 1024.0},
        {"num_features": "64"},
        {"sample_rate": 2**31},
        {"on_channel": -(2**31) - 1},
        {"transform": 5},
        {"bogus": 1},
    ],
)
def test_constructor_refuses(kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        Extractor(**kwargs)


def test_constructor_converts():
    e = Extractor(num_samples=np.int64(512), sample_rate=np.int32(8000), on_channel=True)
    assert (e.num_samples, e.sample_rate, e.on_channel) == (512, 8000, 1)
    assert Extractor(transform=None).transform is None


def test_properties_are_read_only():
    e = Extractor()
    for name in ("num_samples", "num_features", "sample_rate", "transform", "on_channel"):
        with pytest.raises(AttributeError):
            setattr(e, name, 1)


def test_python_transform_reads_back_as_the_callable_given():
    def f(x):
        return x + 1

    e = make(transform=f)
    again = make(transform=e.transform)
    assert e.transform is f and again.transform is f
    assert again(FRAME) == e(FRAME) == [3.0, 5.0, 7.0]


def test_compute_receives_frame_and_zeros():
    e = make()
    assert e(FRAME) == [2.0, 4.0, 6.0]
    assert e.seen == (FRAME, [0.0, 0.0, 0.0])


@pytest.mark.parametrize(
    "frame",
    [
        FRAME,
        tuple(FRAME),
        np.array(FRAME),
        np.repeat(FRAME, 2)[::2],  # strided 1-D view
        np.array([FRAME]),  # (1, n) is F-contiguous too
        np.asfortranarray([FRAME, FRAME]),
    ],
    ids=["list", "tuple", "1d", "strided", "row", "fortran"],
)
def test_accepted_inputs(frame):
    assert make()(frame) == [2.0, 4.0, 6.0]


@pytest.mark.parametrize(
    "frame",
    [
        [1.0, 2.0, 3, 4.0],
        np.array(FRAME, dtype=np.float32),
        np.ascontiguousarray([FRAME, FRAME]),
        np.zeros((1, 4, 1)),
        "abcd",
        b"abcd",
        4.0,
    ],
    ids=["int-item", "float32", "c-order", "3d", "str", "bytes", "scalar"],
)
def test_refused_inputs(frame):
    with pytest.raises(TypeError):
        make()(frame)


def test_zero_d_array_is_unsized():
    with pytest.raises(TypeError, match="unsized"):
        make()(np.array(1.0))


def test_keyword_input_and_argument_count():
    e = make()
    assert e(input=FRAME) == [2.0, 4.0, 6.0]
    with pytest.raises(TypeError):
        e(FRAME, FRAME)


def test_length_message():
    with pytest.raises(ValueError, match=r"^Input signal must be of length 1024\. Instead it is of length 0\.$"):
        Extractor()([])
    with pytest.raises(ValueError, match="of length 4. Instead it is of length 2."):
        make()(np.zeros((4, 2), order="F"))  # orientation matters


def test_channel_selection():
    m = np.asfortranarray([[1.0, 2.0, 3.0, 4.0], [3.0, 4.0, 5.0, 6.0]])
    assert make()(m) == [4.0, 6.0, 8.0]
    assert make(on_channel=-5)(m) == [4.0, 6.0, 8.0]
    assert make(on_channel=1)(m) == [6.0, 8.0, 10.0]
    with pytest.raises(IndexError, match="^Channel 2 is out of range for an input of 2 channels$"):
        make(on_channel=2)(m)


def test_interleaved_view_is_read_in_place():
    buffer = np.arange(12.0)  # three channels interleaved
    view = buffer.reshape(4, 3).T  # rows are channels, no copy
    assert view.base is not None and not view.flags.c_contiguous
    assert make(on_channel=1)(view) == [2.0, 8.0, 14.0]
    assert make()(view) == [2.0, 8.0, 14.0]
    with pytest.raises(TypeError):  # a subset of the channels is not F-contiguous
        make()(view[:2])


def test_transform_order_and_failures():
    calls = []

    def record(x):
        calls.append(x)
        return -x

    assert make(transform=record)(FRAME) == [-2.0, -4.0, -6.0]
    assert calls == [2.0, 4.0, 6.0]

    with pytest.raises(RuntimeError, match="bad_function_call"):
        make(transform=None)(FRAME)
    assert make(num_features=0, transform=None)(FRAME) == []

    with pytest.raises(RuntimeError, match="Unable to cast Python instance"):
        make(transform=lambda x: "x")(FRAME)

    def boom(x):
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        make(transform=boom)(FRAME)
    assert make(transform=lambda x: 7)(FRAME) == [7.0, 7.0, 7.0]


def test_bare_extractor_is_pure_virtual():
    with pytest.raises(RuntimeError, match=r'^Tried to call pure virtual function "Extractor::compute"$'):
        Extractor(num_samples=1)([0.5])


def test_subclass_init_must_call_base():
    class NoBase(Extractor):
        def __init__(self):
            pass

        def compute(self, input, features):
            pass

    with pytest.raises(TypeError, match=r"Extractor\.__init__\(\) must be called when overriding __init__"):
        NoBase()

    class WithBase(Extractor):
        def __init__(self):
            super().__init__(2, 1)

        def compute(self, input, features):
            features[0] = sum(input)

    assert WithBase()([1.5, 2.0]) == [3.5]


def test_compute_exception_propagates():
    class Failing(Extractor):
        def compute(self, input, features):
            raise ZeroDivisionError("nope")

    with pytest.raises(ZeroDivisionError, match="nope"):
        make(Failing)(FRAME)


def test_non_callable_compute_attribute():
    class Odd(Extractor):
        compute = 5

    with pytest.raises(TypeError, match="not callable"):
        make(Odd)(FRAME)


def test_reentrant_call_ends_in_recursion_error():
    class Reentrant(Extractor):
        def compute(self, input, features):
            return self(input)

    with pytest.raises(RecursionError):
        make(Reentrant, num_features=1)(FRAME)


class Returning(Extractor):
    def __init__(self, result, **kw):
        super().__init__(**kw)
        self.result = result

    def compute(self, input, features):
        features[0] = 99.0  # ignored when a sequence is returned
        return self.result


@pytest.mark.parametrize(
    "result, expected",
    [([1.0, 2, 3.5], [1.0, 2.0, 3.5]), ((4, 5, 6), [4.0, 5.0, 6.0]), (np.array([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0])],
)
def test_returned_sequence_becomes_the_features(result, expected):
    assert Returning(result, num_samples=4, num_features=3)(FRAME) == expected


@pytest.mark.parametrize(
    "result, error, message",
    [
        (5.0, TypeError, "^compute must return None or a sequence of numbers$"),
        ("abc", TypeError, "^compute must return None or a sequence of numbers$"),
        ([1.0, 2.0], ValueError, "^compute produced 2 features, expected 3$"),
        ([1.0, "x", 2.0], TypeError, "^compute produced a feature that is not a number$"),
    ],
)
def test_carry_back_failures(result, error, message):
    with pytest.raises(error, match=message):
        Returning(result, num_samples=4, num_features=3)(FRAME)


def test_list_filled_in_place_with_wrong_contents():
    class Shrinks(Extractor):
        def compute(self, input, features):
            features.pop()

    class Garbage(Extractor):
        def compute(self, input, features):
            features[1] = None

    with pytest.raises(ValueError, match="compute produced 2 features, expected 3"):
        make(Shrinks)(FRAME)
    with pytest.raises(TypeError, match="not a number"):
        make(Garbage)(FRAME)


def test_zero_samples_frame():
    class Lengths(Extractor):
        def compute(self, input, features):
            features[0] = float(len(input))

    assert Lengths(num_samples=0, num_features=1)([]) == [0.0]
