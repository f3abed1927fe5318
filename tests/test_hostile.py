"""Hostile Python code, each case in its own interpreter with a time limit: it
must end by a Python exception or normally, never by a signal or a hang."""
import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import os, pickle, signal, sys, threading, time
import numpy as np
from _tavik.extractor import Extractor, GammatoneFilterbank
class Summing(Extractor):
    def compute(self, input, features):
        return [sum(input)] * len(features)
"""

SCRIPTS = {
    # Any protocol, any class: the same bits after the round trip.
    "pickle protocols": """
        fb, f = GammatoneFilterbank(num_samples=64, num_features=8), GammatoneFilterbank.Filter(1.0, 2.0, 3.0, 4.0, [1, 2, 3, 4, 5])
        s, x = Summing(num_samples=64, num_features=2), np.linspace(-1, 1, 64)
        for p in range(pickle.HIGHEST_PROTOCOL + 1):
            for e in (fb, s):
                assert pickle.loads(pickle.dumps(e, p))(x) == e(x)
            g = pickle.loads(pickle.dumps(f, p))
            assert (g.cf, g.gain, g.a) == (f.cf, f.gain, f.a)
    """,
    # Base initialisers on a filterbank, built or not: TypeError, still usable.
    "cross-class initialisers": """
        fb = GammatoneFilterbank(num_samples=64, num_features=8)
        before = fb(np.ones(64))
        for target in (fb, GammatoneFilterbank.__new__(GammatoneFilterbank)):
            for call in (lambda: Extractor.__init__(target), lambda: Extractor.__init__(target, num_samples=4),
                         lambda: Extractor.__setstate__(target, 5), lambda: Extractor.__setstate__(target, (4, 2, 1, None, -1, {}))):
                try:
                    call()
                    raise SystemExit("accepted")
                except TypeError:
                    pass
        assert fb(np.ones(64)) == before
    """,
    # A caller named compute, from one thread or eight.
    "caller named compute": """
        m = Summing(num_samples=4, num_features=2)
        def compute(extractor, frame):
            return extractor.batch(frame, num_threads=8) if frame.ndim == 2 else extractor(frame)
        assert compute(m, np.ones(4)) == [4.0, 4.0]
        assert (compute(m, np.ones((300, 4))) == 4.0).all()
        class Recursing(Extractor):
            def compute(self, input, features):
                return self.batch(np.array([input]), num_threads=2)[0]
        try:
            Recursing(num_samples=4, num_features=1)([0.0] * 4)
            raise SystemExit("no RecursionError")
        except RecursionError:
            pass
    """,
    # A transform bound to its own extractor pickles as getattr(extractor,
    # name) and round-trips; with an unpicklable attribute it is refused; its
    # repr shows the extractor once. Neither the check that names an
    # unpicklable transform nor the repr recurses through the extractor, even
    # on a thread with a small stack.
    "pickling a transform bound to its own extractor": """
        class Scaling(Summing):
            def __init__(self, gain, **kw):
                super().__init__(num_samples=4, num_features=1, transform=self.scale, **kw)
                self.gain = gain
            def scale(self, v):
                return self.gain * v
        def trip(results):
            e = Scaling(3.0, sample_rate=8000)
            back = pickle.loads(pickle.dumps(e))
            results.append((back([1.0] * 4), back.transform.__self__ is back, back.sample_rate))
            results.append(repr(e).endswith("transform=..., on_channel=-1)>, on_channel=-1)"))
            locked = Scaling(1.0)
            locked.lock = threading.Lock()
            try:
                pickle.dumps(locked)
            except TypeError as error:
                results.append(str(error))
        threading.stack_size(512 * 1024)
        results = []
        worker = threading.Thread(target=trip, args=(results,))
        worker.start()
        worker.join()
        assert results == [([12.0], True, 8000), True, "transform Scaling.scale cannot be pickled"], results
    """,
    "sub-interpreter": """
        import _tavik
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            result = interpreters.run_string(interp, "import _tavik")  # 3.13: what it raised
        except Exception as error:  # 3.10 to 3.12
            result = error
        assert "ImportError" in repr(result) or isinstance(result, ImportError) or "RunFailedError" in repr(result), result
        assert "subinterpreter" in str(getattr(result, "msg", result)).replace("-", ""), result
    """,
    # A collection at every allocation, so that one runs while pybind11 lays
    # out a new instance of a class it has not seen: the collector visits the
    # instance before it has a native part.
    "collection while an instance is made": """
        import gc
        gc.set_threshold(1)
        for i in range(300):
            cls = type("Fresh", ((Extractor, GammatoneFilterbank)[i % 2],), {"compute": lambda self, i, f: None})
            obj = cls(num_samples=16, num_features=4)
            obj.cycle = obj
        gc.set_threshold(700)
        gc.collect()
    """,
    # An initialiser re-entered from its own argument conversion, or from a
    # warning hook during construction: an exception, never two native parts.
    "re-entered initialisers": """
        import warnings
        from _tavik.transforms import log10
        G, F = GammatoneFilterbank, GammatoneFilterbank.Filter
        def reenter(init, *args):
            class Index:
                def __index__(self):
                    init(*args)
                    return 8
                def __float__(self):
                    init(*args)
                    return 8.0
            return Index()
        cases = []
        for cls, init in ((G, lambda o: G.__init__(o)), (Summing, lambda o: Extractor.__init__(o)),
                          (G, lambda o: G.__setstate__(o, G().__getstate__()))):
            cases.append((cls, lambda o, init=init: cls.__init__(o, num_samples=reenter(init, o))))
            cases.append((cls, lambda o, init=init: cls.__setstate__(o, (reenter(init, o),) + cls().__getstate__()[1:])))
        cases.append((F, lambda o: F.__init__(o, reenter(lambda: F.__init__(o, 1, 2, 3, 4, [1] * 5)), 2, 3, 4, [1] * 5)))
        cases.append((log10, lambda o: log10.__init__(o, reenter(lambda: log10.__init__(o)))))
        for cls, call in cases:
            o = cls.__new__(cls)
            try:
                call(o)
            except TypeError:
                pass
            del o
        o = G.__new__(G)
        def hook(*args, **kwargs):
            G.__init__(o)
        warnings.showwarning = hook
        try:
            G.__init__(o, sample_rate=8000)
        except TypeError:
            pass
        del o
    """,
    # A helper thread that cannot allocate its frame: MemoryError, as on one thread.
    "batch helpers out of memory": """
        import tavik
        if os.environ.get("TAVIK_SANITIZED"):
            raise SystemExit(0)  # the sanitizer's operator new aborts instead of throwing
        fb = GammatoneFilterbank(num_samples=16, num_features=4, sample_rate=8000, high_Hz=3000)
        for threads in (1, 2, 4):
            try:
                fb.batch(np.broadcast_to(np.zeros((1, 1, 16)), (2, 2**40, 16)), num_threads=threads)
                raise SystemExit("no MemoryError")
            except MemoryError:
                pass
        try:
            tavik.gammatonegram(np.broadcast_to(np.zeros((1, 1)), (16000, 2**36)), 16000, num_threads=2)
            raise SystemExit("no MemoryError")
        except MemoryError:
            pass
    """,
    # A class that would hold two native parts is refused where it is defined.
    "two native parts": """
        class Python(Extractor):
            pass
        for bases in ((Python, GammatoneFilterbank), (GammatoneFilterbank, Python)):
            try:
                type("Both", bases, {})
                raise SystemExit(f"{bases} accepted")
            except TypeError as e:
                assert "an object holds one native part" in str(e), e
        try:  # refused by CPython itself: the layouts differ
            type("Both", (Python, GammatoneFilterbank.Filter), {})
            raise SystemExit("Filter accepted")
        except TypeError:
            pass
        class Other(Extractor):
            pass
        Diamond = type("Diamond", (Python, Other), {"compute": lambda self, i, f: None})
        Diamond(num_samples=4, num_features=2).cycle = None
    """,
    # No more than a few threads per core, however many are asked for.
    "thread cap": """
        seen = []
        class Counting(Extractor):
            def compute(self, input, features):
                seen.append(len(os.listdir("/proc/self/task")))
                features[0] = 1.0
        Counting(num_samples=1, num_features=1).batch(np.zeros((2000, 1)), num_threads=2**31 - 1)
        assert max(seen) <= 4 * len(os.sched_getaffinity(0)) + 4, max(seen)
    """,
}
for kind in ("native", "lambda transform", "python compute", "sleeping compute"):
    for threads in (1, 2):
        SCRIPTS[f"daemon batch at exit, {kind}, {threads} threads"] = f"""
            if {kind!r}.endswith("compute"):
                class P(Extractor):
                    def compute(self, input, features):
                        if {kind!r} == "sleeping compute":
                            time.sleep(0.0005)  # lets the exiting thread run
                        features[0] = input[0]
                e = P(num_samples=256, num_features=1)
            else:
                e = GammatoneFilterbank(num_samples=256, num_features=8,
                                        **({{}} if {kind!r} == "native" else {{"transform": lambda v: v}}))
            frames = np.broadcast_to(np.linspace(-1, 1, 256), (400_000, 256))
            threading.Thread(target=e.batch, args=(frames,), kwargs={{"num_threads": {threads}}}, daemon=True).start()
            time.sleep(0.3)
        """
for threads in (1, 2):
    SCRIPTS[f"ctrl-c in batch, {threads} threads"] = f"""
        fb = GammatoneFilterbank()
        frames = np.lib.stride_tricks.sliding_window_view(np.random.default_rng(0).standard_normal(3_000_000), 1024)
        sent = []
        signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started in the background
        threading.Timer(0.3, lambda: (sent.append(time.perf_counter()), os.kill(os.getpid(), signal.SIGINT))).start()
        try:
            fb.batch(frames, num_threads={threads})
            raise SystemExit("not interrupted")
        except KeyboardInterrupt:
            print(f"interrupted after {{time.perf_counter() - sent[0]:.3f}} s")
        assert fb.batch(frames[:3]).shape == (3, 64)
    """

# A transform written in C holds the lock without entering the interpreter's
# loop: the rows after the native work (here nearly all of the batch's time)
# still let Ctrl-C in.
SCRIPTS["ctrl-c in batch, C transform"] = """
    import math
    fb = GammatoneFilterbank(num_samples=1, num_features=256, sample_rate=16000, high_Hz=4000,
                             transform=math.sqrt)
    frames = np.ones((100_000, 1))
    sent = []
    signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Timer(0.5, lambda: (sent.append(time.perf_counter()), os.kill(os.getpid(), signal.SIGINT))).start()
    try:
        fb.batch(frames, num_threads=2)
        raise SystemExit("not interrupted")
    except KeyboardInterrupt:
        print(f"interrupted after {time.perf_counter() - sent[0]:.3f} s")
