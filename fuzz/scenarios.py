"""Fuzz scenarios for the _tavik bindings, driven by a string of bytes.

`run(data)` turns the bytes into one scenario: an extractor built from
arbitrary constructor arguments (hostile transforms, Python subclasses whose
`compute` misbehaves or calls back into the extractor), then a few actions on
it: `__call__` with arbitrary objects, arrays of any dtype, shape and stride,
`batch`, `GammatoneFilterbank.Filter`, `filters` and pickling. Every failure
must surface as an ordinary Python exception of an expected type, and a
failed call must leave the extractor as it was: the same properties and the
same features for a reference frame. Anything else propagates out of `run`.

The atheris driver (fuzz_bindings.py) and the pytest run (tests/test_fuzz.py)
both feed it.
"""
import array
import math
import os
import pickle
import struct
import warnings

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from _tavik import transforms
from _tavik.extractor import Extractor, FrequencyRangeWarning, GammatoneFilterbank


class Hostile(Exception):
    """Raised on purpose by the objects that the scenarios hand over."""


# What a well-behaved binding may answer to bad input. MemoryError comes
# from sizes far beyond the address space only (no real allocation).
EXPECTED = (TypeError, ValueError, IndexError, RuntimeError, MemoryError, OverflowError, Hostile,
            FrequencyRangeWarning)
PICKLING = EXPECTED + (pickle.PicklingError, AttributeError)

# AddressSanitizer's operator new aborts the process where the plain one
# throws std::bad_alloc. Under the sanitizers (`make asan`, `make fuzz`) the
# oversized counts are therefore only those that the standard library refuses
# before it allocates (std::length_error, a ValueError); elsewhere they also
# include counts that reach the allocator and fail there (MemoryError).
SANITIZED = bool(os.environ.get("TAVIK_SANITIZED"))
HUGE_COUNTS = (2**60, 2**64 - 1) if SANITIZED else (2**56, 2**60, 2**64 - 1)
HUGE_LENGTHS = (2**62,) if SANITIZED else (2**62, 2**59, 2**45)


class Bytes:
    """Consumes the fuzzer's bytes; runs dry into zeros."""

    def __init__(self, data):
        self.data = memoryview(bytes(data))
        self.pos = 0

    def take(self, n):
        chunk = bytes(self.data[self.pos:self.pos + n])
        self.pos += n
        return chunk.ljust(n, b"\0")

    def uint(self, below):
        return int.from_bytes(self.take(2), "little") % below if below > 1 else 0

    def pick(self, options):
        return options[self.uint(len(options))]

    def flag(self):
        return self.uint(2) == 1

    def sample(self):
        special = (0.0, -0.0, 1.0, -1.0, 0.5, 1e-39, -1e-39, 2.0**-126, 1e150, 1e308, -1e308,
                   5e-324, math.inf, -math.inf, math.nan)
        if self.flag():
            return self.pick(special)
        return struct.unpack("<d", self.take(8))[0]


# ---------------------------------------------------------------- hostile objects

class RaisingLen:
    def __len__(self):
        raise Hostile("__len__")

    def __getitem__(self, i):
        return 0.0


class Sequence:
    """A sequence of floats whose length may lie and whose items may raise."""

    def __init__(self, items, claimed_len, raise_at):
        self.items, self.claimed_len, self.raise_at = items, claimed_len, raise_at

    def __len__(self):
        return self.claimed_len

    def __getitem__(self, i):
        if i == self.raise_at:
            raise Hostile("__getitem__")
        return self.items[i]


class BadFloat(float):
    def __float__(self):
        raise Hostile("__float__")


class BadNumber:
    def __float__(self):
        raise Hostile("__float__")

    def __index__(self):
        raise Hostile("__index__")


class Reentering:
    """A number whose conversion first runs `reenter` (an initialiser applied
    again to the object under construction)."""

    def __init__(self, reenter, value):
        self.reenter, self.value = reenter, value

    def __index__(self):
        self.reenter()
        return self.value

    def __float__(self):
        self.reenter()
        return float(self.value)


