"""tavik corpus against what users and faults hand it: re-runs with other
settings, odd entries under IN, hostile names, concurrent runs, dying workers
and commands, clusters without workers."""
import fcntl
import importlib.util
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tavik
from tavik import _io, _store
from tavik._analysis import Analysis
from tavik._cli import corpus

soundfile = pytest.importorskip("soundfile")

from cli_helpers import (corpus_files, each_format, local_cluster, npz, out_for,  # noqa: E402
                         port_8787_taken, recordings, silent_server, store_files, tavik_cli,
                         write_corpus)


# The pool forks this process, whose BLAS threads CPython 3.12+ warns about.
FORK_WARNING = "ignore:This process .* is multi-threaded:DeprecationWarning"


def summary(result):
    return result.stdout.splitlines()[-1]


def tone_files(folder, names, seconds=0.5, rate=16000):
    folder.mkdir(parents=True, exist_ok=True)
    t = np.arange(int(seconds * rate)) / rate
    for i, name in enumerate(names):
        soundfile.write(folder / name, 0.2 * np.sin(2 * np.pi * (200 + 50 * i) * t), rate)


class TestResuming:
    @each_format
    def test_other_settings_are_refused_and_changed_sources_redone(self, tmp_path, format):
        out = out_for(format)
        tone_files(tmp_path / "in", ["a.wav", "b.wav"])
        assert tavik_cli("corpus", "in", out, cwd=tmp_path).returncode == 0
        before = recordings(tmp_path / out)["a"]
        tone_files(tmp_path / "in", ["c.wav"])
        other = tavik_cli("corpus", "in", out, "--num-features", 32, cwd=tmp_path)
        where = "out/a.npz, and 1 more file(s)" if format == "npz" else "out.zarr"
        assert other.returncode == 2 and other.stderr == (
            f"tavik corpus: {out} holds features made with other settings (num_features 64 "
            f"instead of 32 in {where}); pass --overwrite to redo them, or choose another OUT\n")
        assert sorted(recordings(tmp_path / out)) == ["a", "b"]

        # b.wav rewritten (other size), a.wav touched (another time stamp).
        tone_files(tmp_path / "in", ["b.wav"], seconds=0.6)
        touched = (tmp_path / "in" / "a.wav").stat().st_mtime_ns
        os.utime(tmp_path / "in" / "a.wav", ns=(touched + 10**9,) * 2)
        again = tavik_cli("corpus", "in", out, cwd=tmp_path)
        assert summary(again).startswith("3 done, 0 skipped as already done, 0 failed")
        redone = recordings(tmp_path / out)
        assert redone["a"].extra["source_mtime_ns"] == touched + 10**9
        assert redone["a"].features.tobytes() == before.features.tobytes()
        assert redone["b"].extra["source_size"] == (tmp_path / "in" / "b.wav").stat().st_size
        assert summary(tavik_cli("corpus", "in", out, cwd=tmp_path)).startswith(
            "0 done, 3 skipped as already done")

        redo = tavik_cli("corpus", "in", out, "--num-features", 32, "--overwrite", cwd=tmp_path)
        assert summary(redo).startswith("3 done, 0 skipped") and redo.returncode == 0
        assert {name: g.features.shape[1] for name, g in recordings(tmp_path / out).items()
                } == {"a": 32, "b": 32, "c": 32}

    def test_short_files_are_done_with_no_frames(self, tmp_path):
        tone_files(tmp_path / "in", ["short.wav"], seconds=0.01)
        tone_files(tmp_path / "in", ["long.wav"])
        result = tavik_cli("corpus", "in", "out", cwd=tmp_path)
        assert result.returncode == 0 and result.stderr == ""
        assert summary(result) == ("2 done (1 shorter than one frame: no frames), 0 skipped as "
                                   "already done, 0 failed (features under out)")
        assert npz(tmp_path / "out" / "short.npz")["features"].shape == (0, 64)

    def test_each_channel_on_its_own_and_a_run_with_another_channel_refused(self, tmp_path):
        written = write_corpus(tmp_path / "in")
        tone_files(tmp_path / "in", ["short.wav"], seconds=0.01)
        result = tavik_cli("corpus", "in", "out", "--channel", "each", "--workers", 2,
                           cwd=tmp_path)
        assert summary(result).startswith("4 done (1 shorter than one frame: no frames), 0 "
                                          "skipped as already done, 1 failed"), result.stderr
        sources = ["nested/speech.wav", "noise.flac", "two.wav"]
        for name, source in zip(written, sources):
            samples, rate = soundfile.read(tmp_path / "in" / source)
            loaded = tavik.load(tmp_path / "out" / name)
            expected = tavik.gammatonegram(samples, rate, channel="each").features
            assert loaded.channel == "each" and loaded.features.tobytes() == expected.tobytes()
        assert npz(tmp_path / "out" / "two.npz")["features"].shape[1] == 2
        assert npz(tmp_path / "out" / "short.npz")["features"].shape == (0, 1, 64)
        other = tavik_cli("corpus", "in", "out", "--channel", 0, cwd=tmp_path)
        assert other.returncode == 2 and "channel 'each' instead of 0" in other.stderr

    @pytest.mark.parametrize("out, line", [
        ("out", "out exists and is not a folder"),
        ("out/x", "cannot write out/x: out is not a folder"),
        ("y" * 300, f"cannot write {'y' * 300}: File name too long"),
        ("new/" + "y" * 300, f"cannot write new/{'y' * 300}: File name too long"),
    ])
    def test_an_out_that_cannot_be_a_folder_is_refused_before_any_work(self, tmp_path, out, line):
        tone_files(tmp_path / "in", ["a.wav"])
        (tmp_path / "out").write_text("")
        result = tavik_cli("corpus", "in", out, cwd=tmp_path)
        assert (result.returncode, result.stderr, result.stdout) == (2, f"tavik corpus: {line}\n", "")
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in", "out"]

    @each_format
    def test_a_second_run_on_the_same_out_stops_at_once(self, tmp_path, format):
        out = out_for(format)
        tone_files(tmp_path / "in", ["a.wav"])
        (tmp_path / out).mkdir()
        held = os.open(tmp_path / out, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(held, fcntl.LOCK_EX)
            result = tavik_cli("corpus", "in", out, cwd=tmp_path)
        finally:
            os.close(held)
        assert (result.returncode, result.stderr) == (
            2, f"tavik corpus: another tavik corpus run is writing to {out}\n")
        assert os.listdir(tmp_path / out) == []

    @pytest.mark.parametrize("replacement, format", [
        ("cp -p", "npz"), ("same stamp, new inode", "npz"), ("no stamp recorded", "npz"),
        ("cp -p", "zarr"), ("same stamp, new inode", "zarr")])
    def test_a_replaced_source_is_redone(self, tmp_path, replacement, format):
        """A source replaced by another recording of the same size, with the
        time stamp of its own (`cp -p`) or with the very same one (`tar x`,
        `rsync -a` of a file made at the same time): a new inode. An .npz of
        an earlier run that recorded neither is made again too. In a store,
        the new part's recording stands for the old one."""
        out = out_for(format)
        tone_files(tmp_path / "in", ["a.wav", "b.wav"])
        tone_files(tmp_path / "other", ["b.wav", "a.wav"])  # another tone, the same size
        other = tmp_path / "other" / "a.wav"
        source, target = tmp_path / "in" / "a.wav", tmp_path / "out" / "a.npz"
        assert other.stat().st_size == source.stat().st_size
        assert other.read_bytes() != source.read_bytes()
        os.utime(other, ns=(source.stat().st_mtime_ns - 10**9,) * 2)  # older than the features
        assert tavik_cli("corpus", "in", out, cwd=tmp_path).returncode == 0
        old = source.stat()
        if replacement == "cp -p":
            subprocess.run(["cp", "-p", other, source], check=True)
            assert source.stat().st_ino == old.st_ino
        elif replacement == "same stamp, new inode":
            copy = tmp_path / "in" / "a.wav.part"
            copy.write_bytes(other.read_bytes())
            os.utime(copy, ns=(old.st_atime_ns, old.st_mtime_ns))
            copy.rename(source)
            assert (source.stat().st_size, source.stat().st_mtime_ns) == (old.st_size, old.st_mtime_ns)
        else:
            fields = npz(target)
            stored = json.loads(str(fields["settings"]))
            for name in ("source_mtime_ns", "source_inode"):
                del fields[name], stored[name]
            _io.save_atomically(target, {**fields, "settings": json.dumps(stored, sort_keys=True)})
        again = tavik_cli("corpus", "in", out, cwd=tmp_path)
        assert summary(again).startswith("1 done, 1 skipped as already done, 0 failed")
        samples, rate = soundfile.read(source)
        corpus = tavik.open_corpus(tmp_path / out)
        redone = recordings(tmp_path / out)["a"]
        assert redone.features.tobytes() == tavik.gammatonegram(samples, rate).features.tobytes()
        now = source.stat()
        assert [redone.extra[name] for name in ("source_size", "source_mtime_ns", "source_inode")
                ] == [now.st_size, now.st_mtime_ns, now.st_ino]
        # The rows of the corpus are those of its recordings, the old ones left out.
        assert np.asarray(corpus.features).tobytes() == b"".join(
            g.features.tobytes() for g in corpus)
        assert summary(tavik_cli("corpus", "in", out, cwd=tmp_path)).startswith(
            "0 done, 2 skipped as already done")


class TestEntries:
    def test_every_entry_is_done_or_listed_with_its_reason(self, tmp_path):
        folder = tmp_path / "in"
        tone_files(folder / "real", ["a.wav"])
        tone_files(folder, ["b.wav"])
        (folder / "linked").symlink_to(folder / "real")           # followed
        (folder / "real" / "loop").symlink_to(folder)             # not followed
        (folder / "gone.wav").symlink_to(folder / "nothing.wav")  # broken
        os.mkfifo(folder / "pipe.flac")
        (folder / "notes.txt").write_text("not audio")
        (tmp_path / "out" / "b.npz").mkdir(parents=True)          # a target that is a folder
        result = tavik_cli("corpus", "in", "out", cwd=tmp_path)
        assert result.returncode == 1
        assert result.stderr.splitlines() == [
            "tavik corpus: in/gone.wav: skipped: broken symbolic link",
            "tavik corpus: in/linked/loop: skipped: a link to a folder that contains it",
            "tavik corpus: in/pipe.flac: skipped: not a regular file (a FIFO)",
            "tavik corpus: in/real/loop: skipped: a link to a folder that contains it",
            "tavik corpus: in/b.wav: out/b.npz exists and is not a file",
        ]
        assert summary(result) == ("2 done, 0 skipped as already done, 1 failed, 4 skipped as "
                                   "not files to read, 1 other files ignored (features under out)")
        assert corpus_files(tmp_path / "out") == ["linked/a.npz", "real/a.npz"]

    @pytest.mark.parametrize("channels, value, reason", [
        (1, np.nan, "The signal holds a non-finite sample (nan) at sample 5000"),
        (2, np.inf, "The signal holds a non-finite sample (inf) at sample 5000 of channel 1"),
    ])
    def test_a_file_with_a_non_finite_sample_fails_alone(self, tmp_path, channels, value, reason):
        """Continuous mode would carry it into every later frame."""
        tone_files(tmp_path / "in", ["a.wav", "c.wav"])
        samples = np.zeros((16000, channels))
        samples[5000, channels - 1] = value
        soundfile.write(tmp_path / "in" / "b.wav", samples, 16000, subtype="FLOAT")
        result = tavik_cli("corpus", "in", "out", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (1, f"tavik corpus: in/b.wav: {reason}\n")
        assert summary(result).startswith("2 done, 0 skipped as already done, 1 failed")
        assert corpus_files(tmp_path / "out") == ["a.npz", "c.npz"]

    def test_an_unreadable_folder_is_a_failure(self, tmp_path, monkeypatch):
        tone_files(tmp_path / "in" / "locked", ["a.wav"])
        tone_files(tmp_path / "in", ["b.wav"])
        scandir = os.scandir

        def refuse(path):
            if str(path).endswith("locked"):
                raise PermissionError(13, "Permission denied", str(path))
            return scandir(path)

        monkeypatch.setattr(corpus.os, "scandir", refuse)
        found = corpus.survey(tmp_path / "in", {".wav"})
        assert found.audio == [tmp_path / "in" / "b.wav"]
        assert found.failures == [f"{tmp_path / 'in' / 'locked'}: cannot list the folder: "
                                  f"Permission denied"]

    def test_hostile_names_and_their_temporaries(self, tmp_path):
        longest = "x" * (255 - len(".npz")) + ".wav"  # its target's name is 255 bytes long
        names = ["[a]*?.wav", longest, "a.wav"]
        tone_files(tmp_path / "in", names)
        # A leftover of a killed write of a.npz, and another file's temporary.
        out = tmp_path / "out"
        out.mkdir()
        _io.temporary_path(out / "a.npz").write_bytes(b"half")
        other = _io.temporary_path(out / "unrelated.npz")
        other.write_bytes(b"someone else's")
        result = tavik_cli("corpus", "in", "out", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert sorted(p.name for p in out.iterdir()) == sorted(
            [n[:-4] + ".npz" for n in names] + [other.name])
        assert len(_io.temporary_path(out / longest).name) < 64


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError):
            continue
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def assert_gone_within_seconds(workers, seconds=5):
    """Workers may still be ending as the command exits: a few seconds is the promise."""
    deadline = time.monotonic() + seconds
    while any(alive(w) for w in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(alive(w) for w in workers)


@pytest.fixture(params=["npz", "zarr"])
def busy_corpus(tmp_path, request):
    """Work that keeps the pool busy for about a minute on a fast machine
    (frames mode with a one-sample hop), so that a signal always finds the
    run in progress; the tests end it long before that. In either format."""
    out = out_for(request.param)
    tone_files(tmp_path / "in", [f"{i}.wav" for i in range(8)], seconds=10)
    return [sys.executable, "-m", "tavik", "corpus", "in", out, "--workers", "2",
            "--mode", "frames", "--hop", "1", "--num-features", "64"]


def assert_nothing_half_written(out):
    """An ended run leaves whole files or parts, or none: the corpus opens,
    and every recording it lists reads."""
    if os.path.exists(out):
        corpus = tavik.open_corpus(out)
        assert all(len(g.features) for g in corpus)


def start_and_wait_for_workers(command, cwd):
    # SIGINT as a terminal leaves it, also when the tests run in the
    # background (which starts them with SIGINT ignored).
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True, start_new_session=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while len(children_of(process.pid)) < 2 and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.5)
    if process.poll() is not None:
        process.communicate()
        pytest.fail("the run ended before it could be signalled")
    return process, children_of(process.pid)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL])
