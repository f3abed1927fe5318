"""Memory stays flat over many calls on every path, and every object that an
extractor holds is released exactly when it should be."""
import gc
import os
import sys
import weakref

import numpy as np
import pytest

from _tavik.extractor import Extractor, GammatoneFilterbank

# Under the sanitizers freed memory sits in quarantine and the allocator is
# the system's, so neither RSS nor the interpreter's block count says
# anything there: the loops still run, shorter, for the sanitizers' sake.
SANITIZED = bool(os.environ.get("TAVIK_SANITIZED"))
CALLS = 2_000 if SANITIZED else 100_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


N = 8
FRAME = [0.25 * i - 0.5 for i in range(N)]
ARRAY = np.array(FRAME)
MATRIX = np.asfortranarray(np.stack([ARRAY, -ARRAY]))
FRAMES = np.stack([ARRAY, ARRAY[::-1].copy()])


class Summing(Extractor):
    def compute(self, input, features):
        features[0] = sum(input)
        features[1] = input[0]


class Raising(Extractor):
    def compute(self, input, features):
        raise KeyError("compute")


def raising_transform(v):
    raise KeyError("transform")


fb = GammatoneFilterbank(num_samples=N, num_features=4, sample_rate=16000)
fb_python_transform = GammatoneFilterbank(num_samples=N, num_features=4, transform=lambda v: v + 1.0)
fb_bad_transform = GammatoneFilterbank(num_samples=N, num_features=4, transform=lambda v: "x")
fb_raising_transform = GammatoneFilterbank(num_samples=N, num_features=4, transform=raising_transform)
fb_channel = GammatoneFilterbank(num_samples=N, num_features=4, on_channel=5)
summing = Summing(num_samples=N, num_features=2)
raising = Raising(num_samples=N, num_features=2)
bare = Extractor(num_samples=N, num_features=2)


class HostileSequence:
    def __len__(self):
        return N

    def __getitem__(self, i):
        if i == 3:
            raise KeyError("item")
        return 1.0


SUCCESSES = {
    "list": lambda: fb(FRAME),
    "tuple": lambda: fb(tuple(FRAME)),
    "array": lambda: fb(ARRAY),
    "strided array": lambda: fb(MATRIX[0]),
    "matrix": lambda: fb(MATRIX),
    "batch": lambda: fb.batch(FRAMES, num_threads=1),
    "python subclass": lambda: summing(FRAME),
    "python subclass batch": lambda: summing.batch(FRAMES, num_threads=1),
    "python transform": lambda: fb_python_transform(ARRAY),
    "construction": lambda: GammatoneFilterbank(num_samples=N, num_features=4),
    "python construction": lambda: Summing(num_samples=N, num_features=2, transform=abs),
    "filters": lambda: fb.filters,
    "filter record": lambda: GammatoneFilterbank.Filter(1.0, 2.0, 3.0, 4.0, [1, 2, 3, 4, 5]).a,
    "transform property": lambda: fb_python_transform.transform(1.0),
}

FAILURES = {
    "wrong length": (lambda: fb(FRAME[:-1]), ValueError),
    "int item": (lambda: fb(FRAME[:-1] + [1]), TypeError),
    "float32 array": (lambda: fb(ARRAY.astype(np.float32)), TypeError),
    "row-major matrix": (lambda: fb(np.ascontiguousarray(MATRIX)), TypeError),
    "wrong matrix width": (lambda: fb(MATRIX[:, :-1]), ValueError),
    "channel out of range": (lambda: fb_channel(MATRIX), IndexError),
    "hostile sequence": (lambda: fb(HostileSequence()), KeyError),
    "python compute raises": (lambda: raising(FRAME), KeyError),
    "pure virtual": (lambda: bare(FRAME), RuntimeError),
    "transform raises": (lambda: fb_raising_transform(FRAME), KeyError),
    "transform result": (lambda: fb_bad_transform(FRAME), RuntimeError),
    "constructor arguments": (lambda: GammatoneFilterbank(num_samples=-1), TypeError),
    "frequency range": (lambda: GammatoneFilterbank(low_Hz=8000, high_Hz=50), ValueError),
    "too many filters": (lambda: GammatoneFilterbank(num_features=2**60), ValueError),
    "filter record": (lambda: GammatoneFilterbank.Filter(1.0, 2.0, 3.0, 4.0, [1, 2, 3]), TypeError),
    "batch layout": (lambda: fb.batch(np.asfortranarray(FRAMES)), TypeError),
    "batch width": (lambda: fb.batch(FRAMES[:, :-1]), ValueError),
    "batch compute raises": (lambda: raising.batch(FRAMES, num_threads=1), KeyError),
    "batch transform raises": (lambda: fb_raising_transform.batch(FRAMES, num_threads=1), KeyError),
}
if not SANITIZED:  # the sanitizer's operator new aborts instead of throwing
    FAILURES["out of memory"] = (lambda: GammatoneFilterbank(num_features=2**56), MemoryError)


def assert_flat(call):
    for _ in range(1_000):
        call()
    gc.collect()
    rss_before, blocks_before = rss(), sys.getallocatedblocks()
    for _ in range(CALLS):
        call()
    gc.collect()
    if SANITIZED:
        return
    # A leaked float or list per call would add 100,000 blocks and megabytes.
    assert sys.getallocatedblocks() - blocks_before < 500
    assert rss() - rss_before < 2 * 2**20