"""

# A Python transform or compute that calls its own extractor, on a thread of
# a small stack: RecursionError, never a stack overflow.
SCRIPTS["recursion through a transform or a compute on a small stack"] = """
    # AddressSanitizer's frames are several times larger than plain ones.
    threading.stack_size(1 << (23 if os.environ.get("TAVIK_SANITIZED") else 18))
    frame = np.ones((1, 16))
    def transform(value):
        fb.batch(frame, num_threads=1)
        return value
    fb = GammatoneFilterbank(num_samples=16, num_features=2, sample_rate=16000, high_Hz=4000,
                             transform=transform)
    class Calling(Extractor):
        def compute(self, input, features):
            self(list(input))
    calling = Calling(num_samples=16, num_features=1)
    calls = [lambda: fb.batch(frame, num_threads=1), lambda: fb(list(frame[0])),
             lambda: calling.batch(frame), lambda: calling(list(frame[0]))]
    raised = []
    def run():
        for call in calls:
            try:
                call()
            except RecursionError:
                raised.append(True)
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    assert len(raised) == len(calls), raised
"""

# Daemon threads whose module calls fail, or whose Python code lets other
# threads run, while the interpreter exits: each kind loops on 1 and on 2
# threads at once, and the child runs twice (the faults were timing-dependent).
DAEMON_LOOPS = {
    "native failure": """
        fb = GammatoneFilterbank(num_samples=64, num_features=8, on_channel=5)
        frames = np.zeros((2000, 2, 64))
        def call(threads):
            try:
                fb.batch(frames, num_threads=threads)
            except IndexError:
                pass
    """,
    "failing compute": """
        class Failing(Extractor):
            def compute(self, input, features):
                raise ValueError("no features")
        e, frames = Failing(num_samples=16, num_features=1), np.zeros((200, 16))
        def call(threads):
            try:
                e.batch(frames, num_threads=threads)
            except ValueError:
                pass
    """,
    "failing transform": """
        def fail(value):
            raise ValueError("no transform")
        fb, frames = GammatoneFilterbank(num_samples=16, num_features=2, transform=fail), np.zeros((200, 16))
        def call(threads):
            try:
                fb.batch(frames, num_threads=threads)
            except ValueError:
                pass
    """,
    "sleeping compute called": """
        class Sleeping(Extractor):
            def compute(self, input, features):
                time.sleep(0.0005)
                features[0] = 1.0
        e = Sleeping(num_samples=16, num_features=1)
        def call(threads):
            e(np.zeros(16)) if threads == 1 else e.batch(np.zeros((50, 16)), num_threads=threads)
    """,
    "sleeping __reduce__ pickled": """
        class Slow:
            def __call__(self, value):
                return value
            def __reduce__(self):
                time.sleep(0.0005)
                return (Slow, ())
        fb = GammatoneFilterbank(num_samples=16, num_features=2, transform=Slow())
        def call(threads):
            pickle.dumps(fb)
    """,
    "cepstra": """
        from _tavik.cepstra import dct_rows
        features = np.ones((20_000, 64))
        def call(threads):
            dct_rows(features, 13)
    """,
}
for kind, loop in DAEMON_LOOPS.items():
    SCRIPTS[f"daemon loop at exit, {kind}"] = textwrap.dedent(loop) + """