def test_workers_end_with_the_command(busy_corpus, tmp_path, how):
    process, workers = start_and_wait_for_workers(busy_corpus, tmp_path)
    assert len(workers) >= 2
    process.send_signal(how)
    process.communicate(timeout=30)
    assert_gone_within_seconds(workers)
    assert_nothing_half_written(tmp_path / busy_corpus[5])


@pytest.mark.timeout(120)
def test_ctrl_c_ends_the_run_in_one_line(busy_corpus, tmp_path):
    process, workers = start_and_wait_for_workers(busy_corpus, tmp_path)
    os.killpg(process.pid, signal.SIGINT)  # as the terminal sends it: to every process
    _, stderr = process.communicate(timeout=30)
    assert (process.returncode, stderr) == (130, "tavik corpus: interrupted\n")
    assert_gone_within_seconds(workers)
    assert_nothing_half_written(tmp_path / busy_corpus[5])


@pytest.mark.skipif(bool(os.environ.get("TAVIK_SANITIZED")),
                    reason="a pool forked from the sanitized test process can deadlock in the "
                           "sanitizer runtime's own locks")
@pytest.mark.timeout(120)
@pytest.mark.filterwarnings(FORK_WARNING)
@each_format
def test_a_dying_worker_costs_a_retry_not_the_run(tmp_path, monkeypatch, format):
    """The pool's processes are forked, so they run the patched job. In a
    store, the part in flight is left unfinished, and its files are done
    again each in a part of its own."""
    out = tmp_path / out_for(format)
    tone_files(tmp_path / "in", ["a.wav", "dies-once.wav", "dies-always.wav", "d.wav"])
    real = corpus._do_job

    def job(settings, resample, job, threads, part=None):
        died = tmp_path / f"{job.name}.died"
        if "dies-always" in job.name or ("dies-once" in job.name and not died.exists()):
            died.touch()
            os.kill(os.getpid(), signal.SIGKILL)
        return real(settings, resample, job, threads, part)

    monkeypatch.setattr(corpus, "_do_job", job)
    settings = corpus.Settings(Analysis(16000, num_features=8, high_Hz=7200, mode="frames"), -200.0)
    output = None
    if format == "zarr":
        output = _store.Output(_store.Location(str(out)), 1, 8, "float64")
        _store.prepare(output.location, settings.stored(), "float64", fresh=False)
    jobs = [corpus.Job(p.name, str(p), p.name if output else str(out / (p.stem + ".npz")),
                       corpus.Stamp.of(p.stat()), 0.5, i)
            for i, p in enumerate(sorted((tmp_path / "in").iterdir()))]
    outcomes = [o for batch in corpus.run_locally([jobs], settings, False, 2, output)
                for o in batch]
    assert sorted((o.name, o.error) for o in outcomes) == [
        ("a.wav", None), ("d.wav", None),
        ("dies-always.wav", "a worker process died while doing this file, also when retried"),
        ("dies-once.wav", None)]
    assert sorted(recordings(out)) == ["a", "d", "dies-once"]


