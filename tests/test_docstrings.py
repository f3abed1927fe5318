"""The native module's docstrings: written once (python/docstrings.hpp), in
numpydoc form, and the committed stubs generated from them."""
import difflib
import importlib
import inspect
import pathlib
import re
import sys

import pytest

import _tavik
from _tavik import cepstra, extractor, transforms

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "python" / "_tavik-stubs"


def load_generator():
    """python/generate_stubs.py, a script beside the sources, imported as a module."""
    scripts = str(ROOT / "python")
    sys.path.insert(0, scripts)
    try:
        return importlib.import_module("generate_stubs")
    finally:
        sys.path.remove(scripts)


def test_committed_stubs_are_generated_from_the_module():
    generated = load_generator().stubs()
    committed = {path.name: path.read_text() for path in STUBS.glob("*.pyi")}
    assert sorted(committed) == sorted(generated)
    for name, text in generated.items():
        diff = "".join(difflib.unified_diff(committed[name].splitlines(True), text.splitlines(True),
                                            f"committed {name}", f"generated {name}"))
        assert not diff, f"the stubs are out of date (`make stubs` writes them):\n{diff}"


@pytest.mark.parametrize("text, parts", [
    ('a: int = 1, b: typing.Annotated[X, "[m, n]", "f"] = g(x=1, y=2)',
     ["a: int = 1", 'b: typing.Annotated[X, "[m, n]", "f"] = g(x=1, y=2)']),
    ("", []),
    ("x: dict[str, tuple[int, int]]", ["x: dict[str, tuple[int, int]]"]),
])
def test_the_generator_splits_parameters_at_top_level_commas(text, parts):
    assert load_generator().split_top_level(text) == parts


@pytest.mark.parametrize("default, shown", [("1024", "1024"), ("-1", "-1"), ("0.0", "0.0"),
                                            ("-inf", "..."), ("identity()", "..."),
                                            ("log10(floor=0.0)", "...")])
def test_the_generator_writes_literal_defaults_only(default, shown):
    assert load_generator().literal(default) == shown


def numpydoc_of(obj):
    """The numpydoc sections of a native class (its constructor's parameters
    included) or function."""
    from numpydoc.docscrape import NumpyDocString

    text = inspect.cleandoc(obj.__doc__)
    if not isinstance(obj, type) and text.split("\n", 1)[0].startswith(obj.__name__ + "("):
        text = inspect.cleandoc(text.partition("\n")[2])
    return NumpyDocString(text)


def signature_names(obj):
    """The parameter names of pybind11's (last) signature line, self left out."""
    function = obj.__init__ if isinstance(obj, type) else obj
    lines = re.findall(rf"^(?:\d+\. )?\w+\((.*)\) ->", function.__doc__, re.MULTILINE)
    names = re.findall(r"(?:^|, )(\w+):", lines[-1])
    return [name for name in names if name != "self"]


DOCUMENTED = {
    "_tavik.kernel_choice": (_tavik.kernel_choice, ["Returns", "Raises", "Examples"]),
    "Extractor": (extractor.Extractor, ["Parameters", "Raises", "Examples"]),
    "Extractor.__call__": (extractor.Extractor.__call__, ["Parameters", "Returns", "Raises", "Examples"]),
    "Extractor.batch": (extractor.Extractor.batch, ["Parameters", "Returns", "Raises", "Examples"]),
    "GammatoneFilterbank": (extractor.GammatoneFilterbank, ["Parameters", "Raises", "Warns", "Examples"]),
    "GammatoneFilterbank.stream_state": (extractor.GammatoneFilterbank.stream_state,
                                         ["Parameters", "Returns", "Raises"]),
    "GammatoneFilterbank.stream_push": (extractor.GammatoneFilterbank.stream_push,
                                        ["Parameters", "Returns", "Raises", "Examples"]),
    "GammatoneFilterbank.Filter": (extractor.GammatoneFilterbank.Filter, ["Parameters", "Raises"]),
    "transforms.identity": (transforms.identity, ["Examples"]),
    "transforms.log10": (transforms.log10, ["Parameters", "Raises", "Examples"]),
    "transforms.dB": (transforms.dB, ["Parameters", "Raises", "Examples"]),
    "transforms.power": (transforms.power, ["Parameters", "Raises", "Examples"]),
    "cepstra.dct_rows": (cepstra.dct_rows, ["Parameters", "Returns", "Raises"]),
}


@pytest.mark.parametrize("name", DOCUMENTED)
def test_native_docstrings_have_numpydoc_sections_naming_every_parameter(name):
    pytest.importorskip("numpydoc")
    obj, sections = DOCUMENTED[name]
    doc = numpydoc_of(obj)
    assert doc["Summary"], f"{name} has no summary line"
    for section in sections:
        assert doc[section], f"{name} has no {section}"
    documented = [part.strip() for p in doc["Parameters"] for part in p.name.split(",")]
    assert documented == signature_names(obj)


def test_signature_lines_stay_pybind11s():
    from _tavik.extractor import GammatoneFilterbank

    first = GammatoneFilterbank.__init__.__doc__.splitlines()[0]
    assert first.startswith("__init__(self: _tavik.extractor.GammatoneFilterbank, num_samples: int = 1024")
    assert ("transform: collections.abc.Callable[[float], typing.SupportsFloat | typing.SupportsIndex]"
            " = log10(floor=0.0)") in first
    # filters names the Python class of its elements, registered after it.
    assert GammatoneFilterbank.filters.fget.__doc__.startswith(
        "(arg0: _tavik.extractor.GammatoneFilterbank) -> list[_tavik.extractor.GammatoneFilterbank.Filter]")
    members = list(vars(GammatoneFilterbank))
    assert members.index("filters") < members.index("Filter")


def test_every_runtime_method_and_property_has_a_docstring():
    from _tavik import extractor, transforms

    classes = [extractor.Extractor, extractor.GammatoneFilterbank, extractor.GammatoneFilterbank.Filter,
               transforms.identity, transforms.log10, transforms.dB, transforms.power]
    for cls in classes:
        for name, member in vars(cls).items():
            if name.startswith("_pybind11") or not (callable(member) or isinstance(member, property)) \
                    or isinstance(member, type):
                continue
            text = member.__doc__ or ""
            doc = text if isinstance(member, property) else text.partition("\n")[2]
            assert doc.strip(), f"{cls.__qualname__}.{name} has no docstring"