def forever(threads):
    while True:
        call(threads)
for threads in (1, 2):
    threading.Thread(target=forever, args=(threads,), daemon=True).start()
time.sleep(0.2)
"""

# A batch run by a finaliser while the interpreter exits (a cycle collected
# then), with Python code on 2 threads: every row computed, or an exception.
for kind in ("python compute", "python transform"):
    SCRIPTS[f"batch in a finaliser at exit, {kind}"] = f"""
        if {kind!r} == "python compute":
            e = Summing(num_samples=16, num_features=2)
        else:
            e = GammatoneFilterbank(num_samples=16, num_features=4, sample_rate=8000,
                                    high_Hz=3000, transform=lambda v: v + 1.0)
        frames = np.random.default_rng(1).standard_normal((4000, 16))
        expected = e.batch(frames).tolist()
        class Finaliser:
            def __del__(self):
                try:
                    rows = e.batch(frames, num_threads=2).tolist()
                except Exception:
                    return
                if rows != expected:
                    os.write(2, b"a partial batch returned as a result")
                    os._exit(1)
        cycle = Finaliser()
        cycle.itself = cycle
        kept = [cycle]  # freed as the modules are cleared, collected then
        del cycle
    """

# The continuous pass: Ctrl-C ends a long push, which leaves the state as it
# was; a daemon thread inside a push at exit does not take the process down.
for threads in (1, 2):
    SCRIPTS[f"ctrl-c in a continuous push, {threads} threads"] = f"""
        fb = GammatoneFilterbank(num_samples=400, sample_rate=16000)
        samples, state = np.broadcast_to(np.float64(0.1), (40_000_000,)), fb.stream_state(160)
        sent = []
        signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started in the background
        threading.Timer(0.3, lambda: (sent.append(time.perf_counter()), os.kill(os.getpid(), signal.SIGINT))).start()
        try:
            fb.stream_push(samples, 160, state, 0, num_threads={threads})
            raise SystemExit("not interrupted")
        except KeyboardInterrupt:
            print(f"interrupted after {{time.perf_counter() - sent[0]:.3f}} s")
        assert (state == fb.stream_state(160)).all()
    """
    for kind in ("native", "lambda transform"):
        SCRIPTS[f"daemon continuous push at exit, {kind}, {threads} threads"] = f"""
            fb = GammatoneFilterbank(num_samples=400, sample_rate=16000,
                                     **({{}} if {kind!r} == "native" else {{"transform": lambda v: v}}))
            samples = np.broadcast_to(np.float64(0.1), (40_000_000,))
            threading.Thread(target=fb.stream_push, args=(samples, 160, fb.stream_state(160), 0, {threads}),
                             daemon=True).start()
            time.sleep(0.3)
        """


# Three groups of filters on two threads: the calling thread's share (one
# group) is done at about half the push, the other thread's at its end. The
# scalar kernel takes the same time for each filter (a wider one may run two
# groups for the price of one). The push is sized from a first, timed one to
# last about 4.5 s, and Ctrl-C comes at 3 s, after the calling thread's own
# share.
SCRIPTS["ctrl-c in a continuous push, filters split unevenly over 2 threads"] = """
    os.environ["TAVIK_KERNEL"] = "scalar"
    fb = GammatoneFilterbank(num_samples=400, num_features=24, sample_rate=16000)
    state = fb.stream_state(160)
    probe = 2_000_000
    start = time.perf_counter()
    fb.stream_push(np.broadcast_to(np.float64(0.1), (probe,)), 160, state, 0, num_threads=2)
    rate = probe / (time.perf_counter() - start)
    samples = np.broadcast_to(np.float64(0.1), (int(rate * 4.5),))
    sent = []
    signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started in the background
    threading.Timer(3.0, lambda: (sent.append(time.perf_counter()), os.kill(os.getpid(), signal.SIGINT))).start()
    try:
        fb.stream_push(samples, 160, state, 0, num_threads=2)
        raise SystemExit("not interrupted")
    except KeyboardInterrupt:
        print(f"interrupted after {time.perf_counter() - sent[0]:.3f} s")