def test_dask_without_workers_and_unknown_addresses_exit_2(tmp_path):
    pytest.importorskip("distributed")
    tone_files(tmp_path / "in", ["a.wav"])
    with local_cluster(n_workers=0) as cluster:
        start = time.monotonic()
        result = tavik_cli("corpus", "in", "out", "--scheduler", cluster.scheduler_address,
                           "--worker-timeout", 1, cwd=tmp_path)
        assert time.monotonic() - start < 60
    assert (result.returncode, result.stderr) == (
        2, f"tavik corpus: no Dask worker joined the scheduler at {cluster.scheduler_address} "
           f"within 1 s (--worker-timeout)\n")
    unknown = tavik_cli("corpus", "in", "out", "--scheduler", "nosuch://x:1", cwd=tmp_path)
    assert unknown.returncode == 2 and unknown.stderr.count("\n") == 1
    assert unknown.stderr.startswith("tavik corpus: cannot reach the Dask scheduler at nosuch://x:1")
    # A server that accepts the connection and never answers: Dask's Client
    # alone would wait for its handshake for ever.
    with silent_server() as address:
        silent = tavik_cli("corpus", "in", "out", "--scheduler", address, "--worker-timeout", 3,
                           cwd=tmp_path, timeout=60)
    assert (silent.returncode, silent.stderr) == (
        2, f"tavik corpus: cannot reach the Dask scheduler at {address}: it accepted the "
           f"connection, but no answer came within Dask's connection timeout (2 s)\n")
    assert not (tmp_path / "out").exists()


