# SPDX-License-Identifier: MIT
"""Checks the library's layout against docs/design.md.

1. No file of src/ outside src/platform/ includes an operating-system header.
2. Every include of a library header in src/ is allowed by the module table
   in docs/design.md (its "may include" column), so the dependency rules
   written there are the rules the code follows.
3. Every file of src/ belongs to a module of the table, and no file of src/
   is longer than MAX_LINES.

Usage: check_layout.py REPO. Prints every violation and exits 1 if any."""

from __future__ import annotations

import re
import sys
from pathlib import Path

MAX_LINES = 550

# Headers that only the platform layer may include: POSIX and Windows.
OS_HEADERS = re.compile(
    r"^(unistd|fcntl|dirent|pthread|dlfcn|poll|signal|termios|ftw|windows|winbase|winternl|io|direct|shlwapi)\.h$"
    r"|^(sys|linux|asm|arpa|netinet|net)/"
)
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
ROW = re.compile(r"^\|\s*`([a-z_]+)`\s*\|([^|]*)\|([^|]*)\|([^|]*)\|\s*$")


def modules(design: Path) -> dict[str, tuple[set[str], set[str]]]:
    """module -> (its files, the modules it may include), from the table."""
    out = {}
    for line in design.read_text().splitlines():
        m = ROW.match(line)
        if not m:
            continue
        files = set(re.findall(r"`([^`]+)`", m[2]))
        uses = set(re.findall(r"`([a-z_]+)`", m[4]))
        out[m[1]] = (files, uses)
    return out


def main(repo: Path) -> int:
    table = modules(repo / "docs" / "design.md")
    if not table:
        print("docs/design.md: no module table found")
        return 1
    owner = {f: mod for mod, (files, _) in table.items() for f in files}
    problems = []
    src = repo / "src"
    for path in sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp")):
        rel = path.relative_to(src).as_posix()
        text = path.read_text()
        if text.count("\n") > MAX_LINES:
            problems.append(f"src/{rel}: {text.count(chr(10))} lines, more than {MAX_LINES}")
        mod = owner.get(rel)
        if mod is None:
            problems.append(f"src/{rel}: not in the module table of docs/design.md")
            continue
        allowed = table[mod][1] | {mod}
        for kind, name in INCLUDE.findall(text):
            if kind == "<":
                if OS_HEADERS.search(name) and not rel.startswith("platform/"):
                    problems.append(f"src/{rel}: includes the system header <{name}>; only src/platform/ may")
                continue
            if name == "dupfind.h":
                target = "api"
            else:
                target = owner.get(name) or owner.get((path.parent / name).resolve().relative_to(src.resolve()).as_posix())
            if target is None:
                problems.append(f'src/{rel}: includes "{name}", which no module of the table holds')
            elif target not in allowed:
                problems.append(f'src/{rel} ({mod}): includes "{name}" of {target}, not in its "may include" list')
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