@pytest.mark.slow
@pytest.mark.parametrize("path", SUCCESSES)
def test_memory_is_flat_on_every_path(path):
    assert_flat(SUCCESSES[path])


@pytest.mark.slow
@pytest.mark.parametrize("path", FAILURES)
def test_memory_is_flat_on_every_error_path(path):
    call, error = FAILURES[path]

    def failing():
        try:
            call()
        except error:
            return
        raise AssertionError(f"{path} did not raise {error.__name__}")

    assert_flat(failing)


@pytest.mark.slow
def test_memory_is_flat_for_batches_on_worker_threads():
    frames = np.tile(ARRAY, (4, 1))
    calls = CALLS // 10  # a thread start per worker and call
    for extractor in (fb, summing, fb_python_transform):
        for _ in range(200):
            extractor.batch(frames, num_threads=3)
        before = rss()
        for _ in range(calls):
            extractor.batch(frames, num_threads=3)
        if not SANITIZED:
            assert rss() - before < 2 * 2**20


class Callable:
    def __call__(self, v):
        return v


class State:
    pass


def released(make, use):
    """Builds an extractor, uses it, drops it: is everything it held gone?"""
    transform, state = Callable(), State()
    extractor = make(transform)
    extractor.state = state
    refs = [weakref.ref(transform), weakref.ref(state), weakref.ref(extractor)]
    use(extractor)
    del transform, state, extractor
    gc.collect()
    return [r() is None for r in refs]


@pytest.mark.parametrize("use", [
    lambda e: None,
    lambda e: e(FRAME),
    lambda e: e(MATRIX),
    lambda e: e.batch(np.tile(ARRAY, (6, 1)), num_threads=3),
    lambda e: [e.transform for _ in range(3)],
], ids=["unused", "called", "matrix", "batch", "transform read"])
@pytest.mark.parametrize("make", [
    lambda t: type("Sub", (GammatoneFilterbank,), {})(num_samples=N, num_features=2, transform=t),
    lambda t: Summing(num_samples=N, num_features=2, transform=t),
], ids=["filterbank subclass", "python compute"])
def test_deleting_an_extractor_releases_its_transform_and_state(make, use):
    assert released(make, use) == [True, True, True]


def test_failed_calls_release_what_they_touched():
    def use(e):
        for bad in (FRAME[:-1], [1] * N, HostileSequence()):
            with pytest.raises((ValueError, TypeError, KeyError)):
                e(bad)
        with pytest.raises(TypeError):
            e.batch(np.zeros((2, N), dtype=np.float16))

    assert released(lambda t: Summing(num_samples=N, num_features=2, transform=t), use) == [True] * 3


def test_an_exception_from_compute_keeps_nothing_alive_once_dropped():
    extractor = Raising(num_samples=N, num_features=2)
    ref = weakref.ref(extractor)
    try:
        extractor(FRAME)
    except KeyError as error:
        assert error.__traceback__ is not None
    del extractor
    gc.collect()
    assert ref() is None


def test_a_transform_read_back_keeps_the_callable_alive_on_its_own():
    transform = Callable()
    ref = weakref.ref(transform)
    extractor = GammatoneFilterbank(num_samples=N, num_features=2, transform=transform)
    wrapper = extractor.transform
    del transform, extractor
    gc.collect()
    assert ref() is not None and wrapper(2.5) == 2.5
    del wrapper
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("keep", ["one record", "the list", "a record of a dropped list"])
def test_filters_keep_their_filterbank_alive_exactly_as_long_as_they_live(keep):
    filterbank = GammatoneFilterbank(num_samples=N, num_features=5)
    ref = weakref.ref(filterbank)
    cfs = [f.cf for f in filterbank.filters]
    if keep == "one record":
        kept = filterbank.filters[3]
    elif keep == "the list":
        kept = filterbank.filters
    else:
        table = filterbank.filters
        kept = table[1]
        del table
    del filterbank
    gc.collect()
    assert ref() is not None
    values = [f.cf for f in kept] if isinstance(kept, list) else [kept.cf]
    assert set(values) <= set(cfs) and all(np.isfinite(values))
    del kept
    gc.collect()
    assert ref() is None


def test_a_transform_bound_to_its_own_extractor_is_collected():
    class SelfScaling(Extractor):
        def __init__(self):
            super().__init__(num_samples=N, num_features=1, transform=self.scale)

        def scale(self, v):
            return 2 * v

        def compute(self, input, features):
            features[0] = 1.0

    extractor = SelfScaling()
    ref = weakref.ref(extractor)
    del extractor
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("close", [
    lambda transform, extractor: setattr(transform, "back", extractor.transform),
    lambda transform, extractor: setattr(transform, "back", Extractor(transform=extractor.transform)),
], ids=["transform read back", "second extractor of it"])
@pytest.mark.parametrize("cls", [GammatoneFilterbank, Summing])
def test_a_cycle_through_a_transform_read_back_is_collected(cls, close):
    transform = Callable()
    extractor = cls(num_samples=N, num_features=2, transform=transform)
    close(transform, extractor)
    refs = [weakref.ref(transform), weakref.ref(extractor)]
    del transform, extractor
    gc.collect()
    assert [r() for r in refs] == [None, None]

