"""The Examples of every public docstring of tavik run as doctests, in a
folder holding speech.npz as `tavik gammatonegram --out speech` writes it,
and the store that `tavik corpus recordings features.zarr` writes from three
seconds of noise (as docs/conf.py makes them for the documentation)."""
import doctest
import importlib.util
import inspect
import subprocess
import sys

import numpy as np
import pytest

import tavik

FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def public_tests():
    finder = doctest.DocTestFinder(exclude_empty=True)
    found = {}
    for name in tavik.__all__:
        obj = getattr(tavik, name)
        if not (inspect.isclass(obj) or inspect.isroutine(obj) or inspect.ismodule(obj)):
            continue
        for test in finder.find(obj, f"tavik.{name}", globs={}):
            if test.examples:
                found[test.name] = test
    return found


TESTS = public_tests()
# A store needs zarr 3 (CPython 3.11 or later, where the store extra has it).
STORE = sys.version_info >= (3, 11) and importlib.util.find_spec("zarr") is not None


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("examples")
    subprocess.run([sys.executable, "-m", "tavik", "gammatonegram", "--out", "speech"],
                   cwd=folder, check=True, capture_output=True, timeout=300)
    if STORE:
        import soundfile

        (folder / "recordings").mkdir()
        for i, name in enumerate(("a.wav", "b.wav", "c.wav")):
            soundfile.write(folder / "recordings" / name,
                            0.1 * np.random.default_rng(i).standard_normal(16000), 16000)
        subprocess.run([sys.executable, "-m", "tavik", "corpus", "recordings", "features.zarr"],
                       cwd=folder, check=True, capture_output=True, timeout=300)
    return folder


def test_the_new_functions_have_examples():
    for name in ("gfcc", "deltas", "hz_to_erb_rate", "erb_rate_to_hz", "load"):
        assert f"tavik.{name}" in TESTS


@pytest.mark.parametrize("name", sorted(TESTS))
def test_docstring_examples(name, folder, monkeypatch):
    if name == "tavik.open_corpus" and not STORE:
        pytest.skip("a store needs CPython 3.11 or later")
    monkeypatch.chdir(folder)
    test = TESTS[name]
    test.globs = {"np": np}
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    output = []
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)


@pytest.mark.parametrize("name", ["gammatonegram", "gfcc", "deltas", "hz_to_erb_rate",
                                  "erb_rate_to_hz", "load", "open_corpus"])
def test_package_functions_have_numpydoc_sections(name):
    doc = inspect.getdoc(getattr(tavik, name))
    for section in ("Parameters", "Returns", "Examples"):
        assert f"\n{section}\n{'-' * len(section)}\n" in doc, f"tavik.{name} has no {section}"
