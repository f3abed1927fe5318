"""The built module refuses to load into an interpreter it was not built for."""
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _tavik


def pyenv_python(minor):
    pyenv = shutil.which("pyenv")
    if pyenv is None:
        return None
    versions = subprocess.run([pyenv, "versions", "--bare"], capture_output=True, text=True).stdout.split()
    matching = sorted(v for v in versions if v.startswith(f"3.{minor}.") and v.replace(".", "").isdigit())
    if not matching:
        return None
    prefix = subprocess.run([pyenv, "prefix", matching[-1]], capture_output=True, text=True).stdout.strip()
    exe = Path(prefix) / "bin" / f"python3.{minor}"
    return exe if exe.exists() else None


@pytest.mark.parametrize("minor", [9, 11])
def test_other_interpreters_get_import_error(tmp_path, minor):
    exe = pyenv_python(minor)
    if exe is None:
        pytest.skip(f"no CPython 3.{minor} here")
    shutil.copy(_tavik.__file__, tmp_path / "_tavik.so")
    script = (
        "try:\n import _tavik\nexcept ImportError as e:\n print(e)\nelse:\n print('imported')\n"
    )
    out = subprocess.run([str(exe), "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith(
        "Python version mismatch: module was compiled for Python 3.10, "
        f"but the interpreter version is incompatible: 3.{minor}."
    ), out.stdout + out.stderr
    assert sys.version_info[:2] == (3, 10)
