#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every source file names its licence in an SPDX line at its very top.

    tools/spdx.py ROOT          list the files without the line; exit 1 if any
    tools/spdx.py --fix ROOT    add the line to those files

The line comes first, or right after a "#!" or "#compdef" line, which the
shell and zsh only honour on the first line. Build trees, the VCS directory
and generated Python metadata are not sources and are skipped; third_party/
holds code of others, unchanged, with its own licence beside it.
"""
import os
import sys
from pathlib import Path

LICENSE = "MIT"
SLASH = (".c", ".cpp", ".h")
HASH = (".py", ".sh", ".cmake", ".toml", ".bash")
HASH_NAMES = ("CMakeLists.txt", "run", "_dupfind")


def comment_for(path: Path) -> str | None:
    if path.suffix in SLASH:
        return "//"
    if path.suffix in HASH or path.name in HASH_NAMES:
        return "#"
    return None


def skipped(rel: Path) -> bool:
    if rel.parts and rel.parts[0] == "third_party":
        return True
    for part in rel.parts[:-1]:
        if part.startswith("build") or part == "__pycache__" or part.endswith(".egg-info"):
            return True
        if part.startswith(".") and part != ".ci":
            return True
    return False


def sources(root: Path):
    # Skipped directories are never entered: the tests of a build tree
    # create and remove scratch directories inside it while this runs.
    found = []
    for top, dirs, files in os.walk(root):
        rel_top = Path(top).relative_to(root)
        dirs[:] = [d for d in dirs if not skipped(rel_top / d / "x")]
        found.extend(Path(top) / name for name in files)
    for path in sorted(found):
        if path.is_file():
            mark = comment_for(path)
            if mark is not None:
                yield path, mark


def spdx_line(mark: str) -> str:
    return f"{mark} SPDX-License-Identifier: {LICENSE}\n"


def has_line(lines: list[str], mark: str) -> bool:
    head = 1 if lines and lines[0].startswith(("#!", "#compdef")) else 0
    return len(lines) > head and lines[head] == spdx_line(mark)


def add_line(path: Path, mark: str) -> None:
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    head = 1 if lines and lines[0].startswith(("#!", "#compdef")) else 0
    lines.insert(head, spdx_line(mark))
    path.write_text("".join(lines), encoding="utf-8")


def main(argv: list[str]) -> int:
    fix = "--fix" in argv
    args = [a for a in argv if a != "--fix"]
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    root = Path(args[0])
    missing = []
    for path, mark in sources(root):
        lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
        if not has_line(lines, mark):
            missing.append(path)
            if fix:
                add_line(path, mark)
    for path in missing:
        print(f"{'added' if fix else 'no SPDX line'}: {path.relative_to(root)}")
    return 0 if fix or not missing else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
