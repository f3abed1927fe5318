"""CONTRIBUTING.md's layout table against the source tree: every source file
of the core, the binding and the package has a row, and every row names
something that exists."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CONTRIBUTING = ROOT / "CONTRIBUTING.md"
# The directories whose every file the table lists; a subdirectory of data
# or generated files is listed as itself.
LISTED_WHOLE = ("extractor", "python", "python/tavik", "python/tavik/_cli")

pytestmark = pytest.mark.skipif(
    not (CONTRIBUTING.is_file() and (ROOT / "extractor").is_dir()),
    reason="not run from a source checkout")


def table_paths():
    return {m.group(1) for m in re.finditer(r"^\| `([^`]+)` \|", CONTRIBUTING.read_text(), re.M)}


def tree_paths():
    found = set()
    for top in LISTED_WHOLE:
        for entry in (ROOT / top).iterdir():
            if entry.name == "__pycache__":
                continue
            path = entry.relative_to(ROOT).as_posix()
            found.add(path + "/" if entry.is_dir() else path)
    return found


def test_every_source_file_has_a_row():
    assert tree_paths() - table_paths() == set()


def test_every_row_names_what_exists():
    missing = {p for p in table_paths() if not (ROOT / p).exists()}
    assert missing == set()
