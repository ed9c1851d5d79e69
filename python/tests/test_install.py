# SPDX-License-Identifier: MIT
"""Installing the binding, and how it finds the library: in a fresh virtual
environment, and in copies of the package laid out as a source checkout or
as an installed package."""

from __future__ import annotations

import ctypes.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, Optional

import pytest

import dupfind
from dupfind import _native

PYTHON_DIR = Path(__file__).resolve().parent.parent  # what `pip install ./python` names
SOURCE_DIR = PYTHON_DIR.parent
DEBIAN_PYTHON = "/usr/bin/python3"
# What a fresh virtual environment needs to build and install the package
# offline with the system's tools.
DEBIAN_PACKAGES = ("python3-venv", "python3-pip", "python3-setuptools", "python3-wheel")


def clean_env(**extra: str) -> Dict[str, str]:
    """The environment without anything that would lead Python or the loader
    to the binding or the library, plus `extra`."""
    env = {k: v for k, v in os.environ.items() if k not in (dupfind.LIBRARY_ENV, "LD_LIBRARY_PATH", "PYTHONPATH")}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(extra)
    return env


def run(args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=300, **kwargs)


def missing_debian_packages(*packages: str) -> Optional[str]:
    """Why the Debian tools are not there, or None when they are."""
    if not os.access(DEBIAN_PYTHON, os.X_OK) or shutil.which("dpkg-query") is None:
        return f"needs Debian's {DEBIAN_PYTHON} and dpkg-query"
    missing = [
        p for p in packages
        if run(["dpkg-query", "-W", "-f=${Status}", p]).stdout.strip() != "install ok installed"
    ]
    return f"Debian packages not installed: {' '.join(missing)}" if missing else None


# ---- pip install ./python into a fresh virtual environment ----

@pytest.fixture(scope="module")
def venv(tmp_path_factory) -> Path:
    reason = missing_debian_packages(*DEBIAN_PACKAGES)
    if reason:
        pytest.skip(reason)
    base = tmp_path_factory.mktemp("install")
    env_dir = base / "venv"
    proc = run([DEBIAN_PYTHON, "-m", "venv", "--system-site-packages", env_dir], env=clean_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # pip builds in the source directory and leaves build/ and *.egg-info
    # there: it gets a copy of the checkout (the install builds the library
    # from it), so the checkout stays as it is.
    src = base / "src"
    shutil.copytree(
        SOURCE_DIR, src,
        ignore=shutil.ignore_patterns(".git", "build*", "out", "*.egg-info", "__pycache__", ".mypy_cache"),
    )
    proc = run(
        [env_dir / "bin" / "pip", "install", "--no-build-isolation", "--no-index", "./python"],
        cwd=src, env=clean_env(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1"),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return env_dir


def test_pip_install_into_fresh_venv_then_import_from_elsewhere(venv, tree, tmp_path):
    code = (
        "import json, importlib.metadata, pathlib, sys, dupfind\n"
        "from dupfind import _native\n"
        "files = [str(f) for f in importlib.metadata.files('dupfind')]\n"
        f"result = dupfind.scan({str(tree.root)!r})\n"
        "print(json.dumps({'module': dupfind.__file__, 'files': files, 'groups': len(result),"
        " 'library': _native.load_library()._name,"
        " 'typed': (pathlib.Path(dupfind.__file__).parent / 'py.typed').is_file()}))\n"
    )
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    # No DUPFIND_LIBRARY, no LD_LIBRARY_PATH, not in the checkout: the
    # package works with what its install put in place.
    proc = run([venv / "bin" / "python", "-c", code], cwd=elsewhere, env=clean_env())
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout)
    # Imported from the environment, not from the checkout or a copy, and
    # the library loaded is the one the install built into the package.
    module_dir = Path(seen["module"]).resolve().parent
    assert module_dir.is_relative_to(venv.resolve())
    assert Path(seen["library"]) == module_dir / _native._LIBRARY_FILE
    assert f"dupfind/{_native._LIBRARY_FILE}" in seen["files"]
    assert seen["typed"] and "dupfind/py.typed" in seen["files"]
    assert not any(f.startswith("tests/") or "/tests/" in f for f in seen["files"])
    assert seen["groups"] == len(tree.groups())


def test_installed_package_is_typed_for_mypy(venv, tmp_path):
    reason = missing_debian_packages("python3-mypy")
    if reason:
        pytest.skip(reason)
    # Without an installed py.typed, mypy refuses to read the package; with
    # wrong overloads, the annotated assignments below fail.
    user = tmp_path / "user.py"
    user.write_text(
        "from pathlib import Path\n"
        "import dupfind\n"
        "as_str: str = dupfind.scan('.').groups[0].files[0]\n"
        "as_path: Path = dupfind.scan('.', path_type=Path).skipped[0].path\n"
        "with dupfind.Scan('.', hard_links=False) as s:\n"
        "    reveal_type(s.result(path_type=Path))\n"
        "    for group in s.result():\n"
        "        name: str = group.files[0]\n"
        "left: int = dupfind.scans_left()\n"
    )
    proc = run([venv / "bin" / "python", "-m", "mypy", "--strict", "--no-incremental", user], cwd=tmp_path,
               env=clean_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert 'Revealed type is "dupfind.Result[pathlib.Path]"' in proc.stdout


# ---- where the library is looked for ----

def lay_out_package(base: Path, library_file: Path, layout: str) -> Path:
    """Copies the package to base/python/dupfind, with a library built in
    base/build-x beside it. A "checkout" layout also has the marks of a
    source checkout; a "bundled" one carries the library inside the package
    as its install puts it there. Returns the directory to import the
    package from."""
    package = base / "python" / "dupfind"
    shutil.copytree(Path(dupfind.__file__).resolve().parent, package,
                    ignore=shutil.ignore_patterns("__pycache__", _native._LIBRARY_FILE))
    if layout == "bundled":
        shutil.copy(library_file, package / _native._LIBRARY_FILE)
    if layout == "checkout":
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
        # The library the install carries comes before any other; only the
        # variable overrides it.
        ("bundled", {"ld_path": True}, "bundled"),
        ("bundled", {"env": "copy"}, "copy"),
    ],
)
def test_library_lookup_order(tmp_path, library_file, layout, given, expected):
    if expected == "build" and ctypes.util.find_library(_native._LIBRARY_NAME):
        pytest.skip("a library installed on this machine comes before the checkout's build")
    import_dir = lay_out_package(tmp_path / "tree", library_file, layout)
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
        bundled = (tmp_path / "tree").resolve() / "python" / "dupfind" / _native._LIBRARY_FILE
        assert loaded == {"copy": str(copy), "soname": _native._SONAME, "build": str(build),
                          "bundled": str(bundled)}[expected]