def test_the_tests_clusters_bind_no_fixed_port():
    """Port 8787 taken (a Dask dashboard of the user's): where warnings are
    errors, a cluster that reached for it would fail."""
    pytest.importorskip("distributed")
    with port_8787_taken(), local_cluster(n_workers=0, processes=False):
        pass  # started without a warning


@pytest.mark.filterwarnings(FORK_WARNING)
def test_one_long_file_takes_every_core(monkeypatch):
    jobs = [corpus.Job("long.wav", "/x", "/y", corpus.Stamp(0, 0, 0), 3600.0)]
    settings = corpus.Settings(Analysis(16000, high_Hz=7200, mode="frames"), -200.0)
    assert corpus.tasks_of(jobs, settings, 2) == [jobs]
    # The pool's process is forked: it runs the patched task, which tells its threads.
    monkeypatch.setattr(corpus, "_do_job", lambda settings, resample, job, threads, part: threads)
    outcomes = list(corpus.run_locally([jobs], settings, False, 4))
    assert outcomes == [[corpus.Outcome("long.wav", corpus.cores(), None)]]
    many = [corpus.Job(f"{i}.wav", "/x", "/y", corpus.Stamp(0, 0, 0), 1.0) for i in range(2000)]
    tasks = corpus.tasks_of(many, settings, 2)
    assert sum(map(len, tasks)) == 2000 and 8 <= len(tasks) < 2000


