# SPDX-License-Identifier: MIT
"""Builds the shared library with CMake and carries it inside the package.

The metadata is in pyproject.toml; this file only adds the build step, so
that `pip install --no-build-isolation --no-index ./python` gives a package
that works without anything else installed. It needs the source checkout
that holds this directory (or DUPFIND_SOURCE_DIR naming one), cmake and a
C++20 compiler; nothing is fetched.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = Path(__file__).resolve().parent
if sys.platform == "win32":
    LIBRARY_FILE = "brennic-filedup-find.dll"
    BUILT_FILE = Path("bin") / LIBRARY_FILE
else:
    LIBRARY_FILE = "libbrennic-filedup-find.so"
    BUILT_FILE = Path(LIBRARY_FILE)


def source_dir() -> Path:
    named = os.environ.get("DUPFIND_SOURCE_DIR")
    root = Path(named).resolve() if named else HERE.parent
    if not ((root / "CMakeLists.txt").is_file() and (root / "include" / "dupfind.h").is_file()):
        sys.exit(
            f"dupfind: no library sources in {root}: install from the python/ directory of a source "
            "checkout, or set DUPFIND_SOURCE_DIR to the checkout"
        )
    return root


class BuildWithLibrary(build_py):
    """build_py that also builds the library (without the tool, tests or
    benchmarks' extras) and copies it into the package directory."""

    def run(self) -> None:
        super().run()
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("dupfind: cmake is needed to build the library (Debian: apt-get install cmake g++)")
        root = source_dir()
        with tempfile.TemporaryDirectory(prefix="dupfind-build-") as build:
            jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
            for args in (
                [cmake, "-S", str(root), "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DDUPFIND_BUILD_TESTS=OFF"],
                [cmake, "--build", build, "--target", "dupfind_shared", "-j", jobs],
            ):
                subprocess.run(args, check=True)
            target = Path(self.build_lib) / "dupfind" / LIBRARY_FILE
            target.parent.mkdir(parents=True, exist_ok=True)
            # The real file, not the chain of symbolic links to it.
            shutil.copyfile(Path(build, BUILT_FILE).resolve(), target)


class BinaryDistribution(Distribution):
    """The package carries a compiled library: its wheel is for this
    platform only."""

    def has_ext_modules(self) -> bool:
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
