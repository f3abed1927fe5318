"""Peak memory of `tavik gammatonegram` and `tavik corpus` against the length
of a recording: 10 and 40 minutes of 16 kHz mono FLAC, measured with
/usr/bin/time (the peak resident set size of the command and its workers).

    python bench/memory_bench.py [--minutes 10 40] [--mode continuous]

The bars: on the longest recording the command peaks at no more than three
times the size of its features plus 150 MB, and its growth from the shortest
is no more than 2.5 times the growth of the features; the corpus's peak
grows with the longest file by no more than its features.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile

RATE = 16000
MB = 1e6


def recording(path, minutes):
    """Noise bursts and tones, a minute at a time (written in blocks)."""
    rng = np.random.default_rng(minutes)
    t = np.arange(60 * RATE) / RATE
    with soundfile.SoundFile(path, "w", RATE, 1, subtype="PCM_16", format="FLAC") as file:
        for minute in range(minutes):
            tone = 0.2 * np.sin(2 * np.pi * (200 + 37 * minute) * t)
            file.write(tone + 0.05 * rng.standard_normal(t.size) * (t % 2 < 1))


def peak(command, cwd):
    """Peak resident set size in bytes and wall time of a command."""
    start = time.perf_counter()
    out = subprocess.run(["/usr/bin/time", "-v", *command], cwd=cwd, capture_output=True,
                         text=True, check=True)
    seconds = time.perf_counter() - start
    kilobytes = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", out.stderr)[1])
    return kilobytes * 1024, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=int, nargs="+", default=[10, 40])
    parser.add_argument("--mode", default=None)
    args = parser.parse_args()
    mode = ["--mode", args.mode] if args.mode else []
    tavik = [sys.executable, "-m", "tavik"]
    with open("/proc/cpuinfo") as info:
        model = next((line.split(":", 1)[1].strip() for line in info
                      if line.startswith("model name")), "unknown CPU")
    print(f"CPU: {model}; 16 kHz mono FLAC, 64 features every 10 ms {' '.join(mode)}")
    print(f"{'minutes':>7} {'what':<32} {'features MB':>11} {'peak MB':>8} {'s':>6}")
    rows = {}
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        for minutes in args.minutes:
            folder = work / f"in{minutes}"
            folder.mkdir()
            recording(folder / "long.flac", minutes)
            features = ((minutes * 60 * RATE - 400) // 160 + 1) * 64 * 8
            one, one_s = peak([*tavik, "gammatonegram", str(folder / "long.flac"), *mode,
                               "--out", str(work / "long")], work)
            many, many_s = peak([*tavik, "corpus", str(folder), str(work / f"out{minutes}"),
                                 *mode], work)
            rows[minutes] = (features, one, many)
            print(f"{minutes:>7} {'tavik gammatonegram (picture)':<32} {features / MB:>11.0f} "
                  f"{one / MB:>8.0f} {one_s:>6.1f}")
            print(f"{minutes:>7} {'tavik corpus':<32} {features / MB:>11.0f} "
                  f"{many / MB:>8.0f} {many_s:>6.1f}")
            (folder / "long.flac").unlink()
    if len(rows) >= 2:
        short, long = min(rows), max(rows)
        (f0, one0, many0), (f1, one1, many1) = rows[short], rows[long]
        print(f"peak of {long} min / (3 x features + 150 MB): {one1 / (3 * f1 + 150 * MB):.2f} "
              f"(bar: 1)")
        print(f"growth {short}->{long} min / (2.5 x features' growth): "
              f"{(one1 - one0) / (2.5 * (f1 - f0)):.2f} (bar: 1)")
        print(f"corpus growth {short}->{long} min / features' growth: "
              f"{(many1 - many0) / (f1 - f0):.2f} (bar: 1)")


if __name__ == "__main__":
    main()