# --- Object storage --------------------------------------------------------------

@pytest.fixture(scope="module")
def s3():
    """A local S3 server and a client of it, shared by the module's tests:
    each puts its files under a bucket of its own."""
    from cli_helpers import S3_CREDENTIALS, s3_server

    pytest.importorskip("s3fs")
    import s3fs

    with s3_server() as endpoint:
        client = s3fs.S3FileSystem(endpoint_url=endpoint, key=S3_CREDENTIALS["AWS_ACCESS_KEY_ID"],
                                   secret=S3_CREDENTIALS["AWS_SECRET_ACCESS_KEY"])
        yield endpoint, client


def upload(client, folder, bucket):
    client.mkdir(bucket)
    for path in sorted(folder.rglob("*")):
        if path.is_file():
            client.pipe(f"{bucket}/in/{path.relative_to(folder).as_posix()}", path.read_bytes())


def on_s3(endpoint, *args, cwd, **options):
    from cli_helpers import S3_CREDENTIALS

    return tavik_cli("corpus", *args, "--storage-option", f"endpoint_url={endpoint}",
                     cwd=cwd, env=S3_CREDENTIALS, timeout=180, **options)


def assert_same_features(out, reference, names):
    """The same features and settings as the local run's, whatever the
    source's stamp."""
    for name in names:
        ours, theirs = npz(out / name), npz(reference / name)
        for field in ("features", "times", "centre_frequencies", "sample_rate", "num_features",
                      "transform", "source_sample_rate"):
            assert ours[field].tobytes() == theirs[field].tobytes(), (name, field)


# An OUT.zarr needs zarr 3, on CPython 3.11 and later.
HAS_STORE = sys.version_info >= (3, 11) and importlib.util.find_spec("zarr") is not None
NEEDS_ZARR = pytest.mark.skipif(not HAS_STORE, reason="a store needs zarr 3 (CPython 3.11+)")


