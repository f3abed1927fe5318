"""Helpers of the command line's tests: running it as a user does, reading
what it wrote, a small corpus, and Dask clusters and servers on free ports."""
import contextlib
import os
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import numpy as np
import soundfile

import tavik

SPEECH = Path(tavik.__file__).parent / "data" / "speech.wav"
SCRIPT = Path(sys.executable).parent / "tavik"


def tavik_cli(*args, cwd, script=False, env=None, timeout=300):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "tavik"]
    # Dask gives up on an address after 2 s instead of 30 s.
    env = {**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s", **(env or {})}
    return subprocess.run([*command, *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout, env=env)


def npz(path):
    with np.load(path) as data:
        return {name: data[name] for name in data.files}


def write_corpus(folder):
    """Three files at 16 kHz (one of them stereo, one nested), one unreadable."""
    rng = np.random.default_rng(5)
    (folder / "nested").mkdir(parents=True)
    (folder / "nested" / "speech.wav").write_bytes(SPEECH.read_bytes())
    soundfile.write(folder / "noise.flac", 0.1 * rng.standard_normal(9000), 16000)
    soundfile.write(folder / "two.wav", 0.1 * rng.standard_normal((7000, 2)), 16000,
                    subtype="FLOAT")
    (folder / "broken.ogg").write_bytes(b"OggS garbage")
    return ["nested/speech.npz", "noise.npz", "two.npz"]


def corpus_files(out):
    return sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file())


@contextlib.contextmanager
def small_file_system(folder, options="size=64k"):
    """A tmpfs of 64 KiB mounted at `folder` (with "ro" in `options`:
    read-only); the test is skipped where mounting is not permitted."""
    folder.mkdir(parents=True, exist_ok=True)
    try:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tavik-test",
                                  str(folder)], capture_output=True, timeout=30)
    except OSError as error:
        pytest.skip(f"cannot mount a tmpfs here: {error}")
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode(errors='replace')}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], capture_output=True, timeout=30, check=True)


def local_cluster(**options):
    """A distributed.LocalCluster that binds no fixed port: its scheduler
    listens on a free port, and so does the HTTP server that it starts even
    without a dashboard (on 8787 when given no address, and only with a
    warning, an error in these tests, when 8787 is taken): here on the
    loopback, with no dashboard on it."""
    import distributed

    return distributed.LocalCluster(dashboard_address="127.0.0.1:0",
                                    scheduler_kwargs={"dashboard": False}, **options)


@contextlib.contextmanager
def port_8787_taken():
    """Port 8787, where Dask's dashboard listens by default, held as a user's
    own dashboard would hold it (or left as it is if it is taken already)."""
    with contextlib.ExitStack() as held:
        with contextlib.suppress(OSError):
            held.enter_context(socket.create_server(("", 8787)))
        yield


@contextlib.contextmanager
def silent_server():
    """The tcp:// address of a server on a free port of the loopback that
    accepts every connection and never sends a byte."""
    listener = socket.create_server(("127.0.0.1", 0))
    accepted = []

    def accept():
        with contextlib.suppress(OSError):  # the listener closed
            while True:
                accepted.append(listener.accept()[0])

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    try:
        yield f"tcp://127.0.0.1:{listener.getsockname()[1]}"
    finally:
        listener.shutdown(socket.SHUT_RDWR)
        listener.close()
        thread.join()
        for connection in accepted:
            connection.close()


# A moto S3 server on a free port of the loopback, in a process of its own:
# it prints its port, then serves until its standard input closes.
_S3_SERVER = """
import sys
from moto.server import ThreadedMotoServer
server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
server.start()
print(server._server.server_port, flush=True)
sys.stdin.read()
server.stop()
"""
# What any client of the test servers signs its requests with.
S3_CREDENTIALS = {"AWS_ACCESS_KEY_ID": "tavik-test", "AWS_SECRET_ACCESS_KEY": "tavik-test",
                  "AWS_DEFAULT_REGION": "us-east-1"}


@contextlib.contextmanager
def s3_server(checks_credentials=False):
    """The endpoint URL of a local S3-compatible server (moto's), on a free
    port; with `checks_credentials`, one that knows no access key, so that it
    refuses every request. The test is skipped where moto is missing."""
    pytest.importorskip("moto.server")
    env = {**os.environ, **S3_CREDENTIALS}
    if checks_credentials:
        env["INITIAL_NO_AUTH_ACTION_COUNT"] = "0"
    server = subprocess.Popen([sys.executable, "-c", _S3_SERVER], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
                              text=True)
    try:
        port = server.stdout.readline().strip()
        if not port:
            pytest.fail("the S3 test server did not start")
        yield f"http://127.0.0.1:{port}"
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        server.stdout.close()


# tavik corpus writes a folder of .npz files or, to an OUT ending in .zarr, a store.
each_format = pytest.mark.parametrize("format", ["npz", "zarr"])


def out_for(format):
    """The OUT of a corpus run in this format (a store needs zarr 3, so
    CPython 3.11 or later: skipped without it)."""
    if format == "zarr":
        pytest.importorskip("zarr", minversion="3")
        return "out.zarr"
    return "out"


def recordings(out):
    """The recordings of a corpus by their names without suffix ("nested/speech")."""
    corpus = tavik.open_corpus(out)
    return {name.rsplit(".", 1)[0]: corpus[name] for name in corpus.names}


def store_files(out):
    return sorted(p.relative_to(out).as_posix() for p in Path(out).rglob("*") if p.is_file())
