"""The built module refuses to load into an interpreter it was not built for."""
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _tavik

BUILT_FOR = sys.version_info[:2]  # the module imported, so it is this interpreter's


def other_python(minor):
    """CPython 3.minor: python3.minor on PATH if it is one, else pyenv's newest."""
    probe = "import sys; print(sys.executable if sys.version_info[:2] == (3, %d) else '')" % minor
    candidates = [shutil.which(f"python3.{minor}")]
    pyenv = shutil.which("pyenv")
    if pyenv is not None:
        versions = subprocess.run([pyenv, "versions", "--bare"], capture_output=True, text=True).stdout.split()
        matching = sorted((v for v in versions if v.startswith(f"3.{minor}.") and v.replace(".", "").isdigit()),
                          key=lambda v: tuple(map(int, v.split("."))))
        if matching:
            prefix = subprocess.run([pyenv, "prefix", matching[-1]], capture_output=True, text=True).stdout.strip()
            candidates.append(str(Path(prefix) / "bin" / f"python3.{minor}"))
    for exe in filter(None, candidates):
        try:
            out = subprocess.run([exe, "-c", probe], capture_output=True, text=True, timeout=60).stdout.strip()
        except OSError:
            continue
        if out:
            return out
    return None


# One older, unsupported version and every supported one but this.
@pytest.mark.parametrize("minor", [m for m in range(9, 16) if (3, m) != BUILT_FOR])
def test_other_interpreters_get_import_error(tmp_path, minor):
    exe = other_python(minor)
    if exe is None:
        pytest.skip(f"no CPython 3.{minor} here")
    shutil.copy(_tavik.__file__, tmp_path / "_tavik.so")
    script = (
        "try:\n import _tavik\nexcept ImportError as e:\n print(e)\nelse:\n print('imported')\n"
    )
    out = subprocess.run([exe, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    # pybind11's own check, or the dynamic loader's when the module needs a
    # symbol of the C API that the other interpreter lacks (added in a later
    # version, or removed, as 3.13 removed _PyThreadState_UncheckedGet).
    refusal = out.stdout.startswith(
        "Python version mismatch: module was compiled for Python %d.%d, " % BUILT_FOR
        + f"but the interpreter version is incompatible: 3.{minor}."
    ) or "undefined symbol" in out.stdout
    assert refusal, out.stdout + out.stderr
