"""The run-time docstrings are the stubs' docstrings, word for word."""
import ast
import importlib
import inspect
import pathlib
import re

import pytest

STUBS = pathlib.Path(__file__).resolve().parent.parent / "python" / "_tavik-stubs"


def stub_entries():
    """(module, path of names, kind, [docstrings]) for every module, class,
    function and property of the stubs; overloads share one entry."""
    entries = {}
    for stub in sorted(STUBS.glob("*.pyi")):
        module = "_tavik" if stub.stem == "__init__" else f"_tavik.{stub.stem}"
        tree = ast.parse(stub.read_text())
        entries[(module, ())] = ("module", [ast.get_docstring(tree)])

        def walk(node, path):
            for child in node.body:
                if isinstance(child, (ast.ClassDef, ast.FunctionDef)):
                    names = path + (child.name,)
                    if isinstance(child, ast.ClassDef):
                        kind = "class"
                    elif any(getattr(d, "id", None) == "property" for d in child.decorator_list):
                        kind = "property"
                    else:
                        kind = "function"
                    entries.setdefault((module, names), (kind, []))[1].append(ast.get_docstring(child))
                    if isinstance(child, ast.ClassDef):
                        walk(child, names)

        walk(tree, ())
    return entries


ENTRIES = stub_entries()
# A signature line that pybind11 writes: "name(...) -> type", numbered when
# the function is overloaded.
OVERLOAD = re.compile(r"^\d+\. \w+\(.*\n", re.MULTILINE)


def runtime_docstrings(module, names, kind):
    obj = importlib.import_module(module)
    for i, name in enumerate(names):
        # Members from the class's own dictionary: a stub defines a member on
        # the class that defines it at run time.
        obj = vars(obj)[name] if i > 0 else getattr(obj, name)
    text = obj.__doc__
    if kind != "function":
        return [inspect.cleandoc(text)]
    signature, rest = text.split("\n", 1)
    if rest.startswith("Overloaded function.\n"):
        return [inspect.cleandoc(part) for part in OVERLOAD.split(rest)[1:]]
    return [inspect.cleandoc(rest)]


@pytest.mark.parametrize("key", ENTRIES, ids=[".".join((m,) + n) for m, n in ENTRIES])
def test_runtime_docstring_is_the_stubs(key):
    kind, docs = ENTRIES[key]
    assert all(docs), "the stub has no docstring"
    assert runtime_docstrings(*key, kind) == docs


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
