#!/usr/bin/env python3
"""Writes the stubs of the native module `_tavik` (python/_tavik-stubs/*.pyi)
from the built module: `make stubs`, or

    python python/generate_stubs.py [OUT_DIR]

The docstrings are the module's own (python/docstrings.hpp is their one
source); the signatures are the lines that pybind11 writes at the head of
each function's docstring, with these rules applied:

- a parameter that pybind11 names ``argN`` is positional-only;
- ``__eq__`` takes any object (pybind11 answers NotImplemented for others);
- a ``Callable`` taken or returned is a ``std::function``, which is None
  when empty;
- a class that cannot be subclassed is ``@typing.final``;
- a default that is not a literal (``identity()``, ``-inf``) is ``...``;
- where the binding takes or returns a plain Python object and checks it
  itself, PRECISE_TYPES names what it accepts and gives.

tests/test_stubs.py checks that the committed stubs are what this gives."""

from __future__ import annotations

import ast
import importlib
import inspect
import pathlib
import re
import sys
import types

FLOAT64 = "numpy.typing.NDArray[numpy.float64]"
FLOAT_SAMPLES = f"{FLOAT64} | numpy.typing.NDArray[numpy.float32]"

# Parameter (or "return") types for functions whose C++ signature holds a
# py::object or py::tuple, by qualified name.
PRECISE_TYPES = {
    "_tavik.kernel_choice": {"return": "tuple[str, dict[str, float | None], bool]"},
    "_tavik.cepstra.dct_rows": {"features": FLOAT64},
    "_tavik.extractor.Extractor.batch": {"frames": FLOAT_SAMPLES},
    "_tavik.extractor.GammatoneFilterbank.stream_push": {
        "samples": FLOAT_SAMPLES, "state": FLOAT64, "return": f"tuple[{FLOAT64}, {FLOAT64}]"},
}
# The same for a method of any class, by name: pybind11 types a returned
# reduction as object, which pickle's protocol narrows.
PRECISE_TYPES_BY_NAME = {"__reduce_ex__": {"return": "tuple[typing.Any, ...]"}}
# Members of every class that pybind11 or CPython add and no stub declares
# (copyreg caches __slotnames__ on a class once an instance is pickled).
SKIPPED = {"__doc__", "__module__", "__dict__", "__weakref__", "__qualname__", "__slotnames__",
           "_pybind11_conduit_v1_"}
IMPORTS = ["collections.abc", "numpy", "numpy.typing", "typing"]


def split_top_level(text: str, separator: str = ",") -> list[str]:
    """`text` split at `separator` outside brackets and quoted strings."""
    parts, depth, quote, start = [], 0, "", 0
    for i, char in enumerate(text):
        if quote:
            quote = "" if char == quote else quote
        elif char in "\"'":
            quote = char
        elif char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif depth == 0 and text.startswith(separator, i):
            parts.append(text[start:i])
            start = i + len(separator)
    parts.append(text[start:])
    return [part.strip() for part in parts if part.strip()]


def literal(default: str) -> str:
    try:
        value = ast.literal_eval(default)
    except (ValueError, SyntaxError):
        return "..."
    return default if isinstance(value, (int, float, str, bool, type(None))) else "..."


def optional_callable(annotation: str) -> str:
    return f"{annotation} | None" if annotation.startswith("collections.abc.Callable[") else annotation


