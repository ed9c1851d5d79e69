#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The version is written once, in include/dupfind.h; everything else that
reports it must say the same: the build (CMake's project version), the
Python package, `dupfind --version` and the manual page.

    check_version.py SOURCE_DIR CMAKE_VERSION [DUPFIND_EXE MANUAL_PAGE]
"""
import ast
import re
import subprocess
import sys
from pathlib import Path


def header_version(source: Path) -> str:
    text = (source / "include/dupfind.h").read_text(encoding="utf-8")
    parts = []
    for name in ("MAJOR", "MINOR", "PATCH"):
        m = re.search(rf"^#define DUPFIND_VERSION_{name} (\d+)$", text, re.M)
        if not m:
            sys.exit(f"dupfind.h: no DUPFIND_VERSION_{name}")
        parts.append(m.group(1))
    m = re.search(r'^#define DUPFIND_VERSION_STRING "([^"]*)"$', text, re.M)
    if not m:
        sys.exit("dupfind.h: no DUPFIND_VERSION_STRING")
    numbers = ".".join(parts)
    if m.group(1) != numbers:
        sys.exit(f"dupfind.h: DUPFIND_VERSION_STRING {m.group(1)} is not {numbers}")
    return numbers


def python_version(source: Path) -> str:
    # The package's metadata takes __version__ as setuptools does: the literal
    # assigned in the module, read without importing it.
    tree = ast.parse((source / "python/dupfind/__init__.py").read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
            isinstance(t, ast.Name) and t.id == "__version__" for t in node.targets
        ):
            return ast.literal_eval(node.value)
    sys.exit("python/dupfind/__init__.py: no __version__")


def main(argv: list[str]) -> int:
    source = Path(argv[0])
    want = header_version(source)
    found = {"CMake project": argv[1], "Python package": python_version(source)}
    if len(argv) == 4:
        out = subprocess.run([argv[2], "--version"], capture_output=True, text=True, check=True).stdout
        found["dupfind --version"] = out.removeprefix("dupfind ").strip()
        page = Path(argv[3]).read_text(encoding="utf-8")
        m = re.search(r'^\.TH DUPFIND 1 "(\d{4}-\d{2}-\d{2})" "dupfind ([^"]*)"', page, re.M)
        found["manual page"] = m.group(2) if m else "(no .TH line with a date and version)"
    bad = {k: v for k, v in found.items() if v != want}
    for what, version in bad.items():
        print(f"{what} says {version}, dupfind.h says {want}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
