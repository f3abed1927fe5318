"""Checks an installed wheel from outside the source tree (run by `make wheel-check`).

    python tests/wheel_check.py EXAMPLES_DIR PYTHON_VERSION

Run by the interpreter of a fresh venv into which only the wheel (with its cli
extra) was installed, in an empty working directory: the module and the tavik
package import from the venv, the stubs, py.typed and the speech sample are
installed and listed in the wheel's record, the console script runs both
commands, and the quick start runs.
"""
import subprocess
import sys
import sysconfig
from importlib import metadata
from pathlib import Path


def check(condition, what):
    if not condition:
        sys.exit(f"wheel check failed: {what}")


def run(*command):
    out = subprocess.run([str(c) for c in command], capture_output=True, text=True, timeout=600)
    check(out.returncode == 0, f"{command} exited with {out.returncode}:\n{out.stderr}")
    return out.stdout


def main():
    examples = Path(sys.argv[1]).resolve()
    expected = sys.argv[2]
    check("%d.%d" % sys.version_info[:2] == expected, f"interpreter is {sys.version}, not {expected}")

    import _tavik
    import tavik

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    module = Path(_tavik.__file__).resolve()
    check(module.parent == site, f"_tavik imported from {module}, not from {site}")
    package = Path(tavik.__file__).resolve().parent
    check(package == site / "tavik", f"tavik imported from {package}, not from {site}")
    check(tavik.__version__ == _tavik.__version__ == metadata.version("tavik"),
          "versions of module, package and wheel differ")
    check(len(tavik.GammatoneFilterbank()([0.0] * 1023 + [1.0])) == 64, "the filterbank does not run")

    shipped = {"_tavik-stubs/__init__.pyi", "_tavik-stubs/extractor.pyi", "_tavik-stubs/transforms.pyi", "tavik/py.typed",
               "tavik/__init__.py", "tavik/data/speech.wav"}
    recorded = {str(f) for f in metadata.files("tavik")}
    check(shipped <= recorded, f"missing from the wheel's record: {shipped - recorded}")
    check(all((site / s).is_file() for s in shipped), "files of the wheel are not installed")

    script = Path(sysconfig.get_paths()["scripts"]) / "tavik"
    stdout = run(script, "gammatonegram")
    check(stdout.startswith("frames: "), f"unexpected gammatonegram output: {stdout}")
    check(Path("gammatonegram.png").stat().st_size > 20_000, "no gammatonegram.png")
    check(Path("gammatonegram.npz").is_file(), "no gammatonegram.npz")
    corpus = Path("corpus")
    corpus.mkdir()
    (corpus / "speech.wav").write_bytes((package / "data" / "speech.wav").read_bytes())
    run(sys.executable, "-m", "tavik", "corpus", corpus, "features", "--workers", "2")
    check(Path("features/speech.npz").is_file(), "tavik corpus wrote no features")
    run(sys.executable, examples / "quickstart.py")
    print(f"wheel check passed: {module.name} and tavik in a fresh venv, stubs and data "
          f"installed, both commands and the quick start ran")


if __name__ == "__main__":
    main()