class Writer:
    def __init__(self, module: types.ModuleType):
        self.module = module
        self.lines: list[str] = []

    def local(self, text: str) -> str:
        """Type text with the module's own prefix left out."""
        return text.replace(self.module.__name__ + ".", "")

    def docstring(self, text: str | None, indent: str) -> None:
        doc = "\n".join(line.rstrip() for line in inspect.cleandoc(text or "").splitlines())
        if not doc:
            return
        if '"""' in doc:
            raise ValueError(f"a docstring holds triple quotes: {doc[:60]!r}")
        prefix = "r" if "\\" in doc else ""
        lines = doc.splitlines()
        # A docstring that opens with a section header starts on its own line.
        opening = "\n" + indent if len(lines) > 1 and set(lines[1]) == {"-"} else ""
        body = "\n".join(indent + line if line else "" for line in lines).lstrip()
        closing = "\n" + indent if len(lines) > 1 else ""
        self.lines.append(f'{indent}{prefix}"""{opening}{body}{closing}"""')

    def signature(self, qualname: str, name: str, line: str, method: bool) -> str:
        """`def name(...) -> ...` from pybind11's signature line."""
        match = re.fullmatch(rf"{re.escape(name)}\((.*)\)(?: -> (.*))?", line.strip())
        if match is None:
            raise ValueError(f"{qualname}: not a pybind11 signature line: {line!r}")
        precise = {**PRECISE_TYPES_BY_NAME.get(name, {}), **PRECISE_TYPES.get(qualname, {})}
        params = []
        positional_only = False
        for i, param in enumerate(split_top_level(match.group(1))):
            head, _, default = (part.strip() for part in param.partition("="))
            pname, _, annotation = (part.strip() for part in head.partition(":"))
            if method and i == 0:
                params.append("self")
                continue
            if name in ("__eq__", "__ne__"):
                pname, annotation = "other", "object"
                positional_only = True
            annotation = precise.get(pname, optional_callable(annotation))
            if re.fullmatch(r"arg\d+", pname):
                positional_only = True
            text = f"{pname}: {self.local(annotation)}" if annotation else pname
            params.append(f"{text} = {literal(default)}" if default else text)
        if positional_only:
            params.append("/")
        returns = precise.get("return", optional_callable(match.group(2) or "None"))
        return f"def {name}({', '.join(params)}) -> {self.local(returns)}:"

    def function(self, qualname: str, name: str, obj: object, indent: str, method: bool) -> None:
        doc = obj.__doc__ or ""
        head, _, rest = doc.partition("\n")
        if rest.startswith("Overloaded function.\n"):
            pieces = re.split(rf"^\d+\. ({re.escape(name)}\(.*)$", rest, flags=re.MULTILINE)[1:]
            for i, (line, text) in enumerate(zip(pieces[::2], pieces[1::2])):
                if i > 0:
                    self.lines.append("")
                self.lines.append(f"{indent}@typing.overload")
                self.lines.append(indent + self.signature(qualname, name, line, method))
                self.body(text, indent + "    ")
        else:
            self.lines.append(indent + self.signature(qualname, name, head, method))
            self.body(rest, indent + "    ")

    def body(self, doc: str | None, indent: str) -> None:
        before = len(self.lines)
        self.docstring(doc, indent)
        if len(self.lines) == before:
            self.lines[-1] += " ..."

    def prop(self, qualname: str, name: str, member: property, indent: str) -> None:
        line = (member.fget.__doc__ or "").partition("\n")[0]
        returns = re.fullmatch(r"\(.*\) -> (.*)", line.strip())
        if returns is None:
            raise ValueError(f"{qualname}: no signature line on the getter")
        annotation = PRECISE_TYPES.get(qualname, {}).get("return", optional_callable(returns.group(1)))
        self.lines.append(f"{indent}@property")
        self.lines.append(f"{indent}def {name}(self) -> {self.local(annotation)}:")
        self.body(member.__doc__, indent + "    ")

    def cls(self, qualname: str, cls: type, indent: str) -> None:
        bases = [self.local(f"{b.__module__}.{b.__qualname__}") for b in cls.__bases__
                 if b.__name__ != "pybind11_object"]
        bases = [b if "." in b or b in vars(self.module) else f"builtins.{b}" for b in bases]
        bases = [b.removeprefix("builtins.") for b in bases]
        if not subclassable(cls):
            self.lines.append(f"{indent}@typing.final")
        self.lines.append(f"{indent}class {cls.__name__}{'(' + ', '.join(bases) + ')' if bases else ''}:")
        start = len(self.lines)
        self.docstring(cls.__doc__, indent + "    ")
        for name, member in vars(cls).items():
            if name in SKIPPED:
                continue
            if len(self.lines) > start:
                self.lines.append("")
            member_qualname = f"{qualname}.{name}"
            if isinstance(member, type):
                self.cls(member_qualname, member, indent + "    ")
            elif isinstance(member, property):
                self.prop(member_qualname, name, member, indent + "    ")
            elif callable(member):
                self.function(member_qualname, name, member, indent + "    ", method=True)
        if len(self.lines) == start:
            self.lines[-1] += " ..."

    def write(self) -> str:
        """The stub: docstring, imports, then the members in definition order."""
        name = self.module.__name__
        members = [(n, m) for n, m in vars(self.module).items() if not n.startswith("__")]
        for n, m in members:
            if isinstance(m, type) and m.__module__ == name:
                self.lines.append("")
                self.cls(f"{name}.{n}", m, "")
            elif callable(m) and not isinstance(m, type):
                self.lines.append("")
                self.function(f"{name}.{n}", n, m, "", method=False)
        definitions = self.lines
        used = [module for module in IMPORTS
                if re.search(rf"\b{re.escape(module)}\.[A-Za-z_]", "\n".join(definitions))]
        imports = [f"import {module}" for module in used]
        reexports = [f"from . import {n} as {n}" if inspect.ismodule(m) else f"from {m.__module__} import {n} as {n}"
                     for n, m in members
                     if inspect.ismodule(m) or (isinstance(m, type) and m.__module__ != name)]
        self.lines = []
        self.docstring(self.module.__doc__, "")
        for group in (imports, reexports, ["__version__: str"] if "__version__" in vars(self.module) else []):
            if group:
                self.lines += [""] + group
        return "\n".join(self.lines + definitions) + "\n"


def subclassable(cls: type) -> bool:
    try:
        type("Probe", (cls,), {})
    except TypeError:
        return False
    return True


def stubs() -> dict[str, str]:
    """The text of every stub file, by file name."""
    root = importlib.import_module("_tavik")
    files = {"__init__.pyi": Writer(root).write()}
    for name, member in vars(root).items():
        if inspect.ismodule(member) and member.__name__.startswith("_tavik."):
            files[f"{name}.pyi"] = Writer(member).write()
    return files


def main() -> None:
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                       pathlib.Path(__file__).resolve().parent / "_tavik-stubs")
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("*.pyi"):
        old.unlink()
    for name, text in stubs().items():
        (out / name).write_text(text)
        print(out / name)


if __name__ == "__main__":
    main()
