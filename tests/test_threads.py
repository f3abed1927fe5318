"""Many Python threads on one extractor, and batch beside other threads:
identical bits, no deadlock. Each test is bounded twice: pytest-timeout for
a test that hangs in Python, and faulthandler, whose watchdog needs no
interpreter lock, for one that hangs holding it (it dumps every thread and
ends the process)."""
import faulthandler
import threading

import numpy as np
import pytest

from _tavik.extractor import Extractor, GammatoneFilterbank

LIMIT = 120
pytestmark = pytest.mark.timeout(LIMIT)


@pytest.fixture(autouse=True)
def hard_limit():
    faulthandler.dump_traceback_later(LIMIT + 30, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def run_threads(count, target):
    """Runs target(index) on `count` threads started together; returns the
    results in index order and re-raises the first failure."""
    results, errors = [None] * count, []
    start = threading.Barrier(count)

    def body(index):
        try:
            start.wait()
            results[index] = target(index)
        except BaseException as error:  # noqa: B036 - reported below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(LIMIT)
    assert not any(thread.is_alive() for thread in threads), "deadlock: threads still running"
    if errors:
        raise errors[0]
    return results


SIGNAL = np.random.default_rng(11).standard_normal(40_000)
FRAMES = np.lib.stride_tricks.sliding_window_view(SIGNAL, 512)[::97]


class Energy(Extractor):
    def compute(self, input, features):
        features[0] = sum(v * v for v in input)
        features[1] = max(input)


@pytest.mark.parametrize("make", [
    lambda: GammatoneFilterbank(num_samples=512, num_features=12),
    lambda: GammatoneFilterbank(num_samples=512, num_features=12, transform=lambda v: v * 3.0),
    lambda: Energy(num_samples=512, num_features=2, transform=lambda v: -v),
], ids=["native", "python transform", "python compute"])
def test_eight_threads_calling_one_extractor(make):
    extractor = make()
    frames = FRAMES[:40]
    expected = bits([extractor(frame) for frame in frames])

    def work(index):
        rows = []
        for k, frame in enumerate(frames):
            # Every thread its own mix of input paths.
            if (k + index) % 3 == 0:
                rows.append(extractor(list(frame)))
            elif (k + index) % 3 == 1:
                rows.append(extractor(frame))
            else:
                rows.append(extractor(frame.reshape(1, -1)))
        return bits(rows)

    for result in run_threads(8, work):
        assert (result == expected).all()


def test_batch_on_all_threads_while_other_python_threads_run():
    extractor = GammatoneFilterbank(num_samples=512, num_features=16, temporal_integration=0.004)
    expected = bits(extractor.batch(FRAMES, num_threads=1))
    stop = threading.Event()
    ticks = [0] * 3

    def busy(index):
        # Pure Python work that needs the interpreter lock: it must progress
        # while batches run with the lock released.
        while not stop.is_set():
            ticks[index] += 1
            sum(range(200))

    busy_threads = [threading.Thread(target=busy, args=(i,), daemon=True) for i in range(3)]
    for thread in busy_threads:
        thread.start()
    try:
        before = sum(ticks)
        results = run_threads(4, lambda i: bits(extractor.batch(FRAMES, num_threads=0)))
        progressed = sum(ticks) - before
    finally:
        stop.set()
        for thread in busy_threads:
            thread.join(LIMIT)
    assert not any(thread.is_alive() for thread in busy_threads)
    for result in results:
        assert (result == expected).all()
    assert progressed > 0


@pytest.mark.parametrize("threads", [2, 4, 8])
def test_python_transform_and_compute_inside_batch(threads):
    # Python code runs on the thread that called batch only, the native work
    # on all of them, with the bits of frame-by-frame calls.
    ran_on = []

    class Recording(Energy):
        def compute(self, input, features):
            ran_on.append(threading.get_ident())
            super().compute(input, features)

    def transform(v):
        ran_on.append(threading.get_ident())
        return v * 0.5

    fb = GammatoneFilterbank(num_samples=512, num_features=4, transform=transform)
    energy = Recording(num_samples=512, num_features=2, transform=lambda v: v + 1.0)
    for extractor in (fb, energy):
        expected = bits([extractor(frame) for frame in FRAMES])
        ran_on.clear()
        assert (bits(extractor.batch(FRAMES, num_threads=threads)) == expected).all()
        assert set(ran_on) == {threading.get_ident()}
        # The same again from several Python threads at once.
        ran_on.clear()
        callers = run_threads(3, lambda i: (threading.get_ident(),
                                            bits(extractor.batch(FRAMES, num_threads=threads))))
        for _, result in callers:
            assert (result == expected).all()
        assert set(ran_on) == {caller for caller, _ in callers}


@pytest.mark.parametrize("mode", ["continuous", "frames"])
def test_python_transform_of_a_stream_runs_on_the_pushing_thread(mode):
    import tavik
    ran_on = []

    def transform(v):
        ran_on.append(threading.get_ident())
        return v * 0.5

    signal = np.random.default_rng(3).standard_normal(8000)
    stream = tavik.GammatoneStream(16000, num_samples=400, hop=160, num_features=8, transform=transform,
                                   mode=mode, num_threads=2)
    rows = np.concatenate([stream.push(signal[:3000]), stream.push(signal[3000:])])
    expected = tavik.gammatonegram(signal, 16000, num_samples=400, hop=160, num_features=8,
                                   transform=lambda v: v * 0.5, mode=mode, num_threads=1).features
    assert (bits(rows) == bits(expected)).all()
    assert set(ran_on) == {threading.get_ident()}


def test_failures_on_threads_are_each_threads_own():
    class Picky(Extractor):
        def compute(self, input, features):
            if input[0] < 0:
                raise ValueError(f"negative {input[0]}")
            features[0] = input[0]

    picky = Picky(num_samples=1, num_features=1)
    good = np.arange(50.0).reshape(50, 1)

    def work(index):
        if index % 2:
            with pytest.raises(ValueError, match="negative -3.0"):
                picky.batch(np.concatenate([good, [[-3.0]], [[-4.0]]]), num_threads=3)
            return None
        return bits(picky.batch(good, num_threads=3))

    for result in run_threads(6, work):
        if result is not None:
            assert (result == bits(good)).all()


def test_reentrant_batch_from_python_compute_ends():
    # compute calls batch on its own extractor: a batch inside a batch runs on
    # its calling thread alone, so the recursion ends in RecursionError rather
    # than in new threads at every level.
    class Nested(Extractor):
        def compute(self, input, features):
            features[0] = float(self.batch(np.zeros((3, 2)), num_threads=2).sum())

    nested = Nested(num_samples=2, num_features=1)
    for _ in range(20):
        with pytest.raises(RecursionError):
            nested.batch(np.zeros((4, 2)), num_threads=2)
