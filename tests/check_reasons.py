# SPDX-License-Identifier: MIT
"""Checks that every text that lists the skip reasons lists the library's.

The library names its reasons in one table (src/records.cpp). The header
documents them for hosts, the README for readers, the binding's docstring for
Python users, and the tool compares the reasons it treats specially by name:
a reason added, renamed or dropped in one place only would leave a host
matching a text the library never writes.

Usage: check_reasons.py REPO. Prints every difference and exits 1 if any."""

from __future__ import annotations

import re
import sys
from pathlib import Path

NAME = r"[a-z][a-z0-9_]*"


def table(repo: Path) -> list[str]:
    text = (repo / "src" / "records.cpp").read_text()
    return re.findall(rf'\{{DUP_SKIP_[A-Z0-9_]+, "({NAME})"\}}', text)


def header(repo: Path) -> list[str]:
    # The list between 'Reasons in "skipped":' and the paragraph after it:
    # one reason per line, in quotes, at the start of its line.
    text = (repo / "include" / "dupfind.h").read_text()
    block = text.split('Reasons in "skipped":', 1)[1].split('"skipped" lists', 1)[0]
    return re.findall(rf'^ \*\s+"({NAME})"', block, re.M)


def readme(repo: Path) -> list[str]:
    text = (repo / "README.md").read_text()
    para = text.split('with one of these reasons', 1)[1].split("\n\n", 1)[0]
    return re.findall(rf"`({NAME})`", para.split(":", 1)[1])


def binding(repo: Path) -> list[str]:
    text = (repo / "python" / "dupfind" / "__init__.py").read_text()
    doc = text.split("    reason: str\n", 1)[1].split('"""', 2)[1]
    return re.findall(rf'"({NAME})"', doc)


def tool(repo: Path) -> set[str]:
    # Every reason the tool compares a record's reason with.
    used = set()
    for path in sorted((repo / "cli").glob("*.[ch]*")):
        used.update(re.findall(rf'reason\s*[!=]=\s*"({NAME})"', path.read_text()))
    return used


def main(repo: Path) -> int:
    names = table(repo)
    problems = []
    if not names:
        problems.append("src/records.cpp: no reason table found")
    if len(set(names)) != len(names):
        problems.append("src/records.cpp: a reason is named twice")
    for where, listed in (
        ("include/dupfind.h", header(repo)),
        ("README.md", readme(repo)),
        ("python/dupfind/__init__.py", binding(repo)),
    ):
        if sorted(listed) != sorted(names):
            missing = sorted(set(names) - set(listed))
            extra = sorted(set(listed) - set(names))
            twice = sorted({n for n in listed if listed.count(n) > 1})
            problems.append(f"{where}: lacks {missing}, has unknown {extra}, repeats {twice}")
    unknown = sorted(tool(repo) - set(names))
    if unknown:
        problems.append(f"cli/: compares reasons the library never writes: {unknown}")
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
