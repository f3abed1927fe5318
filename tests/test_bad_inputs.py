"""Every row of the documentation's table of bad inputs (docs/bad_inputs.csv,
shown on the page "Bad input and what it gets"), checked: the table and these
cases must name the same inputs, and each input gets what its row says."""
import copy
import csv
import gc
import importlib.util
import io
import itertools
import os
import pickle
import signal
import subprocess
import sys
import tempfile
import threading
import weakref
import zipfile
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import tavik
from _tavik import transforms
from _tavik.extractor import Extractor, FrequencyRangeWarning, GammatoneFilterbank

TABLE = Path(__file__).resolve().parents[1] / "docs" / "bad_inputs.csv"
SANITIZED = bool(os.environ.get("TAVIK_SANITIZED"))


def table_rows():
    with TABLE.open(newline="", encoding="utf-8") as file:
        return {row["input"]: row["result"] for row in csv.DictReader(file)}


fb = GammatoneFilterbank(num_samples=1024, num_features=32)
small = GammatoneFilterbank(num_samples=4, num_features=2)
FRAME = [0.0] * 1024


class Python(Extractor):
    def __init__(self, behaviour, **kw):
        super().__init__(**kw)
        self.behaviour = behaviour

    def compute(self, input, features):
        return self.behaviour(self, input, features)


class Failing(Exception):
    pass


def fail(*args):
    raise Failing("own error")


class Sequence:
    def __init__(self, length, raise_at=None, claim=None):
        self.length, self.raise_at, self.claim = length, raise_at, claim

    def __len__(self):
        if self.raise_at == "len":
            raise Failing("len")
        return self.claim if self.claim is not None else self.length

    def __getitem__(self, i):
        if i == self.raise_at or i >= self.length:
            raise Failing("item") if i == self.raise_at else IndexError(i)
        return 0.0


def raises(error, message=None, call=None):
    return error, message, call


class Interrupting:
    def __float__(self):
        raise KeyboardInterrupt


class Surrogate:
    def __call__(self, value):
        return value

    def __repr__(self):
        return "Surrogate('caf\udce9')"


def reentered_through_a_warning_hook():
    import warnings

    target = GammatoneFilterbank.__new__(GammatoneFilterbank)
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = lambda *args, **kwargs: GammatoneFilterbank.__init__(target)
        GammatoneFilterbank.__init__(target, sample_rate=8000)


def reentered_through_index():
    target = GammatoneFilterbank.__new__(GammatoneFilterbank)

    class Index:
        def __index__(self):
            GammatoneFilterbank.__init__(target)
            return 16

    GammatoneFilterbank.__init__(target, num_samples=Index())


class Reentrant(Extractor):
    def compute(self, input, features):
        return self(input)


class Summing(Extractor):
    def compute(self, input, features):
        return [sum(input)] * len(features)


def compute(extractor, frame):  # pybind11 took such a caller for the override itself
    return extractor(frame)


class Keeping(GammatoneFilterbank):
    def __init__(self):
        super().__init__(num_samples=4, num_features=8)
        self.table = self.filters


class SelfBound(Extractor):
    def __init__(self):
        super().__init__(num_samples=4, num_features=1, transform=self.twice)

    def twice(self, v):
        return 2 * v


class ReadBack:
    """A transform that keeps an extractor built from its own read-back."""

    def __call__(self, v):
        return v

    @classmethod
    def cycle(cls):
        transform = cls()
        first = GammatoneFilterbank(num_samples=4, num_features=2, transform=transform)
        transform.back = Extractor(num_samples=4, num_features=1, transform=first.transform)
        return transform


class Slotted(GammatoneFilterbank):
    __slots__ = ("level",)


def collected(make):
    ref = weakref.ref(make())
    gc.collect()
    return ref() is None, True


def slot_copies():
    obj = Slotted(num_samples=4, num_features=2)
    obj.level = 3.0
    return [c.level for c in (copy.copy(obj), copy.deepcopy(obj), pickle.loads(pickle.dumps(obj, 0)))], [3.0] * 3


def interrupted_batch():
    """batch over many frames while SIGUSR1, whose handler raises, arrives."""
    def handler(signum, frame):
        raise Failing("signal")

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        timer.start()
        fb.batch(np.broadcast_to(np.linspace(-1, 1, 1024), (10**6, 1024)), num_threads=1)
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, previous)


def interrupted_push():
    """stream_push over a long signal, three groups of filters on two threads
    (the calling thread's share is done first), while SIGUSR1, whose handler
    raises, arrives."""
    def handler(signum, frame):
        raise Failing("signal")

    bank = GammatoneFilterbank(num_samples=400, num_features=24, sample_rate=16000)
    state = bank.stream_state(160)
    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        timer.start()
        bank.stream_push(np.broadcast_to(np.float64(0.1), (10**9,)), 160, state, 0, num_threads=2)
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, previous)


def continuous_call(call, signal_=None):
    """A call of the continuous pass that must fail, and whether the state
    and the stream it was given are unchanged afterwards."""
    bank = GammatoneFilterbank(num_samples=400, num_features=5, sample_rate=16000)
    state = bank.stream_state(160)
    rows, state = bank.stream_push(np.ones(500), 160, state, 0)
    kept = state.copy()
    call(bank, state)
    assert state.tobytes() == kept.tobytes()


def band_call(call):
    """A call of the band pass that must fail, and whether the state it was
    given is unchanged afterwards."""
    bank = GammatoneFilterbank(num_samples=400, num_features=5, sample_rate=16000)
    _, state = bank.bands_push(np.ones(500), "real", bank.bands_state("real"), 0)
    kept = state.copy()
    call(bank, state)
    assert state.tobytes() == kept.tobytes()


def with_nan(at, channels=1, value=np.nan):
    x = np.ones((16000, channels)) if channels > 1 else np.ones(16000)
    x[at] = value
    return x


def run_child(code):
    """The exit status of a child interpreter running `code`, and 0. The child
    imports the plain module (see tests/test_hostile.py on the sanitizers)."""
    hidden = ("LD_PRELOAD", "PYTHONPATH", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TAVIK_SANITIZED")
    env = {k: v for k, v in os.environ.items() if k not in hidden}
    return subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120, env=env).returncode, 0


DAEMON_BATCH = """
import threading, time, numpy as np
from _tavik.extractor import GammatoneFilterbank
fb = GammatoneFilterbank(num_samples=256, num_features=8, transform=lambda v: v)
frames = np.broadcast_to(np.linspace(-1, 1, 256), (400_000, 256))
threading.Thread(target=fb.batch, args=(frames,), kwargs={"num_threads": 2}, daemon=True).start()
time.sleep(0.3)
"""


FINALISER_BATCH = """
import os, numpy as np
from _tavik.extractor import GammatoneFilterbank
fb = GammatoneFilterbank(num_samples=16, num_features=4, sample_rate=8000, high_Hz=3000, transform=lambda v: v)
frames = np.ones((4000, 16))
expected = fb.batch(frames).tolist()
class Finaliser:
    def __del__(self):
        if fb.batch(frames, num_threads=2).tolist() != expected:
            os._exit(1)
kept = [Finaliser()]
kept[0].itself = kept[0]
"""


def import_in_subinterpreter():
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    code = "try:\n    import _tavik\nexcept ImportError as e:\n    raise SystemExit(str(e))\n"
    interp = interpreters.create()
    try:
        result = interpreters.run_string(interp, code)
    except Exception as error:  # 3.10 to 3.12 raise what the sub-interpreter raised
        result = error
    finally:
        interpreters.destroy(interp)
    raise ImportError(str(getattr(result, "msg", result)).split(": ", 1)[-1])


def misaligned(a):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    copy = np.ndarray(a.shape, dtype=np.float64, buffer=raw, offset=1, order="F")
    copy[...] = a
    return copy


