"""The quick start, run as a user runs it, under each start method of
multiprocessing (spawn and forkserver are the defaults on macOS and Windows,
and from Python 3.14 on Linux)."""
import subprocess
import sys
from pathlib import Path

import pytest

QUICKSTART = Path(__file__).resolve().parent.parent / "examples" / "quickstart.py"

# Runs the script as __main__ (as `python quickstart.py` does) after choosing
# the start method, so that the pool's workers import it as a user's would.
RUN_WITH = """
import multiprocessing, runpy, sys
multiprocessing.set_start_method(sys.argv[1])
script = sys.argv[2]
sys.argv = [script]
runpy.run_path(script, run_name="__main__")
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_quickstart_runs(tmp_path, method):
    out = subprocess.run([sys.executable, "-c", RUN_WITH, method, str(QUICKSTART)], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("gammatonegram: 98 frames x 64 features")
    assert "bit-identical" in out.stdout