class HostileRepr:
    """A transform whose repr raises, is not a string, holds a lone
    surrogate, or reads the repr of the extractor that holds it."""

    def __init__(self, mode, holder):
        self.mode, self.holder = mode, holder

    def __call__(self, value):
        return value

    def __repr__(self):
        if self.mode == 0:
            raise Hostile("__repr__")
        if self.mode == 1:
            return 5
        if self.mode == 2:
            return "transform \udcff"
        return "around " + repr(self.holder[0]) if self.holder else "alone"


def frame_object(src, n):
    """Something passed as a frame: near n samples, of any kind."""
    length = src.pick((n, n, n, 0, 1, max(n - 1, 0), n + 1))
    values = [src.sample() for _ in range(min(length, 64))]
    values += [0.0] * (length - len(values))
    kind = src.uint(24)
    if kind == 0:
        return values
    if kind == 1:
        return tuple(values)
    if kind == 2:
        return array.array("d", values)
    if kind == 3:
        return array.array(src.pick("fil"), [0] * length)
    if kind == 4:
        return memoryview(array.array("d", values))
    if kind == 5:
        return memoryview(bytearray(struct.pack(f"<{length}d", *values))).cast("d")
    if kind == 6:
        return [BadFloat(v) for v in values]
    if kind == 7:
        items = list(values)
        if items:
            items[src.uint(len(items))] = src.pick((1, True, None, "x", np.float32(1.0), 10**400))
        return items
    if kind == 8:
        return RaisingLen()
    if kind == 9:
        claimed = src.pick((length, length + 5, max(length - 1, 0)) + HUGE_LENGTHS)
        return Sequence(values, claimed, src.pick((-1, 0, length // 2, length)))
    if kind == 10:
        return src.pick((None, 1.0, 3, "abc", b"\0" * 8 * length, bytearray(8 * length),
                         {i: 0.0 for i in range(length)}, iter(values), object(), BadNumber()))
    return array_object(src, values, length)


def array_object(src, values, n):
    """A NumPy array of any dtype, shape, order and stride around the values."""
    base = np.array(values, dtype=np.float64)
    kind = src.uint(14)
    if kind == 0:
        a = base
    elif kind == 1:  # strided, reversed or both
        step = src.pick((2, 3, -1, -2))
        a = np.repeat(base, abs(step))[::step] if base.size else base
    elif kind == 2:  # one channel as a (1, N) matrix
        a = base.reshape(1, -1)
    elif kind == 3:  # interleaved channels, column-major view
        channels = src.pick((1, 2, 3))
        a = np.repeat(base, channels).reshape(-1, channels).T
    elif kind == 4:  # the same data in row-major order
        channels = src.pick((2, 3))
        a = np.ascontiguousarray(np.repeat(base, channels).reshape(-1, channels).T)
    elif kind == 5:
        a = base.astype(src.pick(("<f4", ">f8", "<i8", "c16", "?", "O", "f2", "<f8")))
    elif kind == 6:
        a = base.reshape(-1, 1)
    elif kind == 7:
        a = base.reshape(1, 1, -1)
    elif kind == 8:
        a = np.array(src.sample())
    elif kind == 9:
        a = np.broadcast_to(base, (src.pick((1, 2, 3)), base.size))
    elif kind == 10:
        a = np.zeros((src.pick((0, 1, 2)), n))
    elif kind == 11:
        a = np.asfortranarray(np.stack([base, -base, base]))[:, ::src.pick((1, 2))]
    elif kind == 12:  # the same values at an odd byte offset: not aligned
        a = misaligned(src.pick((base, base.reshape(1, -1), np.asfortranarray(np.stack([base, base])))))
    else:
        a = base
    if src.flag():
        a = a.view()
        a.flags.writeable = False
    return a


def misaligned(a):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    order = "F" if a.flags.f_contiguous and not a.flags.c_contiguous else "C"
    copy = np.ndarray(a.shape, dtype=np.float64, buffer=raw, offset=1, order=order)
    copy[...] = a
    return copy


def batch_frames(src, n):
    """A frames argument for batch: mostly valid layouts, some not."""
    rows = src.pick((0, 1, 2, 3, 5, 8))
    signal = np.array([src.sample() for _ in range(rows * 2 + n + 8)])
    kind = src.uint(10)
    if kind == 0:
        return sliding_window_view(signal, n)[::src.pick((1, 2, 3))][:rows] if n else np.zeros((rows, 0))
    if kind == 1:
        return np.zeros((rows, n))
    if kind == 2:
        return np.zeros((rows, n))[::-1]
    if kind == 3:
        return np.zeros((n, rows)).T
    if kind == 4:
        return np.zeros((rows, n), dtype=src.pick(("<f4", ">f8", "i8", "O")))
    if kind == 5:
        return np.broadcast_to(signal[:n], (rows, n))
    if kind == 6:
        return np.zeros((rows, n + src.pick((1, -1)))) if n else np.zeros((rows, 1))
    if kind == 7:
        return src.pick((None, [[0.0] * n] * rows, np.zeros(n), np.zeros((rows, 1, n, 1)), 1.0))
    if kind == 9:
        # Several channels per frame, any strides, float64 or float32.
        channels = src.pick((0, 1, 2, 3))
        block = np.zeros((rows, n, channels), dtype=src.pick(("<f8", "<f4"))) + signal[:n, None]
        return block.transpose(0, 2, 1) if src.flag() else np.ascontiguousarray(block.transpose(0, 2, 1))
    if kind == 8:
        return misaligned(np.zeros((rows, n)) + signal[:n])
    return np.zeros((rows, n), dtype=src.pick(("<f8", "<f4")))


# -------------------------------------------------------------- constructors

def transform_object(src, holder):
    choice = src.uint(12)
    if choice == 0:
        return None
    if choice == 1:
        return math.log10
    if choice == 2:
        return lambda v: v * 2
    if choice == 3:
        def raising(v):
            raise Hostile("transform")
        return raising
    if choice == 4:
        return src.pick((lambda v: "x", lambda v: None, lambda v: BadNumber(), lambda v: 10**400,
                         lambda v: 3, lambda v: np.float32(v), lambda v: [v]))
    if choice == 5:
        # Calls back into the extractor it belongs to.
        def reentrant(v):
            ext = holder[0]
            ext([0.0] * ext.num_samples)
            return v
        return reentrant
    if choice == 6:
        return src.pick((5, "log", object()))
    if choice == 8:
        return HostileRepr(src.uint(4), holder)
    if choice == 7:
        return src.pick((transforms.identity(), transforms.log10(), transforms.log10(1e-10),
                         transforms.dB(-100.0), transforms.dB(math.inf), transforms.power(1 / 3),
                         transforms.power(-2.0)))
    return "default"


def compute_method(src):
    """A Python compute that behaves, or not."""
    mode = src.uint(11)

    def compute(self, input, features):
        if mode == 0:
            for i in range(len(features)):
                features[i] = input[i % len(input)] if input else 0.0
        elif mode == 1:
            return [float(len(input))] * len(features)
        elif mode == 2:
            return [0.0] * (len(features) + 1)
        elif mode == 3:
            return src_bad_result
        elif mode == 4:
            raise Hostile("compute")
        elif mode == 5:
            self(input)  # recurses until RecursionError
        elif mode == 6:
            self.batch(np.zeros((2, len(input))), num_threads=2)
        elif mode == 7:
            features.clear()
        elif mode == 8:
            input.clear()
            features[:] = [1.0] * len(features)
        else:
            features[:] = [2.0] * len(features)

    src_bad_result = src.pick(("abc", 5.0, [None], [BadNumber()], b"ab", {0: 1.0}))
    return compute


def constructor_value(src, name):
    good = {
        "num_samples": (0, 1, 2, 3, 4, 8, 16),
        "num_features": (0, 1, 2, 3, 4, 8),
        "sample_rate": (8000, 16000, 44100, 1),
        "on_channel": (-1, 0, 1, 2, -5),
        "low_Hz": (50, 100.0, 20.0),
        "high_Hz": (8000, 4000.0, 2000.0),
        "temporal_integration": (0, 0.01, 0.002),
    }[name]
    if src.uint(6):
        return src.pick(good)
    common = (1.5, "8", None, BadNumber(), True)
    if name in ("num_samples", "num_features"):
        # Sizes beyond the address space only: a count that merely exceeds
        # the free memory would really be allocated, and the kernel's
        # overcommit would kill the process rather than fail the allocation.
        return src.pick(common + (-1, 2**64, np.int64(4)) + HUGE_COUNTS)
    if name in ("sample_rate", "on_channel"):
        return src.pick(common + (-1, 0, 2**31, 2**31 - 1, -(2**31) - 1, np.int32(7)))
    return src.pick(common + (math.nan, math.inf, -math.inf, -300.0, 10**400, 0))


def make_extractor(src):
    holder = []
    kwargs = {}
    for name in ("num_samples", "num_features", "sample_rate", "on_channel"):
        if src.flag():
            kwargs[name] = constructor_value(src, name)
    kwargs.setdefault("num_samples", src.pick((1, 4, 16)))
    kwargs.setdefault("num_features", src.pick((1, 3)))
    transform = transform_object(src, holder)
    if transform != "default":
        kwargs["transform"] = transform
    kind = src.uint(4)
    if kind <= 1:
        for name in ("low_Hz", "high_Hz", "temporal_integration"):
            if src.flag():
                kwargs[name] = constructor_value(src, name)
        cls = IgnoredCompute if kind == 1 else GammatoneFilterbank
    elif kind == 2:
        cls = PyCompute
    else:
        cls = src.pick(NOT_CALLABLE)
    behaviour = compute_method(src) if cls is PyCompute else None
    # A frequency range beyond the Nyquist frequency or below 0 Hz warns; the
    # warning is either ignored (the filterbank is built) or an error (it is not).
    with warnings.catch_warnings():
        warnings.simplefilter("error" if src.flag() else "ignore", FrequencyRangeWarning)
        ext = cls(**kwargs)
    if behaviour is not None:
        ext.behaviour = behaviour
    holder.append(ext)
    return ext


# The subclasses are made once: a run that made fresh classes for every input
# would mostly exercise the interpreter's and pybind11's bookkeeping of
# thousands of short-lived types rather than the module.
class IgnoredCompute(GammatoneFilterbank):
    def compute(self, input, features):
        return None


class PyCompute(Extractor):
    """compute delegates to the behaviour a scenario gives the instance."""

    def compute(self, input, features):
        return self.behaviour(self, input, features)


NOT_CALLABLE = tuple(
    type("NotCallable", (Extractor,), {"compute": value}) for value in (5, None, "compute")
)


# ------------------------------------------------------------------ invariants

def state(ext):
    return (ext.num_samples, ext.num_features, ext.sample_rate, ext.on_channel,
            ext.transform is None)


def reference(ext):
    """Features of a fixed frame, as bits, or the type of the error it raises."""
    if not isinstance(ext, GammatoneFilterbank) or ext.num_samples > 4096:
        return None
    frame = [math.sin(0.1 * i) for i in range(ext.num_samples)]
    try:
        return np.asarray(ext(frame), dtype=np.float64).view(np.uint64).tolist()
    except EXPECTED as error:
        return type(error)


def attempt(fn, allowed=EXPECTED):
    try:
        return True, fn()
    except allowed as error:
        return False, error


def check_features(ext, result):
    assert isinstance(result, list), type(result)
    assert len(result) == ext.num_features
    assert all(type(v) is float for v in result)


# --------------------------------------------------------------------- actions

def act(src, ext):
    n = ext.num_samples if ext.num_samples <= 4096 else 4
    action = src.uint(12)
    if action <= 2:
        frame = frame_object(src, n)
        ok, result = attempt(lambda: ext(frame) if src.flag() else ext(input=frame))
        if ok:
            check_features(ext, result)
    elif action == 3:
        frames = batch_frames(src, n)
        threads = src.pick((0, 1, 2, 3, 8, -1, 2**31, 1.0))
        ok, result = attempt(lambda: ext.batch(frames, num_threads=threads))
        if ok:
            assert result.shape == (frames.shape[0], ext.num_features) and result.dtype == np.float64
    elif action == 4:
        args = [src.pick((1.0, 2, -0.0, math.nan, "x", None, BadNumber())) for _ in range(4)]
        coefficients = src.pick(([1, 2, 3, 4, 5], (1.0,) * 5, [1.0] * 4, [1.0] * 6, np.arange(5.0),
                                 iter([1.0] * 5), Sequence([1.0] * 5, 5, 2), "abcde", [BadNumber()] * 5))
        ok, record = attempt(lambda: GammatoneFilterbank.Filter(*args, coefficients))
        if ok:
            assert len(record.a) == 5 and isinstance(record.cf, float)
    elif action == 5:
        if isinstance(ext, GammatoneFilterbank):
            table = ext.filters
            assert len(table) == ext.num_features
            cfs = [f.cf for f in table]
            assert all(a < b for a, b in zip(cfs, cfs[1:]))
            assert [f.cf for f in table] == cfs
    elif action == 6:
        protocol = src.pick(tuple(range(pickle.HIGHEST_PROTOCOL + 1)))
        ok, blob = attempt(lambda: pickle.dumps(ext, protocol=protocol), PICKLING)
        if ok:
            ok, copy = attempt(lambda: pickle.loads(blob), PICKLING)
            if ok:
                assert type(copy) is type(ext) and state(copy) == state(ext)
                assert reference(copy) == reference(ext)
    elif action == 7:
        # The base's initialisers applied to any instance: refused, or
        # ignored on one already built.
        initialiser = src.pick((Extractor.__init__, Extractor.__setstate__,
                                GammatoneFilterbank.__init__, GammatoneFilterbank.__setstate__))
        target = src.pick((ext, GammatoneFilterbank.__new__(GammatoneFilterbank),
                           PyCompute.__new__(PyCompute)))
        argument = src.pick(((), (4,), (5,), ((4, 2, 8000, None, -1, {}),)))
        attempt(lambda: initialiser(target, *argument))
    elif action == 8:
        # A caller named compute whose first argument is the extractor.
        def compute(extractor, frame):
            return extractor(frame)

        ok, result = attempt(lambda: compute(ext, [0.25] * n))
        if ok:
            check_features(ext, result)
    elif action == 9:
        if src.flag():
            continuous_pushes(src, ext)
        else:
            band_pushes(src, ext)
    elif action == 10:
        # An initialiser re-entered from its own argument's conversion, on a
        # new object or on the extractor itself: an exception, or one object.
        cls = src.pick((type(ext), GammatoneFilterbank, PyCompute))
        target = src.pick((ext, cls.__new__(cls)))
        inner = src.pick((lambda: cls.__init__(target), lambda: Extractor.__init__(target),
                          lambda: cls.__init__(target, num_samples=src.pick((4, BadNumber())))))
        value = Reentering(inner, src.pick((1, 4, 16)))
        name = src.pick(("num_samples", "num_features", "sample_rate", "on_channel"))
        attempt(lambda: cls.__init__(target, **{name: value}))
    elif action == 11:
        ok, text = attempt(lambda: repr(ext), EXPECTED + (RecursionError,))
        if ok:
            assert isinstance(text, str)
    else:
        ok, value = attempt(lambda: ext.transform)
        if ok and value is not None:
            attempt(lambda: value(src.sample()))


def continuous_pushes(src, ext):
    """Two pushes of a continuous pass with any hop, frame length and state:
    the features of the frames they complete, or an expected error."""
    if not isinstance(ext, GammatoneFilterbank):
        return
    # Hops whose open frames either fit in a small state or overflow the
    # state's size (a state that merely exceeds the free memory would be
    # allocated and written).
    hops = (1, 2, 2**63, 2**64 - 1, 0, -1, 2**64)
    if ext.num_samples <= 4096:
        hops += (3, 160)
    hop = src.pick(hops)
    ok, state = attempt(lambda: ext.stream_state(hop))
    if not ok:
        return
    assert state.dtype == np.float64 and state.ndim == 1
    pushed = 0
    for _ in range(2):
        values = [src.sample() if src.uint(8) == 0 else 0.1 * src.uint(20) for _ in range(src.uint(40))]
        samples = np.array(values, dtype=src.pick((np.float64, np.float32)))
        if src.flag():
            channels = src.pick((1, 2, 3))
            samples = np.repeat(samples, channels).reshape(len(values), channels)
        # Its own state, or one of another pass or none.
        ok, given = attempt(src.pick((lambda: state, lambda: state, lambda: state[:-1],
                                      lambda: state + 1.0, lambda: ext.stream_state(1),
                                      lambda: state[::-1])))
        if not ok:
            continue
        claimed = src.pick((pushed, pushed, pushed + 1, 2**64 - 1))
        ok, result = attempt(lambda: ext.stream_push(samples, hop, given, claimed, src.pick((0, 1, 2))))
        if not ok:
            if isinstance(result, ValueError) and np.isfinite(samples).all():
                assert "non-finite" not in str(result), result
            continue
        rows, state = result
        # Every channel holds the same values: any that is not finite enters.
        assert np.isfinite(samples).all(), samples
        assert state.shape == given.shape
        assert rows.shape[1] == ext.num_features and rows.dtype == np.float64
        pushed += len(samples)


def band_pushes(src, ext):
    """Two pushes of a band pass with any output name and state: every
    sample of every band, or an expected error."""
    if not isinstance(ext, GammatoneFilterbank):
        return
    output = src.pick(("envelope", "analytic", "real", "phase", ""))
    ok, state = attempt(lambda: ext.bands_state(output))
    if not ok:
        return
    pushed = 0
    for _ in range(2):
        values = [src.sample() if src.uint(8) == 0 else 0.1 * src.uint(20) for _ in range(src.uint(40))]
        samples = np.array(values, dtype=src.pick((np.float64, np.float32)))
        if src.flag():
            channels = src.pick((1, 2, 3))
            samples = np.repeat(samples, channels).reshape(len(values), channels)
        # Its own state, or one of another pass or output, or none.
        ok, given = attempt(src.pick((lambda: state, lambda: state, lambda: state[:-1],
                                      lambda: ext.bands_state("real"), lambda: ext.stream_state(1),
                                      lambda: state[::-1])))
        if not ok:
            continue
        claimed = src.pick((pushed, pushed, pushed + 1, 2**64 - 1))
        ok, result = attempt(lambda: ext.bands_push(samples, output, given, claimed,
                                                    src.pick((0, 1, 2))))
        if not ok:
            if isinstance(result, ValueError) and np.isfinite(samples).all():
                assert "non-finite" not in str(result), result
            continue
        bands, state = result
        assert np.isfinite(samples).all(), samples
        assert state.shape == given.shape
        assert bands.shape == (len(samples), ext.num_features)
        assert bands.dtype == (np.complex128 if output == "analytic" else np.float64)
        pushed += len(samples)


def run(data):
    # Casts and transforms overflow on purpose: NumPy's warnings about it
    # are not what is under test.
    with np.errstate(all="ignore"):
        scenario(Bytes(data))


def scenario(src):
    ok, ext = attempt(lambda: make_extractor(src))
    if not ok:
        return
    before, bits = state(ext), reference(ext)
    for _ in range(1 + src.uint(4)):
        act(src, ext)
        assert state(ext) == before
        assert reference(ext) == bits


# ------------------------------------------------------------ daemons at exit

def run_daemons(seed, threads, seconds):
    """Runs random scenarios on daemon threads, `threads` at a time, then
    returns after `seconds` while they run: the interpreter then exits with
    batches, computes and transforms (failing ones among them) in progress on
    those threads. What a scenario raises beyond its expected errors is
    reported on stderr, and returned as a count by the last thread to look."""
    import random
    import sys
    import threading
    import time

    unexpected = []

    def loop(generator):
        while True:
            data = generator.randbytes(400)
            try:
                run(data)
            except BaseException as error:  # noqa: BLE001 - reported below
                if not unexpected:
                    print(f"scenario {data.hex()} raised {error!r}", file=sys.stderr)
                unexpected.append(error)

    for t in range(threads):
        threading.Thread(target=loop, args=(random.Random(seed * 1000 + t),), daemon=True).start()
    time.sleep(seconds)
    return len(unexpected)
