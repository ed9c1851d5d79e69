# SPDX-License-Identifier: MIT
"""dupfind.exe under Wine: the paths a user types and the names Windows
treats specially.

- An argument beginning with '/' is a path, never a Windows-style option:
  "/q" is a root (missing here), not -q, and a root typed as "/tmp/..."
  (the current drive's root under Wine) is scanned.
- A root typed with trailing backslashes shows its files as "R/f", never
  "R\\/f".
- Files named CON.txt, NUL, com1, "z." and "z " (device names, a trailing
  dot or space, which only extended-length paths reach) are removed and
  replaced as copies and kept as the file that stays, by --delete and
  --link, as any other name.

Usage: cli_paths.py DUPFIND_EXE WINE
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

# Names the Win32 path rules would turn into devices or trim.
SPECIAL = ["CON.txt", "NUL", "com1", "z.", "z "]

failures: list[str] = []


def check(ok: bool, what: str) -> None:
    if not ok:
        failures.append(what)


def windows(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def run(exe: str, wine: str, *args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return subprocess.run([wine, exe, *args], capture_output=True, env=env, cwd=cwd, timeout=600)


def text(r: subprocess.CompletedProcess) -> str:
    return f"exit {r.returncode}, stdout {r.stdout.decode(errors='replace')[:800]!r}, " \
           f"stderr {r.stderr.decode(errors='replace')!r}"


def content(i: int) -> bytes:
    return f"content of group {i}\n".encode() * (i + 1)


def special_tree(base: Path) -> tuple[Path, Path]:
    """S holds one file under each special name, P a copy of each under a
    plain name."""
    special, plain = base / "S", base / "P"
    special.mkdir(parents=True)
    plain.mkdir()
    for i, name in enumerate(SPECIAL):
        (special / name).write_bytes(content(i))
        (plain / f"copy{i}").write_bytes(content(i))
    return special, plain


def slash_paths(exe: str, wine: str, tmp: Path) -> None:
    root = tmp / "R"
    root.mkdir()
    for name in ("a", "b"):
        (root / name).write_bytes(content(0))
    # "/q" is a root that does not exist, reported as such (and failing the
    # run); as -q it would pass without a word.
    if not Path("/q").exists():
        r = run(exe, wine, "--summary", "/q", windows(root))
        check(r.returncode == 1 and b"/q could not be scanned: root_missing" in r.stderr,
              f"/q is not taken for a path: {text(r)}")
    # A root typed from the current drive's root.
    r = run(exe, wine, "--format", "fdupes", str(root))
    expected = f"{root}/a\n{root}/b\n\n".encode()
    check(r.returncode == 0 and r.stdout.replace(b"\r\n", b"\n") == expected,
          f"a root typed as {root} is not scanned: {text(r)}")


def trailing_backslash(exe: str, wine: str, tmp: Path) -> None:
    root = tmp / "T"
    root.mkdir()
    for name in ("a", "b"):
        (root / name).write_bytes(content(1))
    for suffix in ("\\", "\\\\", "\\.\\"):
        typed = windows(root) + suffix
        r = run(exe, wine, "--format", "fdupes", typed)
        expected = f"{windows(root)}/a\n{windows(root)}/b\n\n".encode()
        check(r.returncode == 0 and r.stdout.replace(b"\r\n", b"\n") == expected,
              f"root typed as {typed!r} is shown with its separators: {text(r)}")


def special_names(exe: str, wine: str, tmp: Path) -> None:
    for action, done in (("--delete", "removed"), ("--link", "linked")):
        # The special names kept (their root first), then acted on.
        for special_first in (True, False):
            base = tmp / f"{action[2:]}-{'kept' if special_first else 'copies'}"
            special, plain = special_tree(base)
            roots = [special, plain] if special_first else [plain, special]
            r = run(exe, wine, action, "--quiet", *[windows(p) for p in roots])
            out = r.stdout.decode(errors="replace")
            acted = re.findall(rf"^  {done}: +(.*?)\r?$", out, re.M)
            label = f"{action} with {'kept' if special_first else 'copies with'} special names"
            check(r.returncode == 0 and len(acted) == len(SPECIAL) and "problem:" not in out,
                  f"{label}: {text(r)}")
            for i, name in enumerate(SPECIAL):
                kept, copy = (special / name, plain / f"copy{i}") if special_first else \
                             (plain / f"copy{i}", special / name)
                check(kept.read_bytes() == content(i), f"{label}: {kept.name!r} lost")
                if action == "--delete":
                    check(not copy.exists(), f"{label}: {copy.name!r} not removed")
                else:
                    check(copy.stat().st_ino == kept.stat().st_ino, f"{label}: {copy.name!r} not linked")


def main() -> int:
    exe, wine = sys.argv[1:3]
    with tempfile.TemporaryDirectory(prefix="dupfind-wine-paths-") as tmp:
        slash_paths(exe, wine, Path(tmp))
        trailing_backslash(exe, wine, Path(tmp))
        special_names(exe, wine, Path(tmp))
    for f in failures:
        print("FAILED:", f)
    if failures:
        return 1
    print("slash paths, trailing backslashes and special names: as typed and acted on")
    return 0


if __name__ == "__main__":
    sys.exit(main())
