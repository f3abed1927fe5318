"""The fuzz scenarios (fuzz/scenarios.py) fed by hypothesis: every failure is
an expected Python exception and leaves the extractor as it was."""
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
import scenarios  # noqa: E402
from _tavik.extractor import GammatoneFilterbank  # noqa: E402


@settings(max_examples=1000)
@given(st.binary(min_size=32, max_size=600))
def test_arbitrary_scenarios_raise_only_expected_errors(data):
    scenarios.run(data)


def test_hostile_objects_raise_their_own_errors():
    # A few fixed scenarios that the random ones may miss: the error that a
    # hostile sequence raises reaches the caller as itself.
    fb = GammatoneFilterbank(num_samples=4, num_features=2)
    with pytest.raises(scenarios.Hostile, match="__len__"):
        fb(scenarios.RaisingLen())
    with pytest.raises(scenarios.Hostile, match="__getitem__"):
        fb(scenarios.Sequence([0.0] * 4, 4, 2))
    with pytest.raises(IndexError):
        fb(scenarios.Sequence([0.0] * 4, 5, -1))  # claims more items than it has
    assert fb([scenarios.BadFloat(0.5)] * 4) == fb([0.5] * 4)  # a float's value is read directly


def test_base_init_on_a_filterbank_instance_is_a_type_error():
    # In a child process: pybind11 alone would end it with std::terminate.
    code = (
        "from _tavik.extractor import Extractor, GammatoneFilterbank\n"
        "obj = GammatoneFilterbank.__new__(GammatoneFilterbank)\n"
        "try:\n    Extractor.__init__(obj, num_samples=4)\n"
        "except TypeError:\n    print('TypeError')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout.strip() == "TypeError", out.stderr[-500:]


@pytest.mark.parametrize("seed", [1, 2])
def test_scenarios_on_daemon_threads_at_exit(seed):
    # Random scenarios (failing batches, computes and transforms among them)
    # left running on daemon threads while the interpreter exits: the child
    # ends normally, and no scenario raised an unexpected error before.
    from test_hostile import child_environment

    code = (
        f"import sys; sys.path.insert(0, {str(Path(scenarios.__file__).parent)!r})\n"
        f"import scenarios\nsys.exit(3 if scenarios.run_daemons({seed}, 3, 0.5) else 0)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env=child_environment("daemon scenarios"))
    assert out.returncode == 0, (out.returncode, out.stderr[-2000:])
