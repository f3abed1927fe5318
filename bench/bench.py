"""Microseconds per default frame (1024 samples, 64 gammatone filters from 50
to 8000 Hz at 44100 Hz) through every path of the extension, with a SciPy
peer, in one table with ratios to the scalar path of the core.

    python bench/bench.py --core build/bench/core_bench

The core rows come from the C++ benchmark (which forces each variant through
the core's API); the rest is timed here. `make bench` builds and runs both.
"""

import argparse
import os
import platform
import subprocess
import sys
import time

import numpy as np

from _tavik.extractor import Extractor, GammatoneFilterbank

NUM_SAMPLES = 1024
NUM_FEATURES = 64
SAMPLE_RATE = 44100
BATCH_FRAMES = 256


def best_microseconds(call, per_call_units=1, rounds=7, round_seconds=0.15):
    """The fastest of `rounds` rounds of the time of one call divided by
    `per_call_units`, each round calling often enough to last about
    `round_seconds`: on a shared machine the least disturbed round is the one
    that measures the code."""
    call()
    start = time.perf_counter()
    call()
    once = max(time.perf_counter() - start, 1e-9)
    calls = max(1, int(round_seconds / once))
    results = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            call()
        results.append((time.perf_counter() - start) / calls / per_call_units)
    return min(results) * 1e6


def core_rows(core_bench):
    out = subprocess.run([core_bench, "--tsv"], check=True, capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        name, us = line.split("\t")
        if us == "-":
            rows.append((name, None, "not on this CPU"))
        else:
            rows.append((name, float(us), ""))
    return rows


def scipy_peer(frame, centre_frequencies):
    """64 SciPy gammatone IIR filters run with lfilter, each reporting the
    mean of abs(y): what a SciPy user would write for the same features."""
    try:
        from scipy.signal import gammatone, lfilter
    except ImportError:
        return None
    designs = [gammatone(cf, "iir", fs=SAMPLE_RATE) for cf in centre_frequencies]

    def features():
        return [np.mean(np.abs(lfilter(b, a, frame))) for b, a in designs]

    return best_microseconds(features)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--core", help="path of the core_bench executable")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    rng = np.random.default_rng(1)
    frame = rng.normal(0.0, 0.3, NUM_SAMPLES)
    frame_list = frame.tolist()
    stereo = np.asfortranarray(np.stack([frame, -frame]))
    frames = rng.normal(0.0, 0.3, (BATCH_FRAMES, NUM_SAMPLES))
    fb = GammatoneFilterbank()

    rows = core_rows(args.core) if args.core else []
    rows.append(("__call__ list", best_microseconds(lambda: fb(frame_list)), ""))
    rows.append(("__call__ 1-D array", best_microseconds(lambda: fb(frame)), ""))
    rows.append(("__call__ F-order 2 x 1024", best_microseconds(lambda: fb(stereo)), ""))
    if hasattr(Extractor, "batch"):
        cores = len(os.sched_getaffinity(0))
        rows.append(("batch, 1 thread",
                     best_microseconds(lambda: fb.batch(frames, num_threads=1), BATCH_FRAMES),
                     f"{BATCH_FRAMES} frames"))
        rows.append((f"batch, all threads ({cores})",
                     best_microseconds(lambda: fb.batch(frames, num_threads=0), BATCH_FRAMES),
                     f"{BATCH_FRAMES} frames"))
    else:
        rows.append(("batch", None, "Extractor.batch not in this build"))
    peer = scipy_peer(frame, [f.cf for f in fb.filters])
    rows.append(("SciPy gammatone + lfilter", peer,
                 "" if peer is not None else "SciPy not installed"))

    scalar = next((us for name, us, _ in rows if name == "core scalar"), None)
    print(f"{cpu_model()}, Python {platform.python_version()}, NumPy {np.__version__}")
    if args.markdown:
        print("\n| path | us per frame | x scalar | note |\n|---|--:|--:|---|")
    else:
        print(f"{'path':<30} {'us/frame':>10} {'x scalar':>9}  note")
    for name, us, note in rows:
        us_text = f"{us:.1f}" if us is not None else "-"
        ratio = f"{scalar / us:.2f}" if us is not None and scalar else "-"
        if args.markdown:
            escaped = name.replace("_", "\\_")
            print(f"| {escaped} | {us_text} | {ratio} | {note} |")
        else:
            print(f"{name:<30} {us_text:>10} {ratio:>9}  {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
