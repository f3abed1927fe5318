"""The kernel variant that the dispatch picked, and TAVIK_KERNEL forcing one:
every variant gives the filterbank's features bit for bit."""
import os
import subprocess
import sys

import pytest

import tavik

CHILD = """
import hashlib, sys
import numpy as np
import tavik
frames = np.random.default_rng(7).standard_normal((40, 700))
fb = tavik.GammatoneFilterbank(num_samples=700, num_features=37, sample_rate=16000, high_Hz=7000,
                               temporal_integration=0.004)
features = np.concatenate([fb.batch(frames, num_threads=2), [fb(frame) for frame in frames]])
variant, candidates, forced = tavik.kernel_choice()
print(variant, forced, ",".join(sorted(candidates)), hashlib.sha256(features.tobytes()).hexdigest())
"""


def run_child(variant):
    env = dict(os.environ)
    env.pop("TAVIK_KERNEL", None)
    if variant is not None:
        env["TAVIK_KERNEL"] = variant
    return subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=env,
                          timeout=120)


def test_the_timed_choice_is_the_fastest_candidate():
    if os.environ.get("TAVIK_KERNEL"):
        pytest.skip("TAVIK_KERNEL is set for this run")
    variant, candidates, forced = tavik.kernel_choice()
    assert not forced and variant in candidates
    if len(candidates) > 1:
        assert all(seconds > 0 for seconds in candidates.values())
        assert candidates[variant] == min(candidates.values())
    else:
        assert candidates == {variant: None}
    assert tavik.kernel_choice() == (variant, candidates, forced)


def test_every_forced_variant_gives_the_same_bits():
    timed = run_child(None)
    assert timed.returncode == 0, timed.stderr
    picked, forced, candidates, digest = timed.stdout.split()
    variants = ["scalar", "baseline"] + candidates.split(",")
    assert picked in variants and forced == "False"
    for variant in dict.fromkeys(variants):
        out = run_child(variant)
        assert out.returncode == 0, (variant, out.stderr)
        assert out.stdout.split() == [variant, "True", digest], variant


@pytest.mark.parametrize("variant", ["avx1024_x9", "Scalar"])
def test_an_unknown_variant_is_a_clear_error_on_every_call(variant):
    code = (
        "import numpy as np, tavik\n"
        "for call in (tavik.kernel_choice, lambda: tavik.GammatoneFilterbank()(np.zeros(1024)),\n"
        "             lambda: tavik.GammatoneFilterbank().batch(np.zeros((3, 1024)), num_threads=2)):\n"
        "    try:\n        call()\n    except ValueError as e:\n        print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, TAVIK_KERNEL=variant))
    lines = out.stdout.splitlines()
    assert out.returncode == 0 and len(lines) == 3, out.stderr
    assert all(line.startswith(f"TAVIK_KERNEL={variant} names no kernel variant that this CPU "
                               "supports (scalar, baseline") for line in lines), lines
