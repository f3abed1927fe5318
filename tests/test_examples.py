"""The example scripts, run as a user runs them: the quick start under each
start method of multiprocessing (spawn and forkserver are the defaults on
macOS and Windows, and from Python 3.14 on Linux), and the measurements of
the levels page."""
import importlib.util
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


def test_levels_prints_what_the_levels_page_quotes(tmp_path):
    """docs/levels.rst quotes these lines of examples/levels.py; a change of the
    filters or of the script that moves them shows here."""
    out = subprocess.run([sys.executable, str(QUICKSTART.with_name("levels.py"))], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    for line in [
        "sine of amplitude 1 at 970.5 Hz: level +0.0225 (log10 of the mean envelope) = +0.45 dB",
        "sine of amplitude 0.1 at 970.5 Hz: level -0.9775 (log10 of the mean envelope) = -19.55 dB",
        "mean envelope +0.103 dB in the lowest band to +2.791 dB in the highest",
        "differences -0.0014 to +0.0041 dB",
        "level - 20 log10(RMS) - gain at cf = +3.010 dB",
        "half-power bandwidth: 0.8864 to 0.8890 ERB(cf) (0.8865 to 0.8865 from 200 Hz to 6 kHz)",
        "-10 dB bandwidth: 1.7978 to 1.7991 ERB(cf) (1.7979 to 1.7979 from 200 Hz to 6 kHz)",
        "1.0004 to 1.0004 ERB(cf)",
        "tavik: 49.999999999999986 to 7200.000000000004 Hz, both bounds included",
        "50.000 to 6828.587 Hz",
        "   7990                +2.17",
    ]:
        assert line in out.stdout, line


def test_training_loop_learns_from_a_store_read_batch_by_batch(tmp_path):
    """examples/training_loop.py, which docs/corpora.rst shows: a store (a
    folder of .npz files on CPython 3.10) feeding a NumPy training loop."""
    out = subprocess.run([sys.executable, str(QUICKSTART.with_name("training_loop.py")),
                          str(tmp_path)], cwd=tmp_path, capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == (f"40 recordings, 1920 frames of 32 features "
                        f"({'zarr' if importlib.util.find_spec('zarr') else 'npz'})")
    assert lines[1] == "step 0: loss 0.693" and float(lines[-2].split()[-1]) < 0.1
    assert lines[-1] == "recordings classified correctly: 40 of 40"
