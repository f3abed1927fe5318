"""Sphinx configuration of the tavik documentation (`make docs`).

The API pages are generated from the docstrings of the installed package
(autodoc, numpydoc); the command line's page from its argument parser
(sphinx-argparse). Examples in the pages and docstrings run as doctests
(`make docs` runs the doctest builder after the HTML one)."""

import doctest
import re
import tempfile

import tavik

project = "tavik"
author = "the tavik developers"
copyright = "2026, the tavik developers"
release = version = tavik.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "sphinx.ext.intersphinx",
    "numpydoc",
    "sphinxarg.ext",
    "matplotlib.sphinxext.plot_directive",
]

# Quotes and ellipses made typographic, but not dashes: the options
# (``--floor-dB``) in the command line's help texts keep their two hyphens.
smartquotes_action = "qe"
# Single backticks mark code, as in the docstrings.
default_role = "py:obj"
exclude_patterns = ["_build"]
templates_path = ["_templates"]

# Pictures drawn while the pages are built (matplotlib's plot directive):
# PNG only, at a size that reads on a page.
plot_formats = [("png", 100)]
plot_html_show_formats = False
plot_html_show_source_link = False
plot_rcparams = {"figure.figsize": (8, 3.6)}

autosummary_generate = True
# A class's docstring describes its constructor's parameters (numpydoc's
# convention, the native classes' too); a native class's signature is that
# of its constructor's docstring line (see _plain_signature).
autoclass_content = "class"
autodoc_docstring_signature = True
# Signatures without type hints (the unions of array types are unreadable
# there): the numpydoc Parameters sections say what each argument takes.
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# No network at build time: intersphinx is configured without inventories,
# so references to Python's and NumPy's objects stay plain text.
intersphinx_mapping = {}

html_theme = "pydata_sphinx_theme"
html_title = f"tavik {release}"
html_static_path = ["_static"]
html_css_files = ["tavik.css"]
html_theme_options = {
    "navigation_with_keys": False,
    # The guides' links that fit in the header's one line at 1280 pixels.
    "header_links_before_dropdown": 4,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
# The left column lists the API pages on the API pages; the guides have none.
_GUIDES = ["index", "getting-started", "signals-and-streams", "command-line", "corpora", "errors",
           "performance", "design", "changelog"]
html_sidebars = {"generated/*": ["sidebar-nav-bs"], **{page: [] for page in _GUIDES}}
html_show_sourcelink = False

# The doctests run in a folder of their own, made once per build, holding
# the file that `tavik gammatonegram --out speech` writes from the shipped
# sample, and the store that `tavik corpus recordings features.zarr` writes
# from three seconds of noise (a.wav, b.wav, c.wav).
_doctest_folder = tempfile.mkdtemp(prefix="tavik-doctest-")
doctest_global_setup = f"""
import os as _os, subprocess as _subprocess, sys as _sys
import numpy as np
import tavik
_os.chdir({_doctest_folder!r})
if not _os.path.exists("speech.npz"):
    _subprocess.run([_sys.executable, "-m", "tavik", "gammatonegram", "--out", "speech"],
                    check=True, capture_output=True)
if not _os.path.exists("features.zarr"):
    import soundfile as _soundfile
    _os.makedirs("recordings", exist_ok=True)
    for _i, _name in enumerate(("a.wav", "b.wav", "c.wav")):
        _soundfile.write(_os.path.join("recordings", _name),
                         0.1 * np.random.default_rng(_i).standard_normal(16000), 16000)
    _subprocess.run([_sys.executable, "-m", "tavik", "corpus", "recordings", "features.zarr"],
                    check=True, capture_output=True)
"""
doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


# The native classes' signatures come from pybind11's docstring lines, with
# every type spelled out (``self: _tavik.extractor.Extractor``,
# ``SupportsFloat | SupportsIndex``). As for the Python functions, the pages
# show names and defaults only; the docstrings say what each takes.
def _split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, char in enumerate(text):
        if char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [part.strip() for part in parts if part.strip()]


def _short_type(text):
    """A type as a reader wants it: no module paths, no Annotated metadata."""
    for prefix in ("numpy.typing.", "numpy.", "typing.", "collections.abc.", "_tavik.extractor."):
        text = text.replace(prefix, "")
    while "Annotated[" in text:
        start = text.index("Annotated[")
        inner = text[start + len("Annotated["):]
        depth, end = 1, 0
        for end, char in enumerate(inner):
            depth += char in "[("
            depth -= char in "])"
            if depth == 0:
                break
        text = text[:start] + _split_top_level(inner[:end])[0] + text[start + len("Annotated[") + end + 1:]
    return text


def _without_types(signature, keep_types=False):
    inner = signature.strip()
    if not (inner.startswith("(") and inner.endswith(")")):
        return signature
    params = []
    for param in _split_top_level(inner[1:-1]):
        name, _, rest = param.partition(":")
        name = name.strip()
        if name == "self":
            continue
        default = ""
        if rest:
            pieces = _split_top_level(rest.replace("=", ",=", 1)) if "=" in rest else [rest]
            default = next((p[1:].strip() for p in pieces if p.startswith("=")), "")
        elif "=" in name:
            name, default = (s.strip() for s in name.split("=", 1))
        if keep_types and rest:
            name = f"{name}: {_short_type(rest.split('=', 1)[0].strip())}"
        params.append(f"{name}={default}" if default else name)
    return f"({', '.join(params)})"


_INIT_LINE = re.compile(r"__init__(\(.*\)) -> None")


def _plain_signature(app, what, name, obj, options, signature, return_annotation):
    if what == "class" and not signature:
        line = (getattr(obj.__init__, "__doc__", None) or "").partition("\n")[0]
        match = _INIT_LINE.fullmatch(line)
        return (_without_types(match.group(1)), None) if match else None
    if signature and name.startswith("tavik.") and ("_tavik" in signature or "Supports" in signature
                                                    or "numpy.typing" in signature):
        return _without_types(signature), None
    return None


_OVERLOAD = re.compile(r"^(\d+)\. (\w+)(\(.*\))( -> .*)?$")


def _plain_overloads(app, what, name, obj, options, lines):
    """pybind11's numbered signature lines of an overloaded function, as
    plain calls ("1. __call__(input)")."""
    if not name.startswith("tavik."):
        return
    for i, line in enumerate(lines):
        match = _OVERLOAD.match(line)
        if match:
            number, function, params, _ = match.groups()
            lines[i] = f"{number}. ``{function}{_without_types(params, keep_types=True)}``"
        elif line.strip() == "Overloaded function.":
            lines[i] = "Called in either of these forms:"


def _nested_classes_on_their_own_pages(app, what, name, obj, skip, options):
    """A class inside a class (GammatoneFilterbank.Filter) gets a page of its
    own in the API list, rather than being shown amid its owner's methods."""
    return True if what == "class" and isinstance(obj, type) else None


def setup(app):
    app.connect("autodoc-skip-member", _nested_classes_on_their_own_pages)
    app.connect("autodoc-process-signature", _plain_signature)
    app.connect("autodoc-process-docstring", _plain_overloads)