@pytest.mark.timeout(300)
class TestObjectStorage:
    def test_a_bucket_gives_the_local_npz_files(self, s3, tmp_path):
        endpoint, client = s3
        written = write_corpus(tmp_path / "in")
        upload(client, tmp_path / "in", "folder")
        local = tavik_cli("corpus", "in", "local", "--sample-rate", 11025, cwd=tmp_path)
        run = on_s3(endpoint, "s3://folder/in", "out", "--sample-rate", 11025, "--workers", 2,
                    cwd=tmp_path)
        assert (local.returncode, run.returncode) == (1, 1), run.stderr
        assert "\ntavik corpus: s3://folder/in/broken.ogg: cannot read as audio: " in "\n" + run.stderr
        assert summary(run) == "3 done, 0 skipped as already done, 1 failed (features under out)"
        assert corpus_files(tmp_path / "out") == written
        assert_same_features(tmp_path / "out", tmp_path / "local", written)
        info = client.info("folder/in/noise.flac")
        stamp = npz(tmp_path / "out" / "noise.npz")
        assert (int(stamp["source_size"]), str(stamp["source_etag"])) == (info["size"], info["ETag"])

    def test_a_bucket_to_a_store_in_a_bucket_on_the_pool_and_on_dask(self, s3, tmp_path):
        """The store of the local run, bit for bit, read where it is."""
        pytest.importorskip("zarr", minversion="3")
        from cli_helpers import S3_CREDENTIALS

        endpoint, client = s3
        write_corpus(tmp_path / "in")
        upload(client, tmp_path / "in", "pool")
        local = tavik_cli("corpus", "in", "local.zarr", "--sample-rate", 11025, cwd=tmp_path)
        pool = on_s3(endpoint, "s3://pool/in", "s3://pool/out.zarr", "--sample-rate", 11025,
                     "--workers", 2, cwd=tmp_path)
        assert (local.returncode, pool.returncode) == (1, 1), pool.stderr
        assert summary(pool) == ("3 done, 0 skipped as already done, 1 failed (features under "
                                 "s3://pool/out.zarr)")
        assert summary(on_s3(endpoint, "s3://pool/in", "s3://pool/out.zarr", "--sample-rate",
                             11025, cwd=tmp_path)).startswith("0 done, 3 skipped as already done")

        # The workers have no credentials of their own: those given as options
        # travel with the tasks.
        pytest.importorskip("distributed")
        with local_cluster(n_workers=2, threads_per_worker=1, processes=True) as cluster:
            dask = on_s3(endpoint, "s3://pool/in/", "s3://pool/dask.zarr/", "--sample-rate", 11025,
                         "--scheduler", cluster.scheduler_address, "--storage-option",
                         f"key={S3_CREDENTIALS['AWS_ACCESS_KEY_ID']}", "--storage-option",
                         f"secret={S3_CREDENTIALS['AWS_SECRET_ACCESS_KEY']}", cwd=tmp_path)
        assert dask.returncode == 1 and summary(dask).startswith("3 done"), dask.stderr
        expected = tavik.open_corpus(tmp_path / "local.zarr")
        for name in ("out.zarr", "dask.zarr"):
            got = tavik.open_corpus(f"s3://pool/{name}", storage_options={
                "endpoint_url": endpoint, "key": S3_CREDENTIALS["AWS_ACCESS_KEY_ID"],
                "secret": S3_CREDENTIALS["AWS_SECRET_ACCESS_KEY"]})
            assert got.names == expected.names == ("nested/speech.wav", "noise.flac", "two.wav")
            assert np.asarray(got.features).tobytes() == np.asarray(expected.features).tobytes()
            assert got.settings == expected.settings
            info = client.info("pool/in/noise.flac")
            extra = got["noise.flac"].extra
            assert (extra["source_size"], extra["source_etag"]) == (info["size"], info["ETag"])

    def test_a_replaced_object_is_redone(self, s3, tmp_path):
        """An overwrite of the same size: a new ETag."""
        endpoint, client = s3
        tone_files(tmp_path / "in", ["a.wav", "b.wav"])
        tone_files(tmp_path / "other", ["b.wav"])  # another tone, the same size
        upload(client, tmp_path / "in", "resume")
        assert on_s3(endpoint, "s3://resume/in", "out", cwd=tmp_path).returncode == 0
        again = on_s3(endpoint, "s3://resume/in", "out", cwd=tmp_path)
        assert summary(again).startswith("0 done, 2 skipped as already done")
        client.pipe("resume/in/a.wav", (tmp_path / "other" / "b.wav").read_bytes())
        redone = on_s3(endpoint, "s3://resume/in", "out", cwd=tmp_path)
        assert summary(redone).startswith("1 done, 1 skipped as already done, 0 failed")
        samples, rate = soundfile.read(tmp_path / "other" / "b.wav")
        assert (npz(tmp_path / "out" / "a.npz")["features"].tobytes()
                == tavik.gammatonegram(samples, rate).features.tobytes())

    def test_a_file_url_is_the_local_folder(self, tmp_path):
        """Also a relative one on Dask, whose workers run in another folder."""
        pytest.importorskip("fsspec")
        written = write_corpus(tmp_path / "in")
        local = tavik_cli("corpus", "in", "local", cwd=tmp_path)
        url = tavik_cli("corpus", f"file://{tmp_path}/in", "url", cwd=tmp_path)
        assert local.returncode == url.returncode == 1 and summary(url).startswith("3 done")
        assert_same_features(tmp_path / "url", tmp_path / "local", written)
        assert summary(tavik_cli("corpus", "file://in", "url", cwd=tmp_path)
                       ).startswith("0 done, 3 skipped as already done")
        pytest.importorskip("distributed")
        with local_cluster(n_workers=1, threads_per_worker=1, processes=True) as cluster:
            dask = tavik_cli("corpus", "file://in", "dask", "--scheduler",
                             cluster.scheduler_address, cwd=tmp_path)
            store = (tavik_cli("corpus", "file://in", "file://dask.zarr", "--scheduler",
                               cluster.scheduler_address, cwd=tmp_path) if HAS_STORE else None)
        assert summary(dask).startswith("3 done"), dask.stderr
        assert_same_features(tmp_path / "dask", tmp_path / "local", written)
        if store is not None:
            assert summary(store).startswith("3 done"), store.stderr
            stored = tavik.open_corpus(tmp_path / "dask.zarr")
            assert [g.features.tobytes() for g in stored] == [
                npz(tmp_path / "local" / name)["features"].tobytes() for name in written]

    @pytest.mark.parametrize("args, line", [
        (["nosuch://bucket/in", "out"], "cannot use nosuch://bucket/in: unknown protocol nosuch://"),
        (["s3://missing/in", "out"],
         "no such folder: s3://missing/in (The specified bucket does not exist)"),
        (["s3://bucket/nothing", "out"], "no such folder: s3://bucket/nothing"),
        pytest.param(["in", "s3://missing/out.zarr"],
                     "cannot write s3://missing/out.zarr: no such bucket: missing", marks=NEEDS_ZARR),
        (["s3://bucket/in", "s3://bucket/out"],
         "cannot write s3://bucket/out: .npz files go to a local folder; on object storage, "
         "features go to a Zarr store: an OUT ending in .zarr, or --format zarr"),
        (["s3://bucket/in", "out", "--storage-option", "anon"],
         "--storage-option takes KEY=VALUE, not 'anon'"),
        (["in", "out"], "--storage-option is for an IN or OUT given as a URL (s3://...), "
                        "and neither is"),
    ])
    def test_bad_urls_and_options_are_one_line_and_status_2(self, s3, tmp_path, args, line):
        endpoint, client = s3
        if not client.exists("bucket"):
            tone_files(tmp_path / "in", ["a.wav"])
            upload(client, tmp_path / "in", "bucket")
        tone_files(tmp_path / "in", ["a.wav"])
        result = on_s3(endpoint, *args, cwd=tmp_path)
        assert (result.returncode, result.stderr, result.stdout) == (2, f"tavik corpus: {line}\n", "")
        assert not (tmp_path / "out").exists()

    def test_refused_credentials_are_one_line_and_status_2(self, tmp_path):
        from cli_helpers import s3_server

        pytest.importorskip("s3fs")
        tone_files(tmp_path / "in", ["a.wav"])
        with s3_server(checks_credentials=True) as endpoint:
            results = [(on_s3(endpoint, "s3://bucket/in", "out", cwd=tmp_path),
                        "cannot read s3://bucket/in")]
            if HAS_STORE:
                results.append((on_s3(endpoint, "in", "s3://bucket/out.zarr", cwd=tmp_path),
                                "cannot write s3://bucket/out.zarr"))
        for result, line in results:
            assert (result.returncode, result.stderr) == (
                2, f"tavik corpus: {line}: access refused (Forbidden): check the credentials\n")
        assert not (tmp_path / "out").exists()

    def test_fsspec_is_needed_by_urls_alone(self, tmp_path):
        """With an fsspec that cannot be imported, a local run is as ever."""
        blocked = tmp_path / "blocked"
        blocked.mkdir()
        (blocked / "fsspec.py").write_text("raise ImportError('no fsspec here')\n")
        env = {"PYTHONPATH": os.pathsep.join([str(blocked), os.environ.get("PYTHONPATH", "")])}
        tone_files(tmp_path / "in", ["a.wav"])
        assert tavik_cli("corpus", "in", "out", cwd=tmp_path, env=env).returncode == 0
        url = tavik_cli("corpus", f"file://{tmp_path}/in", "out", cwd=tmp_path, env=env)
        assert (url.returncode, url.stderr) == (
            2, "tavik corpus: this command needs the Python package fsspec: "
               "pip install 'tavik[store]'\n")


