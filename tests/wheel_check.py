"""Checks an installed wheel from outside the source tree (run by `make wheel-check`).

    python tests/wheel_check.py EXAMPLES_DIR

Run by the interpreter of a fresh venv into which only the wheel (with its demo
extra) was installed, in an empty working directory: the module imports from
the venv, its stubs are installed beside it and listed in the wheel's record,
and the examples run.
"""
import subprocess
import sys
import sysconfig
from importlib import metadata
from pathlib import Path


def check(condition, what):
    if not condition:
        sys.exit(f"wheel check failed: {what}")


def run(examples, script, *args):
    out = subprocess.run([sys.executable, str(examples / script), *map(str, args)],
                         capture_output=True, text=True, timeout=600)
    check(out.returncode == 0, f"{script} exited with {out.returncode}:\n{out.stderr}")
    return out.stdout


def main():
    examples = Path(sys.argv[1]).resolve()
    check(sys.version_info[:2] == (3, 10), f"interpreter is {sys.version}")

    import _tavik
    from _tavik.extractor import GammatoneFilterbank

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    module = Path(_tavik.__file__).resolve()
    check(module.parent == site, f"_tavik imported from {module}, not from {site}")
    check(_tavik.__version__ == metadata.version("tavik"), "version of module and wheel differ")
    check(len(GammatoneFilterbank()([0.0] * 1023 + [1.0])) == 64, "the filterbank does not run")

    stubs = {"_tavik-stubs/__init__.pyi", "_tavik-stubs/extractor.pyi", "_tavik-stubs/transforms.pyi"}
    recorded = {str(f) for f in metadata.files("tavik")}
    check(stubs <= recorded, f"stubs missing from the wheel's record: {stubs - recorded}")
    check(all((site / s).is_file() for s in stubs), "stubs are not installed")

    stdout = run(examples, "gammatonegram.py")
    check(stdout.startswith("frames: "), f"unexpected gammatonegram output: {stdout}")
    check(Path("gammatonegram.png").stat().st_size > 20_000, "no gammatonegram.png")
    corpus = Path("corpus")
    corpus.mkdir()
    (corpus / "speech.wav").write_bytes((examples / "data" / "speech.wav").read_bytes())
    run(examples, "corpus.py", corpus, "features", "--workers", "2")
    check(Path("features/speech.npy").is_file(), "corpus.py wrote no features")
    run(examples, "quickstart.py")
    print(f"wheel check passed: {module.name} in a fresh venv, stubs installed, examples ran")


if __name__ == "__main__":
    main()
