# SPDX-License-Identifier: MIT
"""Test set-up for the binding: the package is imported from the source tree.

The library allows 32 scan starts per process, and every test here that
scans runs in the one pytest process: keep the suite's scans well below that
(tests that need more start a process of their own)."""

import os
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


@pytest.fixture(scope="session")
def library_file() -> Path:
    """The library file the tests load: DUPFIND_LIBRARY (ctest sets it), or
    else the file that the binding found, as the process has it mapped."""
    import dupfind
    from dupfind import _native

    named = os.environ.get(dupfind.LIBRARY_ENV)
    if named:
        return Path(named).resolve()
    _native.load_library()
    with open("/proc/self/maps") as maps:
        for line in maps:
            if _native._LIBRARY_FILE in line:
                return Path(line.split(None, 5)[5].strip())
    raise RuntimeError("the library is loaded but not mapped from a file")
