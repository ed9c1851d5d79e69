"""Test set-up for the binding: the package is imported from the source tree.

The library allows 32 scan starts per process, and every test here that
scans runs in the one pytest process: keep the suite's scans well below that
(tests that need more start a process of their own)."""

import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE))

from fixture_tree import Tree, build_tree  # noqa: E402


@pytest.fixture
def tree(tmp_path: Path) -> Tree:
    return build_tree(tmp_path)