def command_line(*args, prepare=lambda folder: None, env=None):
    """(exit status, standard error) of the command line run in a new folder
    that `prepare` fills; and what `prepare` returns, if anything."""
    soundfile = pytest.importorskip("soundfile")
    pytest.importorskip("soxr")
    import tempfile

    from cli_helpers import tavik_cli

    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        prepared = prepare(folder)
        out = tavik_cli(*args, cwd=folder, env=env)
        if prepared is None:
            return out.returncode, out.stderr
        written = np.load(folder / "a.npz")["features"]
        return written.tobytes(), prepared(soundfile).features.tobytes()


def audio(name, signal, **options):
    """A `prepare` of command_line: one audio file of 16 kHz, and (for an MP3)
    the features of its whole samples."""
    def prepare(folder):
        import soundfile

        soundfile.write(os.fsencode(folder / name), signal, 16000, **options)
        if name.endswith(".mp3"):
            return lambda soundfile: tavik.gammatonegram(*soundfile.read(folder / name))
        return None
    return prepare


def a_corpus(*files):
    """A `prepare` of command_line: a folder `in` of one audio file, and
    empty files of these names."""
    def prepare(folder):
        (folder / "in").mkdir()
        audio("in/a.wav", np.ones(800))(folder)
        for name in files:
            (folder / name).touch()
    return prepare


def with_mp3(prepare):
    import soundfile

    if "MP3" not in soundfile.available_formats():
        pytest.skip("this libsndfile writes no MP3")
    return prepare


def full_file_system():
    """(exit status, standard error) of an output written to a full file system."""
    import tempfile

    pytest.importorskip("soundfile")
    from cli_helpers import small_file_system, tavik_cli

    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        audio("a.wav", 0.1 * np.random.default_rng(6).standard_normal(80000))(folder)
        with small_file_system(folder / "full"):
            out = tavik_cli("gammatonegram", "a.wav", "--no-plot", "--out", "full/x", cwd=folder)
        return out.returncode, out.stderr


NAN_AT_70000 = np.where(np.arange(96000) == 70000, np.nan, 0.1)
def corpus_job(folder, samples):
    """The corpus's task for one file of these samples, as a worker does it."""
    import soundfile
    from tavik._analysis import Analysis
    from tavik._cli import corpus

    source, target = folder / "b.wav", folder / "b.npz"
    soundfile.write(source, samples, 16000, subtype="FLOAT")
    settings = corpus.Settings(Analysis(16000, num_features=8, high_Hz=7200.0), -200.0)
    job = corpus.Job("in/b.wav", str(source), str(target), corpus.Stamp.of(source.stat()), 1.0)
    return settings, job, corpus.do_task(settings, False, [job], 1)


def corpus_with_a_non_finite_sample():
    import tempfile

    from tavik._cli import corpus

    samples = np.zeros(16000)
    samples[5000] = np.nan
    with tempfile.TemporaryDirectory() as folder:
        _, _, outcomes = corpus_job(Path(folder), samples)
    return outcomes, [corpus.Outcome("in/b.wav", 0, "The signal holds a non-finite sample (nan) at sample 5000")]


def corpus_source_replaced():
    """Whether b.wav is done before and after its replacement by other
    samples of the same size and time stamp, in a new inode."""
    import tempfile

    import soundfile
    from tavik._cli import corpus

    with tempfile.TemporaryDirectory() as folder:
        settings, job, _ = corpus_job(Path(folder), np.zeros(16000))
        source, target = Path(job.source), Path(job.target)
        before = corpus._state_of(target, corpus.Stamp.of(source.stat()), settings, False)
        old = source.stat()
        soundfile.write(Path(folder) / "new.wav", np.ones(16000) / 2, 16000, subtype="FLOAT")
        os.utime(Path(folder) / "new.wav", ns=(old.st_atime_ns, old.st_mtime_ns))
        os.replace(Path(folder) / "new.wav", source)
        after = corpus._state_of(target, corpus.Stamp.of(source.stat()), settings, False)
    return (before, after), ("done", None)


def corpus_object_storage_refused():
    """(exit status, standard error) of corpora from and to a missing
    bucket, and from a server that refuses every credential, each with what
    it should be."""
    from cli_helpers import S3_CREDENTIALS, s3_server, tavik_cli

    pytest.importorskip("s3fs")
    got, expected = [], []
    with tempfile.TemporaryDirectory() as folder:
        a_corpus()(Path(folder))
        for checks_credentials, args, line in [
                (False, ["s3://missing/in", "out"],
                 "no such folder: s3://missing/in (The specified bucket does not exist)"),
                *([(False, ["in", "s3://missing/out.zarr"],
                    "cannot write s3://missing/out.zarr: no such bucket: missing")]
                  if sys.version_info >= (3, 11) and importlib.util.find_spec("zarr") else []),
                (True, ["s3://missing/in", "out"],
                 "cannot read s3://missing/in: access refused (Forbidden): check the credentials")]:
            with s3_server(checks_credentials) as endpoint:
                out = tavik_cli("corpus", *args, "--storage-option", f"endpoint_url={endpoint}",
                                cwd=folder, env=S3_CREDENTIALS)
            got.append((out.returncode, out.stderr))
            expected.append((2, f"tavik corpus: {line}\n"))
    return got, expected


def objects_that_are_no_path():
    """What storage.find makes of odd names under memory://tavik-names/in."""
    fsspec = pytest.importorskip("fsspec")
    from tavik._cli import storage

    memory = fsspec.filesystem("memory")
    for name in ("../x.wav", "/y.wav", "./z.wav", "ok.wav", "notes.txt"):
        memory.pipe(f"/tavik-names/in/{name}", b"RIFF")
    try:
        audio, ignored, skipped = storage.find(storage.remote("memory://tavik-names/in", {}),
                                               {".wav"})
    finally:
        memory.rm("/tavik-names", recursive=True)
    reason = "skipped: a name with an empty, . or .. segment is no path under memory://tavik-names/in"
    return ((sorted(map(str, audio)), ignored, skipped),
            (["ok.wav"], 1, [f"memory://tavik-names/in/{name}: {reason}"
                             for name in ("../x.wav", "./z.wav", "/y.wav")]))


def corpus_object_overwritten():
    """Whether an object is done before and after it is overwritten by one
    of the same size (memory://, in this process, as a worker reads it)."""
    import tempfile

    import soundfile
    fsspec = pytest.importorskip("fsspec")
    from tavik._analysis import Analysis
    from tavik._cli import corpus, storage

    memory = fsspec.filesystem("memory")
    samples = io.BytesIO()
    soundfile.write(samples, np.zeros(16000), 16000, format="WAV", subtype="FLOAT")
    memory.pipe("/tavik-bad-inputs/b.wav", samples.getvalue())
    settings = corpus.Settings(Analysis(16000, num_features=8, high_Hz=7200.0), -200.0)
    try:
        with tempfile.TemporaryDirectory() as folder:
            target = Path(folder) / "b.npz"
            stamp = storage.ObjectStamp.of(memory.info("/tavik-bad-inputs/b.wav"))
            job = corpus.Job("memory://tavik-bad-inputs/b.wav", "memory://tavik-bad-inputs/b.wav",
                             str(target), stamp, 1.0, options={})
            [outcome] = corpus.do_task(settings, False, [job], 1)
            before = corpus._state_of(target, stamp, settings, False)
            memory.pipe("/tavik-bad-inputs/b.wav", samples.getvalue()[:-8] + bytes(8))
            again = storage.ObjectStamp.of(memory.info("/tavik-bad-inputs/b.wav"))
            after = corpus._state_of(target, again, settings, False)
    finally:
        memory.rm("/tavik-bad-inputs", recursive=True)
    return (outcome.error, before, after), (None, "done", None)


