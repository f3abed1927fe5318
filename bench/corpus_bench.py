"""The corpus's own cost per file: `tavik corpus` on many one-second files
beside a plain loop that reads, computes and writes the same files, and a
two-worker Dask cluster beside the two-process pool; then a store
(OUT.zarr) beside a folder of .npz files: recordings written per second,
and every row read back.

    python bench/corpus_bench.py [--files 500 2000] [--no-dask] [--store-files 2000]
    python bench/corpus_bench.py --files --no-dask --store-files 20000   # the large case

Everything but reading, features and writing is the corpus's own overhead:
(corpus time - loop time) / files, with one worker process and the whole
command held to one core, so that both do the same work on one core and
nothing of the command's own process is hidden on another.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402
import soundfile  # noqa: E402

import tavik  # noqa: E402

from tavik import _io  # noqa: E402
from tavik._cli import main as tavik_main  # noqa: E402
from tavik._cli.common import Settings, extract, npz_fields, record_of  # noqa: E402
from tavik._cli.corpus import Stamp  # noqa: E402

RATE = 16000


def make_corpus(folder, count):
    rng = np.random.default_rng(0)
    for i in range(count):
        sub = folder / f"{i // 500:03d}"
        sub.mkdir(parents=True, exist_ok=True)
        soundfile.write(sub / f"{i:05d}.wav", 0.1 * rng.standard_normal(RATE), RATE,
                        subtype="PCM_16")


def plain_loop(folder, out, settings):
    """Read, features and write of every file, nothing else."""
    start = time.perf_counter()
    for path in sorted(folder.rglob("*.wav")):
        extracted = extract(path, settings, resample=False, num_threads=1)
        g = record_of(extracted, settings)
        target = out / path.relative_to(folder).with_suffix(".npz")
        _io.save_atomically(target, npz_fields(g, settings, source_sample_rate=RATE,
                                               **Stamp.of(path.stat()).fields()))
    return time.perf_counter() - start


def corpus(folder, out, *options):
    start = time.perf_counter()
    with open(os.devnull, "w") as devnull:
        stdout, stderr = sys.stdout, sys.stderr
        sys.stdout = sys.stderr = devnull
        try:
            status = tavik_main(["corpus", str(folder), str(out), *options])
        finally:
            sys.stdout, sys.stderr = stdout, stderr
    if status != 0:
        raise RuntimeError(f"tavik corpus exited with {status}")
    return time.perf_counter() - start


def store_rows(work, count, rounds):
    """A store beside .npz files, both by the two-process pool: recordings
    written per second, and every row read back (the store's lazy rows
    against tavik.load of every file)."""
    folder = work / f"store-in{count}"
    make_corpus(folder, count)
    runs = {"write .npz files (--workers 2)": ("npz", work / "npz"),
            "write a store (--workers 2)": ("zarr", work / "store.zarr"),
            "write a float32 store": ("zarr", work / "half.zarr")}
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(rounds):
        for name, (format, out) in runs.items():
            shutil.rmtree(out, ignore_errors=True)
            extra = ["--dtype", "float32"] if "float32" in name else []
            best[name] = min(best[name], corpus(folder, out, "--workers", "2",
                                                "--format", format, *extra))
    reads = {
        "read back: tavik.load of every .npz": lambda: [
            tavik.load(p).features for p in sorted((work / "npz").rglob("*.npz"))],
        "read back: every row of the store": lambda: np.asarray(
            tavik.open_corpus(work / "store.zarr").features),
        "read back: every row, float32 store": lambda: np.asarray(
            tavik.open_corpus(work / "half.zarr").features),
    }
    for name, read in reads.items():
        for _ in range(rounds):
            start = time.perf_counter()
            read()
            best[name] = min(best.get(name, float("inf")), time.perf_counter() - start)
    files = {name: sum(1 for p in (work / n).rglob("*") if p.is_file())
             for name, n in (("npz", "npz"), ("store", "store.zarr"))}
    sizes = {name: sum(p.stat().st_size for p in (work / n).rglob("*") if p.is_file())
             for name, n in (("npz", "npz"), ("store", "store.zarr"), ("half", "half.zarr"))}
    for name, seconds in best.items():
        print(f"{count:>6} {name:<34} {seconds:>7.2f} {count / seconds:>8.0f} "
              f"{1000 * seconds / count:>8.2f}")
    print(f"{count:>6} {'store / .npz: writing rate':<34} "
          f"{best['write .npz files (--workers 2)'] / best['write a store (--workers 2)']:>7.2f}")
    print(f"{count:>6} {'.npz / store: reading time':<34} "
          f"{best['read back: tavik.load of every .npz'] / best['read back: every row of the store']:>7.1f}")
    print(f"{count:>6} files: {files['npz']} .npz, {files['store']} in the store; MB: "
          f"{sizes['npz'] / 1e6:.1f} .npz, {sizes['store'] / 1e6:.1f} store, "
          f"{sizes['half'] / 1e6:.1f} float32 store")
    for out in ("npz", "store.zarr", "half.zarr"):
        shutil.rmtree(work / out)
    shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, nargs="*", default=[500, 2000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-dask", action="store_true")
    parser.add_argument("--store-files", type=int, nargs="*", default=[2000],
                        help="corpus sizes of the store's rows (20000: the large case)")
    args = parser.parse_args()
    with open("/proc/cpuinfo") as info:
        model = next((line.split(":", 1)[1].strip() for line in info
                      if line.startswith("model name")), "unknown CPU")
    print(f"CPU: {model}, {len(os.sched_getaffinity(0))} cores; one-second files, 16 kHz mono")
    print(f"{'files':>6} {'what':<34} {'s':>7} {'files/s':>8} {'ms/file':>8}")
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        for count in args.files:
            folder, out = work / f"in{count}", work / "out"
            make_corpus(folder, count)
            probe = argparse.Namespace(mode="continuous", num_features=64, low=50.0, high=None,
                                       temporal_integration=0.0, frame=None, hop=None,
                                       channel=-1, floor_dB=-200.0)
            settings = Settings.of(probe, RATE)
            everything = os.sched_getaffinity(0)

            def on_one_core(run):
                # The command's own process and its worker share one core, so
                # that nothing of the command's own work is hidden on another.
                os.sched_setaffinity(0, {min(everything)})
                try:
                    return run()
                finally:
                    os.sched_setaffinity(0, everything)

            runs = {
                "plain loop: read, features, write":
                    lambda: on_one_core(lambda: plain_loop(folder, out, settings)),
                "tavik corpus --workers 1, one core":
                    lambda: on_one_core(lambda: corpus(folder, out, "--workers", "1")),
                "tavik corpus --workers 2": lambda: corpus(folder, out, "--workers", "2"),
            }
            cluster = None
            if not args.no_dask:
                from distributed import LocalCluster

                # No dashboard, and the HTTP server that the scheduler starts
                # anyway on a free port, not on 8787.
                cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address="127.0.0.1:0",
                                       scheduler_kwargs={"dashboard": False})
                address = cluster.scheduler_address
                runs["tavik corpus on 2 Dask workers"] = \
                    lambda: corpus(folder, out, "--scheduler", address)
            # Rounds take turns, so that a disturbance of the shared machine
            # falls on every row alike; the best round of each row counts.
            best = dict.fromkeys(runs, float("inf"))
            for _ in range(args.rounds):
                for name, run in runs.items():
                    shutil.rmtree(out, ignore_errors=True)
                    best[name] = min(best[name], run())
            if cluster is not None:
                cluster.close()
            rows = list(best.items())
            loop, one = best["plain loop: read, features, write"], \
                best["tavik corpus --workers 1, one core"]
            pool = best["tavik corpus --workers 2"]
            dask = best.get("tavik corpus on 2 Dask workers")
            for name, seconds in rows:
                print(f"{count:>6} {name:<34} {seconds:>7.2f} {count / seconds:>8.0f} "
                      f"{1000 * seconds / count:>8.2f}")
            print(f"{count:>6} {'overhead per file (one core)':<34} {'':>7} {'':>8} "
                  f"{1000 * (one - loop) / count:>8.2f}")
            if not args.no_dask:
                print(f"{count:>6} {'Dask / pool':<34} {dask / pool:>7.2f}")
            shutil.rmtree(folder)
        for count in args.store_files:
            store_rows(work, count, args.rounds)


if __name__ == "__main__":
    main()
