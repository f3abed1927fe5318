"""Sphinx configuration of the tavik documentation (`make docs`).

The API pages are generated from the docstrings of the installed package
(autodoc, numpydoc); the command line's page from its argument parser
(sphinx-argparse). Examples in the pages and docstrings run as doctests
(`make docs` runs the doctest builder after the HTML one)."""

import doctest
import os
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
]

# Single backticks mark code, as in the docstrings.
default_role = "py:obj"
exclude_patterns = ["_build"]
templates_path = ["_templates"]

autosummary_generate = True
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
# sample.
_doctest_folder = tempfile.mkdtemp(prefix="tavik-doctest-")
doctest_global_setup = f"""
import os as _os, subprocess as _subprocess, sys as _sys
import numpy as np
import tavik
_os.chdir({_doctest_folder!r})
if not _os.path.exists("speech.npz"):
    _subprocess.run([_sys.executable, "-m", "tavik", "gammatonegram", "--out", "speech"],
                    check=True, capture_output=True)
"""
doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