def a_foreign_store(folder):
    """A `prepare` of command_line: a corpus, and a Zarr store of something else."""
    a_corpus()(folder)
    (folder / "other.zarr").mkdir()
    (folder / "other.zarr" / "zarr.json").write_text('{"zarr_format": 3, "node_type": "group"}')


def store_of_something_else():
    pytest.importorskip("zarr", minversion="3")
    message = "other.zarr exists and is not a tavik corpus store"
    with tempfile.TemporaryDirectory() as name:
        a_foreign_store(Path(name))
        with pytest.raises(ValueError, match=f"^{Path(name) / 'other.zarr'} exists and is not"):
            tavik.open_corpus(Path(name) / "other.zarr")
    return (command_line("corpus", "in", "other.zarr", prepare=a_foreign_store),
            (2, f"tavik corpus: {message}\n"))


def store_on_cpython_3_10():
    """Refused on 3.10, written on later versions."""
    if sys.version_info >= (3, 11):
        pytest.importorskip("zarr", minversion="3")
        return command_line("corpus", "in", "out.zarr", prepare=a_corpus()), (0, "")
    message = "a corpus store needs CPython 3.11 or later (for zarr 3); this is CPython 3.10"
    with tempfile.TemporaryDirectory() as name:
        a_foreign_store(Path(name))
        with pytest.raises(ImportError, match=message.replace("(", r"\(").replace(")", r"\)")):
            tavik.open_corpus(Path(name) / "other.zarr")
    return (command_line("corpus", "in", "out.zarr", prepare=a_corpus()),
            (2, f"tavik corpus: {message}\n"))


def two_recordings():
    """tavik.open_corpus of a folder of two .npz files of 98 rows."""
    from tavik import _io

    folder = Path(tempfile.mkdtemp())
    g = tavik.gammatonegram(np.ones(16000), 16000, num_features=8)
    for name in ("a.npz", "b.npz"):
        _io.save_atomically(folder / "features" / name, _io.fields_of(g))
    return tavik.open_corpus(folder / "features")


def corpus_scheduler_that_never_answers():
    import dask
    import distributed  # noqa: F401  (its defaults into dask's config before one is changed)
    from cli_helpers import silent_server
    from tavik._cli import corpus
    from tavik._cli.common import UsageError

    with silent_server() as address, dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        try:
            corpus.reach(address)
        except UsageError as error:
            return str(error), (f"cannot reach the Dask scheduler at {address}: it accepted the connection, "
                                f"but no answer came within Dask's connection timeout (1 s)")
    return None, "UsageError"
def in_a_file(fields, compression=zipfile.ZIP_STORED, zeros=0):
    """tavik.load of an .npz of these fields (and of a deflated member of
    `zeros` bytes of zeros, written a MiB at a time)."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "g.npz")
        with zipfile.ZipFile(path, "w", compression=compression) as zipped:
            for key, value in fields.items():
                with zipped.open(f"{key}.npy", "w") as member:
                    np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=False)
            if zeros:
                info = zipfile.ZipInfo("zeros.npy")
                info.compress_type = zipfile.ZIP_DEFLATED
                with zipped.open(info, "w", force_zip64=True) as member:
                    np.lib.format.write_array_header_1_0(
                        member, {"descr": "<f8", "fortran_order": False, "shape": (zeros // 8,)})
                    for _ in range(zeros >> 20):
                        member.write(bytes(1 << 20))
        return tavik.load(path)


GRAM = tavik.gammatonegram(np.linspace(-1, 1, 2000), 16000, num_features=4)
FIELDS = {"features": GRAM.features, "centre_frequencies": GRAM.centre_frequencies, "times": GRAM.times,
          "sample_rate": 16000, "num_samples": 400, "hop": 160, "num_features": 4, "low_Hz": 50.0,
          "high_Hz": 7200.0, "temporal_integration": 0.0, "channel": -1,
          "transform": "log10(floor=1e-10)", "mode": "continuous"}


EACH_FIELDS = {**{f: getattr(GRAM, f) for f in FIELDS if f not in ("transform",)},
               "transform": GRAM.transform, "features": GRAM.features[:, None, :], "channel": "each"}


def plotted_into_an_axes(g):
    """The first line of the label of the axes that tavik.plot drew `g` into."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots()
    try:
        return tavik.plot(g, ax).get_ylabel().splitlines()[0]
    finally:
        plt.close(figure)


def read_audio_of(content):
    """tavik.read_audio of a file holding `content` (None: no file at all)."""
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "a.wav"
        if content is not None:
            path.write_bytes(content)
        return tavik.read_audio(path)


