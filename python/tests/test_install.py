"""How the binding finds the library, in copies of the package laid out as a
source checkout or as an installed package."""

from __future__ import annotations

import ctypes.util
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict

import pytest

import dupfind
from dupfind import _native


def clean_env(**extra: str) -> Dict[str, str]:
    """The environment without anything that would lead Python or the loader
    to the binding or the library, plus `extra`."""
    env = {k: v for k, v in os.environ.items() if k not in (dupfind.LIBRARY_ENV, "LD_LIBRARY_PATH", "PYTHONPATH")}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(extra)
    return env


def run(args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=300, **kwargs)


# ---- where the library is looked for ----

def lay_out_package(base: Path, library_file: Path, checkout: bool) -> Path:
    """Copies the package to base/python/dupfind, with a library built in
    base/build-x beside it. With `checkout`, base also has the marks of a
    source checkout. Returns the directory to import the package from."""
    shutil.copytree(Path(dupfind.__file__).resolve().parent, base / "python" / "dupfind",
                    ignore=shutil.ignore_patterns("__pycache__"))
    if checkout:
        (base / "python" / "pyproject.toml").write_text("")
        (base / "include").mkdir()
        (base / "include" / "dupfind.h").write_text("")
    (base / "build-x").mkdir()
    shutil.copy(library_file, base / "build-x" / _native._LIBRARY_FILE)
    return base / "python"


@pytest.mark.parametrize(
    "layout, given, expected",
    [
        # The variable names the one file to load, whatever else is there.
        ("checkout", {"env": "copy", "ld_path": True}, "copy"),
        ("checkout", {"env": "missing"}, "LibraryNotFound"),
        # The installed library (here reached through the loader's path)
        # comes before the checkout's build.
        ("checkout", {"ld_path": True}, "soname"),
        ("checkout", {}, "build"),
        # An installed package never loads a build that lies near it.
        ("installed", {}, "not build"),
        ("installed", {"ld_path": True}, "soname"),
    ],
)
def test_library_lookup_order(tmp_path, library_file, layout, given, expected):
    if expected == "build" and ctypes.util.find_library(_native._LIBRARY_NAME):
        pytest.skip("a library installed on this machine comes before the checkout's build")
    import_dir = lay_out_package(tmp_path / "tree", library_file, checkout=layout == "checkout")
    build = (tmp_path / "tree").resolve() / "build-x" / _native._LIBRARY_FILE
    copy = tmp_path / "copy" / "libcopy.so"
    copy.parent.mkdir()
    shutil.copy(library_file, copy)
    installed = tmp_path / "installed"
    installed.mkdir()
    shutil.copy(library_file, installed / _native._SONAME)
    extra = {}
    if given.get("env") == "copy":
        extra[dupfind.LIBRARY_ENV] = str(copy)
    elif given.get("env") == "missing":
        extra[dupfind.LIBRARY_ENV] = str(tmp_path / "libnothing.so")
    if given.get("ld_path"):
        extra["LD_LIBRARY_PATH"] = str(installed)

    code = "import dupfind._native as n; print(n.load_library()._name)"
    proc = run([sys.executable, "-c", code], cwd=import_dir, env=clean_env(**extra))

    if expected == "LibraryNotFound":
        assert proc.returncode != 0 and "LibraryNotFound" in proc.stderr and "libnothing.so" in proc.stderr
        return
    if expected == "not build" and proc.returncode != 0:
        # Nothing installed on this machine: the error tells what to do.
        assert "LibraryNotFound" in proc.stderr and dupfind.LIBRARY_ENV in proc.stderr
        return
    assert proc.returncode == 0, proc.stderr
    loaded = proc.stdout.strip()
    if expected == "not build":
        assert loaded != str(build)
    else:
        assert loaded == {"copy": str(copy), "soname": _native._SONAME, "build": str(build)}[expected]
