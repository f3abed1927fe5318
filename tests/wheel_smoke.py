"""Smoke test of a release wheel (run by `make wheels`).

    python tests/wheel_smoke.py PYTHON_VERSION

Run by the interpreter of a fresh venv into which only the repaired wheel was
installed, in an empty working directory. Checks that the module imports from
the venv and reports the same version as the wheel, then prints the SHA-256 of
the features of a fixed set of frames (pure Python input, no NumPy), which
`make wheels` compares with that of the host build's module, run by .venv's
interpreter: the same bits on every version and toolchain.
"""
import hashlib
import math
import struct
import sys
import sysconfig
from importlib import metadata
from pathlib import Path


def check(condition, what):
    if not condition:
        sys.exit(f"wheel smoke test failed: {what}")


def main():
    check("%d.%d" % sys.version_info[:2] == sys.argv[1], f"interpreter is {sys.version}, not {sys.argv[1]}")
    import _tavik
    from _tavik.extractor import GammatoneFilterbank

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    module = Path(_tavik.__file__).resolve()
    check(module.parent == site, f"_tavik imported from {module}, not from {site}")
    check(_tavik.__version__ == metadata.version("tavik"), "version of module and wheel differ")

    digest = hashlib.sha256()
    n = 1024
    for fb in (GammatoneFilterbank(), GammatoneFilterbank(n, 32, 16000, low_Hz=100.0, high_Hz=7000.0,
                                                          temporal_integration=0.004)):
        for k in range(4):
            # A chirp with noise-like harmonics: every filter sees energy.
            frame = [math.sin(0.002 * i * i * (k + 1)) + 0.25 * math.sin(1.7 * i + k) for i in range(n)]
            features = fb(frame)
            check(len(features) == fb.num_features and all(math.isfinite(x) for x in features),
                  f"unexpected features {features[:4]}...")
            digest.update(struct.pack(f"<{len(features)}d", *features))
    print(digest.hexdigest())


if __name__ == "__main__":
    main()
