# SPDX-License-Identifier: MIT
"""End-to-end tests of the dupfind tool: they run the built executable, named
by DUPFIND_CLI (ctest sets it), on fixture trees shared with the binding's
tests."""

import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python" / "tests"))
sys.path.insert(0, str(REPO / "python"))

from fixture_tree import Tree, build_tree  # noqa: E402


@pytest.fixture(scope="session")
def cli() -> str:
    path = os.environ.get("DUPFIND_CLI") or str(REPO / "build" / "cli" / "dupfind")
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"dupfind executable not found at {path}; set DUPFIND_CLI")
    return path


@pytest.fixture
def tree(tmp_path: Path) -> Tree:
    return build_tree(tmp_path)


@pytest.fixture
def full_output():
    """Standard output on a device that refuses every write."""
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    with open("/dev/full", "w") as f:
        yield f


@pytest.fixture
def shared_dir():
    """A directory that a process without privileges can enter."""
    if os.geteuid() != 0:
        pytest.skip("needs root to drop privileges")
    d = Path(tempfile.mkdtemp(prefix="dupfind-cli-"))
    d.chmod(0o755)
    yield d
    shutil.rmtree(d)
