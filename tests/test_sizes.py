"""Sizes at the edges: counts beyond memory, a very long frame, and the length
message on every path."""
import array
import os

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

import tavik
from _tavik.extractor import Extractor, GammatoneFilterbank

# The sanitizer's operator new aborts where the plain one throws bad_alloc.
plain_allocator = pytest.mark.skipif(
    bool(os.environ.get("TAVIK_SANITIZED")),
    reason="under AddressSanitizer a failing operator new aborts instead of throwing")


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


@plain_allocator
@pytest.mark.parametrize("count", [2**40, 2**56])
def test_a_filter_table_beyond_memory_is_a_memory_error(count):
    # Counts whose table exceeds the address space: the allocation fails at
    # once, before any filter is designed and without touching memory.
    with pytest.raises(MemoryError):
        GammatoneFilterbank(num_features=count)


@plain_allocator
def test_a_feature_vector_beyond_memory_is_a_memory_error():
    class One(Extractor):
        def compute(self, input, features):
            raise AssertionError("never reached")

    with pytest.raises(MemoryError):
        One(num_samples=2, num_features=2**56)([0.0, 0.0])


@pytest.mark.parametrize("count", [2**60, 2**64 - 1])
def test_counts_beyond_what_a_vector_can_hold_are_value_errors(count):
    with pytest.raises(ValueError):
        GammatoneFilterbank(num_features=count)
    with pytest.raises(ValueError, match="cannot create std::vector larger than max_size()"):
        Extractor(num_samples=1, num_features=count)([0.0])


def test_a_batch_result_beyond_memory_is_a_memory_error():
    # The result array comes from NumPy's allocator, under every build.
    huge = Extractor(num_samples=4, num_features=2**40)
    with pytest.raises(MemoryError):
        huge.batch(np.zeros((1, 4)))
    # Results too large for their size in bytes to be written down at all.
    with pytest.raises(MemoryError, match="^The features of this batch do not fit in memory$"):
        huge.batch(np.broadcast_to(np.zeros(4), (2**30, 4)))
    for count in (2**60, 2**64 - 1):
        with pytest.raises(MemoryError, match="do not fit in memory"):
            Extractor(num_samples=4, num_features=count).batch(np.zeros((0, 4)))
    assert huge.batch(np.zeros((0, 4))).shape == (0, 2**40)


@plain_allocator
def test_a_sequence_claiming_a_huge_length_is_refused_before_its_items():
    class Claims:
        def __len__(self):
            return 2**45

        def __getitem__(self, i):
            raise AssertionError("never reached")

    fb = GammatoneFilterbank(num_samples=4, num_features=2)
    with pytest.raises(MemoryError):
        fb(Claims())


@pytest.mark.slow
def test_a_ten_million_sample_frame():
    n = 10_000_000
    fb = GammatoneFilterbank(num_samples=n, num_features=3, sample_rate=48000, low_Hz=200,
                             high_Hz=2000, transform=lambda v: v)
    t = np.arange(n) / 48000
    x = np.sin(2 * np.pi * 1000 * t)  # a tone between the second and the third filter
    features = fb(x)
    assert np.isfinite(features).all() and (np.array(features) > 0).all()
    assert (bits(fb(x.reshape(1, n))) == bits(features)).all()
    assert (bits(fb.batch(x.reshape(1, n))[0]) == bits(features)).all()
    assert (bits(fb(x.tolist())) == bits(features)).all()


def wrong_length_inputs(n):
    x = np.linspace(-1.0, 1.0, n)
    yield "list", list(x)
    yield "tuple", tuple(x)
    yield "array", x
    yield "strided array", np.repeat(x, 2)[::2]
    yield "reversed array", x[::-1]
    yield "array.array", array.array("d", x)
    yield "memoryview", memoryview(np.ascontiguousarray(x))
    yield "(1, N) matrix", x.reshape(1, n)
    yield "interleaved matrix", np.repeat(x, 2).reshape(n, 2).T
    yield "column-major matrix", np.asfortranarray(np.stack([x, x, x]))


@pytest.mark.parametrize("n", [0, 1, 15, 17])
@pytest.mark.parametrize("make", [
    lambda: GammatoneFilterbank(num_samples=16, num_features=3),
    lambda: type("Sub", (Extractor,), {"compute": lambda self, i, f: None})(num_samples=16, num_features=3),
], ids=["filterbank", "python compute"])
def test_a_length_mismatch_gives_the_length_message_on_every_path(make, n):
    extractor = make()
    message = rf"^Input signal must be of length 16\. Instead it is of length {n}\.$"
    for path, frame in wrong_length_inputs(n):
        with pytest.raises(ValueError, match=message):
            extractor(frame)
    with pytest.raises(ValueError, match=message):
        extractor.batch(np.zeros((3, n)))
    with pytest.raises(ValueError, match=message):
        extractor.batch(sliding_window_view(np.zeros(40), n)[::4] if n else np.zeros((2, 0)))


@pytest.mark.parametrize("num_samples, hop", [(2**64 - 1, 1), (2**64 - 11, 1), (2**64 - 12, 1),
                                              (2**63, 2), (2**62, 1), (2**62, 3)])
def test_a_continuous_state_whose_size_wraps_around_is_refused(num_samples, hop):
    # The open frames and the filter state rows, summed and multiplied out,
    # exceed what a size can count: refused before anything is allocated.
    with pytest.raises(ValueError, match="^The state of this continuous pass does not fit in memory$"):
        tavik.GammatoneStream(16000, num_samples=num_samples, hop=hop).push(np.ones(16000))
    with pytest.raises(ValueError, match="^The state of this continuous pass does not fit in memory$"):
        GammatoneFilterbank(num_samples=num_samples, num_features=8).stream_state(hop)


def test_frames_longer_than_the_positions_left_are_refused():
    # Two open frames make a small state; the frames' ends are beyond what a
    # sample position can count.
    fb = GammatoneFilterbank(num_samples=2**64 - 1, num_features=8, sample_rate=16000)
    state = fb.stream_state(2**63)
    with pytest.raises(ValueError, match="^Too many samples pushed$"):
        fb.stream_push(np.ones(10), 2**63, state, 0)
    assert fb.stream_push(np.ones(0), 2**63, state, 0)[0].shape == (0, 8)