"""


SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONPATH", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TAVIK_SANITIZED")


def child_environment(name):
    """The daemon cases run the plain module even under `make asan`: there
    AddressSanitizer reports the forced unwinding with which the exiting
    interpreter ends the thread (pthread_exit) as a stack-buffer-overflow
    inside its own sigaltstack interceptor, a report about itself."""
    if not name.startswith("daemon"):
        return None
    return {k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES}


# A daemon thread that keeps running Python code (here, a compute raising on
# every frame, on the calling thread as in plain Python) while the interpreter
# exits can crash CPython 3.10 itself: its take_gil reads the interpreter
# after it is freed (seen as often in a plain Python loop with NumPy loaded,
# without this module), which 3.11 mended.
CRASHES_CPYTHON_310 = {"daemon loop at exit, failing compute"}


@pytest.mark.parametrize("name", sorted(SCRIPTS))
def test_hostile_code_ends_normally(name):
    if name in CRASHES_CPYTHON_310 and sys.version_info < (3, 11):
        pytest.skip("CPython 3.10 itself crashes on a daemon thread running Python code at exit")
    code = PRELUDE + textwrap.dedent(SCRIPTS[name])
    for _ in range(2 if name.startswith("daemon loop") else 1):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                             env=child_environment(name))
        assert out.returncode == 0, (out.returncode, out.stderr[-2000:])
    if name.startswith("ctrl-c"):
        # Measured, with room for a loaded machine: the batch checks every 20 ms.
        assert float(out.stdout.split()[2]) < 1.0, out.stdout


# In-process cases of the same group: the sound result, never a misleading one.
import pickle  # noqa: E402

import numpy as np  # noqa: E402

import tavik  # noqa: E402
from _tavik.extractor import Extractor, GammatoneFilterbank  # noqa: E402


def small_filterbank(**kw):
    return GammatoneFilterbank(num_samples=16, num_features=4, sample_rate=8000, high_Hz=3000, **kw)


@pytest.mark.parametrize("call", [
    lambda fb: fb.batch(np.zeros((3, 0, 16))),
    lambda fb: fb.batch(np.zeros((3, 0, 16)), num_threads=2),
    lambda fb: fb(np.zeros((0, 16), order="F")),
    lambda fb: tavik.gammatonegram(np.zeros((100, 0)), 8000, num_samples=16, hop=16, num_features=4,
                                   high_Hz=3000),
], ids=["batch", "batch on 2 threads", "matrix call", "gammatonegram"])
def test_frames_without_channels_are_refused_everywhere(call):
    with pytest.raises(ValueError, match="^Input signal has no channels$"):
        call(small_filterbank())


class Named(str):
    """A callable str subclass: it must pickle as itself, whatever its text."""

    def __call__(self, value):
        return value * 2.0


@pytest.mark.parametrize("text", ["log10", "identity", "scale"])
def test_a_callable_str_transform_keeps_its_meaning_through_pickling(text):
    fb = small_filterbank(transform=Named(text))
    again = pickle.loads(pickle.dumps(fb))
    frame = np.linspace(-1, 1, 16)
    assert again(frame) == fb(frame)
    assert type(again.transform(1.0)) is float and again.transform(1.0) == 2.0


def test_repr_of_a_transform_with_a_lone_surrogate():
    class Path:
        def __call__(self, value):
            return value

        def __repr__(self):
            return "Path('caf\udce9.wav')"

    text = repr(small_filterbank(transform=Path()))
    assert "transform=Path('caf\udce9.wav')" in text and text.startswith("GammatoneFilterbank(")


def test_gammatonegram_without_a_transform_gives_the_raw_features():
    signal = np.random.default_rng(3).standard_normal(800)
    g = tavik.gammatonegram(signal, 8000, num_samples=160, hop=80, num_features=8, high_Hz=3000,
                            transform=None, mode="frames")
    raw = GammatoneFilterbank(num_samples=160, num_features=8, sample_rate=8000, high_Hz=3000,
                              transform=tavik.transforms.identity())
    assert g.transform is None
    assert (g.features == raw.batch(np.lib.stride_tricks.sliding_window_view(signal, 160)[::80])).all()


class Interrupting:
    """A number whose conversion is interrupted (Ctrl-C)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        raise KeyboardInterrupt


class InterruptingCompute(Extractor):
    @property
    def compute(self):
        raise KeyboardInterrupt


class ReturningInterrupting(Extractor):
    def compute(self, input, features):
        return [Interrupting(1.0)] * len(features)


@pytest.mark.parametrize("call", [
    lambda: ReturningInterrupting(num_samples=4, num_features=2)([0.0] * 4),
    lambda: InterruptingCompute(num_samples=4, num_features=2)([0.0] * 4),
    lambda: small_filterbank(transform=lambda v: Interrupting(v))(np.zeros(16)),
    lambda: small_filterbank(transform=lambda v: Interrupting(v)).batch(np.zeros((4, 16)), num_threads=2),
], ids=["feature", "compute property", "transform result", "transform result in batch"])
def test_keyboard_interrupt_in_a_conversion_passes_through(call):
    with pytest.raises(KeyboardInterrupt):
        call()