def plotted(**options):
    """tavik.plot's picture, closed once drawn."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ax = tavik.plot(**options)
    plt.close(ax.figure)
    return ax


def pushing_into_itself():
    def transform(value):
        stream.push([0.0])
        return value

    stream = tavik.GammatoneStream(16000, num_features=4, transform=transform)
    try:
        stream.push(np.ones(800))
    finally:
        assert (stream.samples_pushed, stream.frames_emitted) == (0, 0)


def pushed_from_threads():
    """Three threads push at once: the rows they got, in some order, are the
    features of the chunks in that order."""
    chunks = [np.random.default_rng(k).standard_normal(20000 + 999 * k) for k in range(3)]
    stream = tavik.GammatoneStream(16000, num_features=4, num_threads=2)
    barrier, rows = threading.Barrier(3), {}

    def push(k):
        barrier.wait()
        rows[k] = stream.push(chunks[k])

    threads = [threading.Thread(target=push, args=(k,)) for k in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    orders = [order for order in itertools.permutations(range(3))
              if np.concatenate([rows[k] for k in order]).tobytes() == tavik.gammatonegram(
                  np.concatenate([chunks[k] for k in order]), 16000, num_features=4).features.tobytes()]
    return len(orders), 1


ALL = object()  # the row holds for every call listed
CASES = {
    "a frame of the wrong length (also a `(channels, n)` array with n ≠ `num_samples`, and `batch` rows)": [
        raises(ValueError, r"^Input signal must be of length 1024\. Instead it is of length 10\.$", call)
        for call in (lambda: fb([0.0] * 10), lambda: fb(np.zeros((2, 10), order="F")),
                     lambda: fb.batch(np.zeros((3, 10))))],
    "a list with an int item, a float32 array, a row-major 2-D array, a 3-D array, `str`, `bytes`": [
        raises(TypeError, r"__call__\(\): incompatible function arguments", lambda a=a: fb(a))
        for a in (FRAME[:-1] + [1], np.zeros(1024, np.float32), np.zeros((2, 1024)),
                  np.zeros((1, 1, 1024)), "x" * 1024, bytes(8 * 1024))],
    "`on_channel` ≥ the number of rows of the array": [
        raises(IndexError, r"^Channel 3 is out of range for an input of 2 channels$",
               lambda: GammatoneFilterbank(on_channel=3)(np.zeros((2, 1024), order="F")))],
    "`low_Hz` ≥ `high_Hz`, one filter (`num_features=1`), a bound that is not finite": [
        raises(ValueError, r"^Invalid frequency range$", lambda kw=kw: GammatoneFilterbank(**kw))
        for kw in ({"low_Hz": 8000, "high_Hz": 50}, {"low_Hz": 100, "high_Hz": 100}, {"num_features": 1},
                   {"high_Hz": float("inf")}, {"low_Hz": float("nan")})],
    "`sample_rate` ≤ 0": [
        raises(ValueError, r"^Invalid sample rate$", lambda r=r: GammatoneFilterbank(sample_rate=r)) for r in (0, -1)],
    "`temporal_integration` negative, NaN or infinite": [
        raises(ValueError, r"^Invalid temporal integration$", lambda t=t: GammatoneFilterbank(temporal_integration=t))
        for t in (-0.1, float("nan"), float("inf"))],
    "a negative or float `num_samples`/`num_features`, an out-of-range int, a non-callable `transform`, an unknown keyword": [
        raises(TypeError, r"__init__\(\): incompatible constructor arguments", lambda kw=kw: GammatoneFilterbank(**kw))
        for kw in ({"num_samples": -1}, {"num_features": 64.0}, {"sample_rate": 2**31}, {"transform": 5}, {"bogus": 1})],
    "a number that is not an int where an int is required (`Decimal('-0.5')`, `Fraction(9, 2)`; also in a pickled state)": [
        raises(TypeError, r"__init__\(\): incompatible constructor arguments", lambda kw=kw: GammatoneFilterbank(**kw))
        for kw in ({"on_channel": Decimal("-0.5")}, {"num_samples": Fraction(9, 2)}, {"sample_rate": Decimal("16000.5")})] + [
        raises(TypeError, r"^Invalid pickled state of Extractor$",
               lambda: Summing.__new__(Summing).__setstate__((4, 2, 8000, None, Decimal("-0.5"), {})))],
    "`transform=None`, then a call": [
        raises(RuntimeError, r"^bad_function_call$", lambda: GammatoneFilterbank(transform=None)(FRAME))],
    "a transform that raises": [
        raises(Failing, "^own error$", lambda: GammatoneFilterbank(transform=fail)(FRAME))],
    "a transform that returns something that is not a number": [
        raises(RuntimeError, r"^Unable to cast Python instance", lambda: GammatoneFilterbank(transform=lambda v: "x")(FRAME))],
    "calling a bare `Extractor`": [
        raises(RuntimeError, r'^Tried to call pure virtual function "Extractor::compute"$', lambda: Extractor()(FRAME))],
    "a Python `compute` producing the wrong number of features": [
        raises(ValueError, r"^compute produced 1 features, expected 2$",
               lambda: Python(lambda s, i, f: [1.0], num_samples=4, num_features=2)([0.0] * 4))],
    "a Python `compute` returning neither None nor a sequence / a non-number feature": [
        raises(TypeError, r"^compute must return None or a sequence of numbers$",
               lambda: Python(lambda s, i, f: 5.0, num_samples=4, num_features=2)([0.0] * 4)),
        raises(TypeError, r"^compute produced a feature that is not a number$",
               lambda: Python(lambda s, i, f: [1.0, "x"], num_samples=4, num_features=2)([0.0] * 4))],
    "`batch` of anything but a float64 or float32 array, 2-D with contiguous rows or 3-D": [
        raises(TypeError, r"^frames must be a float64 or float32 NumPy array of shape \(n, num_samples\) whose rows "
               r"are contiguous, or of shape \(n, channels, num_samples\)$", lambda f=f: fb.batch(f))
        for f in (np.zeros((2, 1024), np.float16), np.zeros((2, 1024), ">f8"), np.zeros((2, 1024), order="F"),
                  np.zeros(1024), np.zeros((1, 1, 1, 1024)), [FRAME])],
    "`high_Hz` above `sample_rate / 2`, `low_Hz` below 0 (a range that is otherwise valid)": [
        raises(FrequencyRangeWarning, r"^high_Hz=8000\.0 is above the Nyquist frequency, 4000\.0 Hz at sample_rate=8000: "
               r"the filters centred above it alias$", lambda: GammatoneFilterbank(sample_rate=8000)),
        raises(FrequencyRangeWarning, r"^low_Hz=-10\.0 is below 0 Hz: filters are centred at negative frequencies$",
               lambda: GammatoneFilterbank(low_Hz=-10))],
    "a NaN parameter of a native transform": [
        raises(ValueError, r"^floor must not be NaN$", lambda: transforms.log10(floor=float("nan"))),
        raises(ValueError, r"^floor_dB must not be NaN$", lambda: transforms.dB(floor_dB=float("nan"))),
        raises(ValueError, r"^exponent must not be NaN$", lambda: transforms.power(float("nan")))],
    "`batch(..., num_threads=-1)`": [
        raises(ValueError, r"^num_threads must not be negative$", lambda: fb.batch(np.zeros((1, 1024)), num_threads=-1))],
    "`batch(..., num_threads=2**31 - 1)`": [
        raises(None, "same", lambda: (small.batch(np.ones((50, 4)), num_threads=2**31 - 1).tolist(),
                                      small.batch(np.ones((50, 4)), num_threads=1).tolist()))],
    "a signal during `batch` whose Python handler raises (Ctrl-C: `KeyboardInterrupt`)": [
        raises(Failing, "^signal$", interrupted_batch)],
    "a daemon thread inside `batch`, `__call__`, `stream_push`, `dct_rows` or `pickle.dumps` while the interpreter exits, whether the call fails or its Python code lets other threads run": [
        raises(None, "same", lambda: run_child(DAEMON_BATCH))],
    "`batch` run by a finaliser while the interpreter exits (a cycle collected at exit), Python code on 2 threads": [
        raises(None, "same", lambda: run_child(FINALISER_BATCH))],
    "`pickle` with protocol 0 or 1 (also for `Filter`)": [
        raises(None, "same", lambda p=p: (pickle.loads(pickle.dumps(small, p))([1.0] * 4), small([1.0] * 4)))
        for p in (0, 1)] + [
        raises(None, "same", lambda: (pickle.loads(pickle.dumps(fb.filters[3], 0)).a, fb.filters[3].a))],
    "`Extractor.__init__` or `Extractor.__setstate__` applied to a `GammatoneFilterbank`": [
        raises(TypeError, r"^Extractor.__init__ cannot initialise a GammatoneFilterbank instance$",
               lambda: Extractor.__init__(fb)),
        raises(TypeError, r"^Extractor.__setstate__ cannot initialise a GammatoneFilterbank instance$",
               lambda: Extractor.__setstate__(GammatoneFilterbank.__new__(GammatoneFilterbank), 5))],
    "a Python class deriving from both `GammatoneFilterbank.Filter` and an extractor; assigning `__class__` across native classes": [
        raises(TypeError, "lay-out conflict", lambda: type("M", (GammatoneFilterbank.Filter, Extractor), {"__slots__": ()})),
        raises(TypeError, "object layout differs",
               lambda: setattr(Summing(num_samples=4, num_features=1), "__class__", GammatoneFilterbank))],
    "reference cycles through a subclass's kept `filters`, a transform bound to its own extractor, or a transform read back from its extractor": [
        raises(None, "same", lambda: collected(Keeping)), raises(None, "same", lambda: collected(SelfBound)),
        raises(None, "same", lambda: collected(ReadBack.cycle))],
    "an extractor whose transform is a bound method of the extractor itself, pickled or shown by `repr`": [
        raises(None, "same", lambda: (pickle.loads(pickle.dumps(SelfBound())).transform(1.0), 2.0)),
        raises(None, "same", lambda: ("transform=<bound method SelfBound.twice of SelfBound(" in repr(SelfBound())
                                      and "transform=...," in repr(SelfBound()), True))],
    "a subclass with `__slots__`, copied or pickled": [raises(None, "same", slot_copies)],
    "`import _tavik` in a sub-interpreter": [
        raises(ImportError, "sub-?interpreters?", import_in_subinterpreter)],
    "pickling an extractor whose transform cannot be pickled (a lambda, a local function, an object holding a lock)": [
        raises(TypeError, r"^transform .*<lambda> cannot be pickled",
               lambda: pickle.dumps(GammatoneFilterbank(transform=lambda v: v)))],
    "assigning to any property": [
        raises(AttributeError, None, lambda: setattr(fb, "num_samples", 3)),
        raises(AttributeError, None, lambda: setattr(fb.filters[0], "cf", 3.0))],
    "NaN or infinite samples of a frame (`__call__`, `batch`, `mode=\"frames\"`)": [
        raises(None, "nan", lambda: fb([float("nan")] + FRAME[1:])),
        raises(None, "nan", lambda: fb([float("inf")] + FRAME[1:])),
        raises(None, "nan", lambda: fb.batch(np.array([[float("-inf")] + FRAME[1:]]))),
        raises(None, "nan", lambda: tavik.gammatonegram(with_nan(300), 16000, mode="frames").features[:2])],
    "a NaN or infinite sample in continuous mode or in the bands (`stream_push`, `GammatoneStream.push`, `tavik.gammatonegram`, `bands_push`, `GammatoneBandsStream.push`, `tavik.gammatone_bands`), in a channel that enters the features": [
        raises(ValueError, r"^The signal holds a non-finite sample \(nan\) at sample 5000$",
               lambda: tavik.gammatonegram(with_nan(5000), 16000)),
        raises(ValueError, r"^The signal holds a non-finite sample \(nan\) at sample 5000 of channel 1$",
               lambda: tavik.gammatonegram(with_nan((5000, 1), 2), 16000)),
        raises(ValueError, r"^The signal holds a non-finite sample \(inf\) at sample 509$",
               lambda: continuous_call(lambda b, s: b.stream_push(np.array([0.0] * 9 + [np.inf]), 160, s, 500))),
        raises(ValueError, r"^The signal holds a non-finite sample \(-inf\) at sample 5000$",
               lambda: tavik.GammatoneStream(16000).push(np.where(np.arange(16000) == 5000, -np.inf, 1.0).astype(np.float32))),
        raises(ValueError, r"^The signal holds a non-finite sample \(nan\) at sample 9000 of channel 0$",
               lambda: tavik.gammatonegram(np.maximum(with_nan((5000, 1), 2), with_nan((9000, 0), 2)), 16000, channel="each")),
        raises(ValueError, r"^The signal holds a non-finite sample \(nan\) at sample 5000 of channel 1$",
               lambda: tavik.gammatone_bands(with_nan((5000, 1), 2), 16000)),
        raises(ValueError, r"^The signal holds a non-finite sample \(inf\) at sample 509$",
               lambda: band_call(lambda b, s: b.bands_push(np.array([0.0] * 9 + [np.inf]), "real", s, 500))),
        raises(ValueError, r"^The signal holds a non-finite sample \(-inf\) at sample 5000$",
               lambda: tavik.GammatoneBandsStream(16000).push(np.where(np.arange(16000) == 5000, -np.inf, 1.0)))],
    "a finite sample of magnitude above 2⁶⁴ (about 1.8e19) in continuous mode, in a channel that enters the features (every channel of a mean), which the filters could overflow from": [
        raises(ValueError, r"^The signal holds a sample too large to filter \(1e\+200\) at sample 100$",
               lambda: tavik.gammatonegram(with_nan(100, value=1e200), 16000)),
        raises(ValueError, r"^The signal holds a sample too large to filter \(-1\.7e\+308\) at sample 5000 of channel 1$",
               lambda: tavik.GammatoneStream(16000).push(with_nan((5000, 1), 2, -1.7e308))),
        raises(None, "same", lambda: (np.isfinite(tavik.gammatonegram(with_nan(100, value=-2.0**64), 16000).features).all(), True))],
    "a `stream_push` state of another filterbank, hop or frame length (even of the same size), or an array that is not a state": [
        raises(ValueError, r"^state does not belong to a pass of this filterbank and hop$", lambda call=call: continuous_call(call))
        for call in (lambda b, s: b.stream_push(np.ones(10), 150, s, 500),
                     lambda b, s: GammatoneFilterbank(num_samples=400, num_features=8, sample_rate=44100).stream_push(
                         np.ones(10), 160, s, 500),
                     lambda b, s: GammatoneFilterbank(num_samples=399, num_features=5, sample_rate=16000).stream_push(
                         np.ones(10), 160, s, 500),
                     lambda b, s: b.stream_push(np.ones(10), 160, s[:-1], 500),
                     lambda b, s: b.stream_push(np.ones(10), 160, s + 0.5, 500),
                     lambda b, s: b.stream_push(np.ones(10), 160, np.zeros((1, len(s))), 500))],
    "a `bands_push` state of another filterbank or output, of the features' pass, or an array that is not a state": [
        raises(ValueError, r"^state does not belong to a band pass of this filterbank and output$",
               lambda call=call: band_call(call))
        for call in (lambda b, s: b.bands_push(np.ones(10), "envelope", s, 500),
                     lambda b, s: GammatoneFilterbank(num_samples=400, num_features=5, sample_rate=44100).bands_push(
                         np.ones(10), "real", s, 500),
                     lambda b, s: b.bands_push(np.ones(10), "real", b.stream_state(160), 0),
                     lambda b, s: b.bands_push(np.ones(10), "real", s[:-1], 500),
                     lambda b, s: b.bands_push(np.ones(10), "real", s + 0.5, 500))],
    "an `output` of `tavik.gammatone_bands`, `GammatoneBandsStream` or `bands_state` and `bands_push` that names no band output (`\"phase\"`), or that is not a string": [
        raises(ValueError, r"^output must be 'envelope', 'analytic' or 'real', not 'phase'$", call)
        for call in (lambda: tavik.gammatone_bands(np.ones(10), 16000, output="phase"),
                     lambda: tavik.GammatoneBandsStream(16000, output="phase"),
                     lambda: GammatoneFilterbank().bands_state("phase"),
                     lambda: band_call(lambda b, s: b.bands_push(np.ones(10), "phase", s, 500)))] + [
        raises(TypeError, r"^output must be a string, not int 3$",
               lambda: tavik.gammatone_bands(np.ones(10), 16000, output=3))],
    "a `bands_push` whose result is too large to be described (more than 2⁶³ bytes)": [
        raises(MemoryError, r"^The bands of this push do not fit in memory$",
               lambda: band_call(lambda b, s: b.bands_push(np.broadcast_to(0.0, (2**59,)), "real", s, 500)))],
    "a `stream_push` whose `samples_pushed` is not the one its state records": [
        raises(ValueError, r"^samples_pushed is 5 but state is that of a pass after 500 samples$",
               lambda: continuous_call(lambda b, s: b.stream_push(np.ones(10), 160, s, 5)))],
    "a continuous pass whose state cannot be counted (`num_samples=2**64-1` with `hop=1`, `2**62`)": [
        raises(ValueError, r"^The state of this continuous pass does not fit in memory$",
               lambda n=n: tavik.GammatoneStream(16000, num_samples=n, hop=1).push(np.ones(16000)))
        for n in (2**64 - 1, 2**64 - 11, 2**62)],
    "a signal during `stream_push` whose Python handler raises (Ctrl-C: `KeyboardInterrupt`)": [
        raises(Failing, "^signal$", interrupted_push)],
    "a sequence whose `__len__` or `__getitem__` raises, or that claims more items than it has": [
        raises(Failing, "^len$", lambda: small(Sequence(4, raise_at="len"))),
        raises(Failing, "^item$", lambda: small(Sequence(4, raise_at=2))),
        raises(IndexError, None, lambda: small(Sequence(3, claim=4)))],
    "a Python `compute` that raises": [
        raises(Failing, "^own error$", lambda: Python(fail, num_samples=4, num_features=2)([0.0] * 4)),
        raises(Failing, "^own error$", lambda: Python(fail, num_samples=4, num_features=2).batch(np.zeros((3, 4))))],
    "a Python `compute` that calls its own extractor from its own body": [
        raises(RecursionError, None, lambda: Reentrant(num_samples=4, num_features=2)([0.0] * 4))],
    "a function named `compute` that calls an extractor with a Python `compute`": [
        raises(None, "same", lambda: (compute(Summing(num_samples=4, num_features=2), [1.0] * 4), [4.0, 4.0]))],
    "a float64 array at an odd byte offset (not aligned)": [
        raises(None, "same", lambda: (small(misaligned(np.ones((2, 4), order="F"))), small(np.ones((2, 4), order="F")))),
        raises(None, "same", lambda: (small(misaligned(np.ones((1, 4))[0])), small([1.0] * 4)))],
    "a `num_features` whose filter table or feature vector is beyond the address space (`2**40`, `2**56`)": [
        raises(MemoryError, None, lambda: GammatoneFilterbank(num_features=2**40)),
        raises(MemoryError, None, lambda: GammatoneFilterbank(num_features=2**56)),
        raises(MemoryError, None, lambda: Python(fail, num_samples=1, num_features=2**56)([0.0]))],
    "a `num_features` beyond what a vector can hold (`2**60` and more): at construction of a filterbank, at the first call of an `Extractor`": [
        raises(ValueError, r"^cannot create std::vector larger than max_size\(\)$", call)
        for call in (lambda: GammatoneFilterbank(num_features=2**60),
                     lambda: GammatoneFilterbank(num_features=2**62),
                     lambda: Extractor(num_samples=1, num_features=2**64 - 1)([0.0]))],
    "a `batch` whose result is too large to be described (more than 2⁶³ bytes)": [
        raises(MemoryError, r"^The features of this batch do not fit in memory$",
               lambda: Extractor(num_samples=4, num_features=2**40).batch(np.broadcast_to(np.zeros(4), (2**30, 4))))],
    "a continuous pass whose state is more than a quarter of the machine's memory (a frame of hours with a hop of milliseconds: each open frame holds a sum per filter), from `stream_state` or `GammatoneStream`": [
        raises(MemoryError, r"^The state of this continuous pass does not fit in memory$", call)
        for call in (lambda: GammatoneFilterbank(num_samples=2**40, sample_rate=16000).stream_state(160),
                     lambda: tavik.GammatoneStream(16000, num_samples=2**40, hop=160).push(np.zeros(100))
                     )],
    "a sequence that claims a length beyond the address space": [
        raises(MemoryError, None, lambda: small(Sequence(0, claim=2**45)))],
    "frames without a channel: a `(0, n)` array (float32 too), a `batch` of shape `(frames, 0, n)`, a `(samples, 0)` signal, whatever `on_channel` (`channel=\"each\"` too)": [
        raises(ValueError, r"^Input signal has no channels$", call)
        for call in (lambda: fb(np.zeros((0, 1024), order="F")), lambda: fb(np.zeros((0, 1024), np.float32)),
                     lambda: fb.batch(np.zeros((3, 0, 1024))),
                     lambda: fb.batch(np.zeros((3, 0, 1024)), num_threads=2),
                     lambda: GammatoneFilterbank(on_channel=0).batch(np.zeros((3, 0, 1024))),
                     lambda: GammatoneFilterbank(on_channel=0)(np.zeros((0, 1024), order="F")),
                     lambda: tavik.gammatonegram(np.zeros((2048, 0)), 16000),
                     lambda: tavik.gammatonegram(np.zeros((2048, 0)), 16000, channel="each", mode="frames"),
                     lambda: tavik.GammatoneStream(16000, channel="each").push(np.zeros((2048, 0))))],
    "an initialiser (`__init__`, `__setstate__`) called again on the same object from its own argument conversion (an `__index__` or `__float__`) or from a warning hook": [
        raises(TypeError, r"^GammatoneFilterbank.__init__ was called while an initialiser of the same object runs$",
               reentered_through_a_warning_hook),
        raises(TypeError, r"incompatible constructor arguments", reentered_through_index)],
    "a `KeyboardInterrupt` (any `BaseException` that is not an `Exception`) raised while a feature, a transform's result or `compute` itself is read": [
        raises(KeyboardInterrupt, None, lambda: Python(lambda *a: [Interrupting()] * 2, num_samples=4, num_features=2)([0.0] * 4)),
        raises(KeyboardInterrupt, None, lambda: GammatoneFilterbank(num_samples=4, num_features=2,
                                                                    transform=lambda v: Interrupting())([0.0] * 4))],
    "a transform whose repr holds a lone surrogate (a file name from `os.fsdecode`)": [
        raises(None, "same", lambda: ("transform=Surrogate('caf\udce9')" in repr(GammatoneFilterbank(transform=Surrogate())), True))],
    "a NaN or infinite sample in an audio file given to `tavik gammatonegram` or `tavik corpus` (continuous mode)": [
        raises(None, "same", lambda: (command_line("gammatonegram", "a.wav", prepare=audio("a.wav", NAN_AT_70000, subtype="FLOAT")), (
            2, "tavik gammatonegram: cannot compute the features of a.wav: The signal holds a non-finite sample (nan) at sample 70000\n"))),
        raises(None, "same", corpus_with_a_non_finite_sample)],
    "an MP3 file given to `tavik gammatonegram` or `tavik corpus`": [
        raises(None, "same", lambda: command_line("gammatonegram", "a.mp3", "--no-plot", "--out", "a",
                                                  prepare=with_mp3(audio("a.mp3", 0.5 * np.sin(np.arange(160000) / 5)))))],
    "an audio file, folder or `--out` whose name is not UTF-8 (`caf\\xe9.wav`), reported under a strict UTF-8 standard output": [
        raises(None, "same", lambda: (command_line("gammatonegram", os.fsdecode(b"caf\xe9.wav"), "--out", os.fsdecode(b"d\xe9/x"),
                                                   prepare=audio("caf\udce9.wav", np.ones(800)), env={"PYTHONIOENCODING": "utf-8"}),
                                      (0, "")))],
    "`--floor-dB` beyond the levels a double holds (`7000`, `-7000`), `nan` or `inf`": [
        raises(None, "same", lambda: (command_line("gammatonegram", floor),
                                      (2, f"tavik gammatonegram: --floor-dB must be -inf or a level from -6153 to 6165 dB, not {floor[11:]}\n")))
        for floor in ("--floor-dB=7000", "--floor-dB=-7000", "--floor-dB=nan", "--floor-dB=inf")],
    "an output that cannot be written, known before the work: under a symbolic link to nothing, on a read-only file system": [
        raises(None, "same", lambda: (command_line("gammatonegram", "--out", "dangling/x", prepare=lambda f: (f / "dangling").symlink_to("nowhere")),
                                      (2, "tavik gammatonegram: cannot write dangling/x.png: dangling is a symbolic link to nothing\n")))],
    "an output whose name is longer than the file system takes (`--out` or `OUT` of 300 characters), or an `OUT` of `tavik corpus` under a regular file (`afile/x`)": [
        raises(None, "same", lambda: (command_line("corpus", "in", "x" * 300, prepare=a_corpus()),
                                      (2, f"tavik corpus: cannot write {'x' * 300}: File name too long\n"))),
        raises(None, "same", lambda: (command_line("corpus", "in", "afile/x", prepare=a_corpus("afile")),
                                      (2, "tavik corpus: cannot write afile/x: afile is not a folder\n")))],
    "an audio file, folder or `--out` whose name holds a control character (a newline, a tab, an escape, DEL, a C1 control)": [
        raises(None, "same", lambda: (command_line("gammatonegram", "bad\n\t\x1b[31m\x7f\x85.wav", "--no-plot"),
                                      (2, "tavik gammatonegram: no such audio file: bad\\x0a\\x09\\x1b[31m\\x7f\\x85.wav\n")))],
    "an output that fails while it is written (a full file system), or whose clean-up fails too": [
        raises(None, "same", lambda: (full_file_system(), (1, "tavik gammatonegram: cannot write full/x.npz: No space left on device\n")))],
    "`tavik corpus` run again after a source was replaced by another of the same size and modification time (`cp -p`, `tar x`, `rsync -a`)": [
        raises(None, "same", corpus_source_replaced)],
    "`tavik corpus --scheduler` at an address that accepts connections and never answers": [
        raises(None, "same", corpus_scheduler_that_never_answers)],
    "an `IN` of `tavik corpus` that is a URL of an unknown protocol (`nosuch://b/in`) or of a store whose package is missing (`gs://` without gcsfs), or any URL without fsspec installed": [
        raises(None, "same", lambda: (command_line("corpus", "nosuch://b/in", "out"),
                                      (2, "tavik corpus: cannot use nosuch://b/in: unknown protocol nosuch://\n")))],
    "`tavik corpus` with an `IN` or an `OUT.zarr` on object storage in a bucket that does not exist, an `IN` that holds no object, or credentials that the store refuses": [
        raises(None, "same", corpus_object_storage_refused)],
    "an `OUT` of `tavik corpus` on object storage that does not end in `.zarr` (`s3://bucket/out`)": [
        raises(None, "same", lambda: (command_line("corpus", "in", "s3://bucket/out", prepare=a_corpus()),
                                      (2, "tavik corpus: cannot write s3://bucket/out: .npz files go to a local folder; on object storage, features go to a Zarr store: an OUT ending in .zarr, or --format zarr\n")))],
    "a `--storage-option` of `tavik corpus` that is not `KEY=VALUE` (`anon`), or given when neither `IN` nor `OUT` is a URL": [
        raises(None, "same", lambda: (command_line("corpus", "s3://b/in", "out", "--storage-option", "anon"),
                                      (2, "tavik corpus: --storage-option takes KEY=VALUE, not 'anon'\n"))),
        raises(None, "same", lambda: (command_line("corpus", "in", "out", "--storage-option", "anon=true", prepare=a_corpus()),
                                      (2, "tavik corpus: --storage-option is for an IN or OUT given as a URL (s3://...), and neither is\n")))],
    "`tavik.open_corpus` of a URL where there is no store (`memory://nothing.zarr`), or of a local path with `storage_options`": [
        raises(FileNotFoundError, r"^\[Errno 2\] No such file or directory: 'memory://nothing.zarr'$",
               lambda: pytest.importorskip("zarr", minversion="3") and tavik.open_corpus("memory://nothing.zarr")),
        raises(ValueError, r"^storage_options are for a URL of object storage \(s3://\.\.\.\), not for the path features$",
               lambda: tavik.open_corpus("features", storage_options={}))],
    "an object under an `IN` on object storage whose name is no path under it (`in/../x.wav`, `in//x.wav`, `in/./x.wav`)": [
        raises(None, "same", objects_that_are_no_path)],
    "`tavik corpus` run again after an object under an `IN` on object storage was overwritten by another of the same size": [
        raises(None, "same", corpus_object_overwritten)],
    "`tavik corpus` into an `OUT.zarr` (or with `--format zarr`) that exists and is not a store of `tavik corpus`, and `tavik.open_corpus` of it": [
        raises(None, "same", store_of_something_else)],
    "`tavik corpus --dtype float32` into a folder of `.npz` files": [
        raises(None, "same", lambda: (command_line("corpus", "in", "out", "--dtype", "float32", prepare=a_corpus()),
                                      (2, "tavik corpus: --dtype float32 needs a store: an OUT ending in .zarr, or --format zarr\n")))],
    "`tavik corpus --channel each` into a store": [
        raises(None, "same", lambda: (command_line("corpus", "in", "out.zarr", "--channel", "each", prepare=a_corpus()),
                                      (2, "tavik corpus: --channel each needs a folder of .npz files: a store holds one row of features per frame\n")))],
    "a store on CPython 3.10: `tavik corpus IN OUT.zarr` (or `--format zarr`), `tavik.open_corpus` of a store": [
        raises(None, "same", store_on_cpython_3_10)],
    "a `Corpus` indexed by a name or position it lacks, or by anything but an `int` or a `str`; its `features` indexed by rows it lacks": [
        raises(KeyError, "no recording 'x.wav' in .*features", lambda: two_recordings()["x.wav"]),
        raises(IndexError, "^recording 2 is out of range for 2 recordings$", lambda: two_recordings()[2]),
        raises(TypeError, r"^a corpus is indexed by a recording's position \(int\) or name \(str\), not float 1.0$",
               lambda: two_recordings()[1.0]),
        raises(IndexError, "^row 200 is out of range for 196 rows$", lambda: two_recordings().features[200])],
    "a keyword of `tavik.gammatonegram` or `GammatoneStream` of the wrong type or out of range (`num_features=0`, `-1` or `32.0`, `transform=\"log\"`, `num_threads=-1`, `low_Hz=\"50\"`, `mode=1`)": [
        raises(ValueError, r"^num_features must be at least 2, not 0$", lambda: tavik.gammatonegram(np.ones(800), 16000, num_features=0)),
        raises(TypeError, r"^num_features must be an integer, not float 32\.0$",
               lambda: tavik.GammatoneStream(16000, num_features=32.0)),
        raises(TypeError, r"^transform must be a callable .* not str 'log'$",
               lambda: tavik.gammatonegram(np.ones(800), 16000, transform="log")),
        raises(ValueError, r"^num_threads must be at least 0, not -1$", lambda: tavik.GammatoneStream(16000, num_threads=-1))],
    "`GammatoneStream.push` or `reset` from inside a push of the same stream (a transform pushing into its own stream)": [
        raises(RuntimeError, r"^GammatoneStream\.push was called while a push of the same stream runs on this thread",
               pushing_into_itself)],
    "pushes into one `GammatoneStream` from several threads at once": [raises(None, "same", pushed_from_threads)],
    "a `GammatoneStream.push` that raises (a transform's error, a chunk of another number of channels), in either mode": [
        raises(Failing, "^own error$", lambda m=m: tavik.GammatoneStream(16000, num_features=4, mode=m, transform=fail).push(np.ones(800)))
        for m in ("continuous", "frames")],
    "`tavik.load` of a damaged or foreign archive: a broken deflate stream, features of strings, 1-D, 3-D or complex, a column count that is not `num_features`, `times` of another length, `sample_rate='abc'` or `16000.5`, a field of the wrong type": [
        raises(ValueError, r"g\.npz is not a gammatonegram: " + message, lambda change=change: in_a_file({**FIELDS, **change}))
        for change, message in [({"sample_rate": "abc"}, "sample_rate must be an integer, not str 'abc'"),
                                ({"sample_rate": 16000.5}, "sample_rate must be an integer"),
                                ({"features": GRAM.features.astype(complex)}, "features must be a 2-D float64 or float32 array"),
                                ({"features": GRAM.features[:, :3]}, "features of 3 columns"),
                                ({"times": GRAM.times[1:]}, r"10 times do not match the 11 frames")]],
    "`tavik.load` of a file whose parameters no filterbank takes or whose arrays are not finite: `sample_rate` of `2**31` or `2**64-1`, `channel` of `-2**63`, `low_Hz` of NaN, `temporal_integration` of `-1` or `inf`, a NaN or infinite time or centre frequency, times that decrease": [
        raises(ValueError, r"g\.npz is not a gammatonegram: " + message, lambda change=change: in_a_file({**FIELDS, **change}))
        for change, message in [({"sample_rate": 2**31}, "sample_rate must be at most 2147483647, not 2147483648$"),
                                ({"sample_rate": np.uint64(2**64 - 1)}, "sample_rate must be at most 2147483647"),
                                ({"channel": np.int64(-2**63)}, "channel must be at least -2147483648"),
                                ({"low_Hz": np.nan}, r"its parameters make no filterbank \(Invalid frequency range\)$"),
                                ({"temporal_integration": -1.0}, r"its parameters make no filterbank \(Invalid temporal integration\)$"),
                                ({"temporal_integration": np.inf}, r"its parameters make no filterbank \(Invalid temporal integration\)$"),
                                ({"times": GRAM.times * np.nan}, "times must be finite$"),
                                ({"centre_frequencies": GRAM.centre_frequencies + np.inf}, "centre_frequencies must be finite$"),
                                ({"times": GRAM.times[::-1].copy()}, "times must not decrease$")]],
    "`tavik.load` of a member whose declared size is out of proportion to the file (a deflated run of zeros), members whose declared sizes together are, or a member whose `.npy` header claims more than it holds": [
        raises(ValueError, r"g\.npz is not a gammatonegram: its member zeros declares 67108992 bytes, out of proportion",
               lambda: in_a_file(FIELDS, zeros=1 << 26))],
    "`tavik.load` of a member compressed with bzip2, LZMA or an unknown method (a bzip2 run of zeros declaring 200 bytes)": [
        raises(ValueError, rf"g\.npz is not a gammatonegram: its member features is compressed with {name}; only stored and deflated members are read$",
               lambda method=method: in_a_file(FIELDS, compression=method))
        for method, name in [(zipfile.ZIP_BZIP2, "bzip2"), (zipfile.ZIP_LZMA, "LZMA")]],
    "`tavik.read_audio` of a missing file or one that is not audio, with `sample_rate=0` or `dtype=\"int16\"`": [
        raises(FileNotFoundError, r"No such file or directory", lambda: read_audio_of(None)),
        raises(RuntimeError, r"Error opening", lambda: read_audio_of(b"not audio at all")),
        raises(ValueError, r"^sample_rate must be positive, not 0$", lambda: tavik.read_audio("a.wav", 0)),
        raises(ValueError, r"^dtype must be 'float64' or 'float32', not 'int16'$",
               lambda: tavik.read_audio("a.wav", dtype="int16"))],
    "`gfcc` with a negative or non-finite `lifter`": [
        raises(ValueError, r"^lifter must be 0 \(none\) or a positive finite number, not -22\.0$",
               lambda: tavik.gfcc(GRAM, 2, lifter=-22)),
        raises(ValueError, r"not nan$", lambda: tavik.gfcc(GRAM, 2, lifter=float("nan")))],
    "a column of equal values (or a single frame) given to `cmvn`": [
        raises(None, "same", lambda: (tavik.cmvn(np.full((7, 2), 0.1)).tolist(), np.zeros((7, 2)).tolist()))],
    "`plot` given `floor_dB`, the former name of `top_dB`, or both": [
        raises(DeprecationWarning, r"^plot's floor_dB is now called top_dB", lambda: plotted(g=GRAM, floor_dB=60)),
        raises(TypeError, r"^plot takes top_dB or its former name floor_dB, not both$",
               lambda: plotted(g=GRAM, top_dB=60, floor_dB=60))],
    "`plot` of a plain array without `centre_frequencies`, or of a number of them other than its columns, or with both `times` and `sample_rate` and `hop`": [
        raises(TypeError, r"^plot of a plain array needs centre_frequencies$", lambda: plotted(g=GRAM.features, times=GRAM.times)),
        raises(ValueError, r"^centre_frequencies must be 4 positive, increasing frequencies, one per column$",
               lambda: plotted(g=GRAM.features, centre_frequencies=[100, 200], times=GRAM.times)),
        raises(TypeError, r"^plot takes times or sample_rate and hop, not both$",
               lambda: plotted(g=GRAM.features, centre_frequencies=GRAM.centre_frequencies, times=GRAM.times,
                               sample_rate=16000, hop=160))],
    "float32 features: in a `.npz` file, or given to `gfcc`, `deltas` or `plot`": [
        raises(None, "same", lambda: (in_a_file({**FIELDS, "features": GRAM.features.astype(np.float32)}).features.tolist(),
                                      GRAM.features.astype(np.float32).tolist())),
        raises(None, "same", lambda: (tavik.gfcc(GRAM.features.astype(np.float32), 2).tolist(),
                                      tavik.gfcc(GRAM.features.astype(np.float32).astype(float), 2).tolist()))],
    "`channel` neither an integer nor `\"each\"` (`channel=\"all\"`, `channel=0.0`) given to `tavik.gammatonegram` or `GammatoneStream`, or `--channel all`": [
        raises(ValueError, r"^channel must be an integer or 'each', not 'all'$",
               lambda: tavik.gammatonegram(object(), 16000, channel="all")),
        raises(TypeError, r"^channel must be an integer or 'each', not float 0\.0$",
               lambda: tavik.GammatoneStream(16000, channel=0.0)),
        raises(None, "same", lambda: (command_line("gammatonegram", "--channel", "all"),
                                      (2, "tavik gammatonegram: --channel must be an integer or 'each', not 'all'\n")))],
    "`filterbank()` of a gammatonegram or stream of `channel=\"each\"`, without a channel": [
        raises(TypeError, r"^a gammatonegram of channel='each' has a filterbank per channel: pass filterbank\(channel=k\)$",
               call)
        for call in (lambda: tavik.gammatonegram(np.ones((800, 2)), 16000, channel="each").filterbank(),
                     lambda: tavik.GammatoneStream(16000, channel="each").filterbank())],
    "a `Gammatonegram` of `channel=\"each\"` (made directly or read by `tavik.load`) whose features are not 3-D or have no channel": [
        raises(TypeError, r"^features must be a 3-D float64 or float32 array, not a 2-D float64 array$",
               lambda: tavik.Gammatonegram(**{**EACH_FIELDS, "features": GRAM.features})),
        raises(ValueError, r"^features of channel='each' must have at least one channel$",
               lambda: tavik.Gammatonegram(**{**EACH_FIELDS, "features": GRAM.features[:, None, :][:, :0]})),
        raises(ValueError, r"g\.npz is not a gammatonegram: features must be a 3-D",
               lambda: in_a_file({**FIELDS, "channel": "each"}))],
    "`plot` of a gammatonegram of `channel=\"each\"` into a given `ax`": [
        raises(None, "same", lambda: (plotted_into_an_axes(tavik.gammatonegram(np.ones((800, 3)), 16000, channel="each")),
                                      "channel 0 of 3 (ax=None draws each)"))],
    "`frequency_response` of something that is not a `GammatoneFilterbank`, or of frequencies that are not real, 1-D or finite": [
        raises(TypeError, r"^filterbank must be a GammatoneFilterbank, not Extractor", lambda: tavik.frequency_response(Extractor(), [1.0])),
        raises(TypeError, r"^frequencies must be a real number or an array of real numbers; got a 0-D <U4 array$",
               lambda: tavik.frequency_response(fb, "1000")),
        raises(ValueError, r"^frequencies must be a number or a 1-D array, not an array of shape \(1, 1\)$",
               lambda: tavik.frequency_response(fb, [[1.0]])),
        raises(ValueError, r"^frequencies must be finite$", lambda: tavik.frequency_response(fb, [np.inf]))],
}
# Under AddressSanitizer a failing operator new aborts instead of throwing.
NEEDS_PLAIN_ALLOCATOR = {
    "a `num_features` whose filter table or feature vector is beyond the address space (`2**40`, `2**56`)",
    "a sequence that claims a length beyond the address space",
}


def test_the_table_and_the_cases_name_the_same_inputs():
    rows = table_rows()
    assert set(rows) == set(CASES), (set(rows) ^ set(CASES))


@pytest.mark.parametrize("row", list(CASES), ids=range(len(CASES)))
def test_every_bad_input_gets_what_its_row_says(row):
    if SANITIZED and row in NEEDS_PLAIN_ALLOCATOR:
        pytest.skip("under AddressSanitizer a failing operator new aborts instead of throwing")
    result = table_rows()[row]
    before = (fb.num_samples, fb.num_features, fb(np.linspace(-1, 1, 1024)))
    for error, message, call in CASES[row]:
        if error is None:  # accepted
            value = call()
            if message == "nan":
                assert np.isnan(value).all()
            elif message == "ones":
                assert value == [1.0, 1.0]
            else:
                assert value[0] == value[1]
            continue
        assert error.__name__ in result or "own exception" in result, (error.__name__, result)
        with pytest.raises(error, match=message):
            call()
    assert (fb.num_samples, fb.num_features, fb(np.linspace(-1, 1, 1024))) == before