def test_a_store_s_parts_hold_many_files_and_a_long_file_few():
    """At most one file of a store per 500 recordings: a part is PART_RECORDINGS
    files (two files of the store for short ones), fewer when they are long,
    and fewer files are shared out among the workers."""
    settings = corpus.Settings(Analysis(16000, high_Hz=7200), -200.0)
    short = [corpus.Job(f"{i}.wav", "/x", f"{i}.wav", corpus.Stamp(0, 0, 0), 1.0, i)
             for i in range(2500)]
    assert [len(t) for t in corpus.parts_of(short, settings, 2)] == [1000, 1000, 500]
    assert [len(t) for t in corpus.parts_of(short[:301], settings, 2)] == [151, 150]
    hours = [corpus.Job(f"{i}.wav", "/x", f"{i}.wav", corpus.Stamp(0, 0, 0), 3600.0, i)
             for i in range(20)]  # about 7.4 s of work each
    assert [len(t) for t in corpus.parts_of(hours, settings, 1)] == [8, 8, 4]
    assert _store.shard_rows(64, "float64") * 64 * 8 <= _store.SHARD_BYTES


@pytest.fixture(scope="module", params=["npz", "zarr"])
def written(request, tmp_path_factory):
    """A corpus of three recordings (one shorter than a frame) in either format."""
    folder = tmp_path_factory.mktemp(request.param)
    out = out_for(request.param)
    tone_files(folder / "in", ["b.wav", "a.wav"])
    tone_files(folder / "in" / "sub", ["c.wav"], seconds=0.3)
    tone_files(folder / "in", ["empty.wav"], seconds=0.01)
    assert tavik_cli("corpus", "in", out, "--num-features", 8, cwd=folder).returncode == 0
    return tavik.open_corpus(folder / out)


class TestOpenCorpus:
    @pytest.mark.parametrize("key", [
        7, -1, slice(None), slice(40, 60), slice(None, None, 7), slice(60, 40), slice(-5, None),
        (slice(45, 52), slice(2, 4)), (3, 5), np.array([80, 3, 3, 49, 0]), [],
        np.arange(124) % 3 == 0, (np.array([1, 100]), 2)])
    def test_rows_read_as_numpy_reads_them_all(self, written, key):
        everything = np.concatenate([g.features for g in written])
        assert np.asarray(written.features).tobytes() == everything.tobytes()
        assert written.features[key].tobytes() == everything[key].tobytes()
        assert written.features[key].shape == everything[key].shape

    def test_recordings_in_name_order_with_their_rows(self, written):
        suffix = ".wav" if written.format == "zarr" else ".npz"
        assert written.names == tuple(n + suffix for n in ("a", "b", "empty", "sub/c"))
        assert written.offsets.tolist() == [0, 48, 96, 96, 124]
        assert written.features.shape == (124, 8) and written["empty" + suffix].features.shape == (0, 8)
        assert [g.extra["source_size"] for g in written] == [written[i].extra["source_size"]
                                                          for i in range(4)]
        assert written.settings["num_features"] == 8
        assert np.asarray(written.to_dask(chunk_rows=50)).tobytes() == np.asarray(
            written.features).tobytes()

    @pytest.mark.parametrize("key, error", [
        ("nothing.wav", KeyError), (4, IndexError), (-5, IndexError), (1.0, TypeError),
        (True, TypeError), (slice(1), TypeError)])
    def test_a_recording_it_lacks_is_refused(self, written, key, error):
        with pytest.raises(error):
            written[key]

    @pytest.mark.parametrize("key", [200, -125, np.array([[1]]), np.array([0.5]), "a",
                                     np.ones(3, dtype=bool)])
    def test_rows_it_lacks_are_an_index_error(self, written, key):
        with pytest.raises(IndexError):
            written.features[key]

    def test_what_is_no_corpus_is_refused(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            tavik.open_corpus(tmp_path / "nothing")
        (tmp_path / "file").write_text("")
        with pytest.raises(NotADirectoryError):
            tavik.open_corpus(tmp_path / "file")
        with pytest.raises(TypeError, match="path must be a str or an os.PathLike, not int 3"):
            tavik.open_corpus(3)
        out_for("zarr")
        (tmp_path / "other.zarr").mkdir()
        (tmp_path / "other.zarr" / "zarr.json").write_text('{"zarr_format": 3, "attributes": {}}')
        with pytest.raises(ValueError, match=f"^{tmp_path / 'other.zarr'} exists and is not a "
                                             f"tavik corpus store$"):
            tavik.open_corpus(tmp_path / "other.zarr")
        assert len(tavik.open_corpus(tmp_path)) == 0  # a folder without .npz files

    def test_unfinished_parts_are_never_read_and_the_next_run_removes_them(self, tmp_path):
        """What a killed task leaves: a temporary, and (where parts are not
        renamed) a part whose table was never written."""
        out = tmp_path / out_for("zarr")
        tone_files(tmp_path / "in", ["a.wav"])
        assert tavik_cli("corpus", "in", out.name, cwd=tmp_path).returncode == 0
        [part] = [p for p in (out / "parts").iterdir() if p.is_dir()]
        for name in (".000002-000000000-000001.partial", "000002-000000000-000001"):
            copy = out / "parts" / name
            copy.mkdir()
            (copy / "c").mkdir()
            document = json.loads((part / "zarr.json").read_text())
            del document["attributes"]["tavik"]
            (copy / "zarr.json").write_text(json.dumps(document))
        assert tavik.open_corpus(out).names == ("a.wav",)
        tone_files(tmp_path / "in", ["b.wav"])
        again = tavik_cli("corpus", "in", out.name, cwd=tmp_path)
        assert summary(again).startswith("1 done, 1 skipped as already done, 0 failed")
        assert sorted(p.name for p in (out / "parts").iterdir()) == [
            part.name, "000002-000000000-000001", "zarr.json"]
        assert tavik.open_corpus(out).names == ("a.wav", "b.wav")
