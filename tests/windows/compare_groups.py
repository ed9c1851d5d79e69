# SPDX-License-Identifier: MIT
"""dupfind.exe under Wine groups a tree exactly as the Linux build does.

Generates a tree with ASCII, non-ASCII and non-BMP names (the root's own
name included, so that the argument goes through the UTF-16 conversion),
copies across directories, same-size files that differ, empty and larger
files around the 64 KiB block. Runs the Linux dupfind and dupfind.exe with
--json on it and compares groups (hash, size, files relative to the root),
wasted bytes and the file count. Then checks dupfind.exe's plain listing,
redirected to a pipe, is UTF-8 holding every grouped name.

Usage: compare_groups.py LINUX_DUPFIND WINDOWS_DUPFIND_EXE WINE
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

NAMES = [
    "plain.txt",
    "caf\u00e9.txt",
    "\u6f22\u5b57/\u30c6\u30b9\u30c8.bin",
    "emoji-\U0001F600.txt",
    "deep/er/\U0001F4C1 \U00010348/file",
    "Stra\u00dfe \u00e4\u00f6\u00fc/x.dat",
]


def pattern(n: int, seed: int) -> bytes:
    x = (seed * 2654435761 + 1) & 0xFFFFFFFF
    out = bytearray(n)
    for i in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = x >> 24
    return bytes(out)


def make_tree(root: Path) -> None:
    contents = {
        "small": b"same small bytes",
        "empty": b"",
        "block": pattern(65536, 1),
        "block+1": pattern(65537, 2),
        "large": pattern(300000, 3),
    }
    # Each content under several names; a same-size twin that differs in
    # its last byte stays apart.
    for k, (label, data) in enumerate(contents.items()):
        for j, name in enumerate(NAMES):
            if (j + k) % 3 == 2:
                continue
            p = root / label / name
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)
        if data:
            twin = root / label / ("twin-\u00e9" + "\U0001F600")
            twin.write_bytes(data[:-1] + bytes([data[-1] ^ 1]))
    for i, name in enumerate(NAMES):
        p = root / "unique" / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(pattern(100 + i, 50 + i))


def groups(text: str, prefix: str) -> tuple:
    doc = json.loads(text)
    out = []
    for g in doc["groups"]:
        files = []
        for f in g["files"]:
            if not f.startswith(prefix):
                raise SystemExit(f"path outside the root: {f!r}")
            files.append(f[len(prefix):].replace("\\", "/"))
        out.append((g["hash"], g["size"], tuple(sorted(files))))
    return tuple(sorted(out)), doc["wasted_bytes"], doc["scanned_files"]


def run(cmd: list[str], env: dict[str, str] | None = None) -> bytes:
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=600)
    if r.returncode != 0:
        raise SystemExit(f"{cmd[0]} failed ({r.returncode}): {r.stderr.decode(errors='replace')}")
    return r.stdout


def main() -> int:
    linux_cli, windows_cli, wine = sys.argv[1:4]
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    with tempfile.TemporaryDirectory(prefix="dupfind-wine-") as tmp:
        root = Path(tmp) / "B\u00e4ume-\U0001F332"
        root.mkdir()
        make_tree(root)
        lin = groups(run([linux_cli, "--json", "--min-size", "0", str(root)]).decode(), str(root) + "/")
        # Wine shows the Linux file system as drive Z:.
        win_root = "Z:" + str(root).replace("/", "\\")
        win_text = run([wine, windows_cli, "--json", "--min-size", "0", win_root], env).decode("utf-8")
        win = groups(win_text, win_root + "/")
        if lin != win:
            print("Linux build:", json.dumps(lin, ensure_ascii=False, indent=1))
            print("Windows build:", json.dumps(win, ensure_ascii=False, indent=1))
            return 1
        n_groups = len(lin[0])
        if n_groups < 5:
            print(f"only {n_groups} groups: the tree does not exercise the grouping")
            return 1

        # The plain listing, redirected, is UTF-8 and names every grouped file.
        plain = run([wine, windows_cli, "--min-size", "0", win_root], env)
        try:
            listing = plain.decode("utf-8")
        except UnicodeDecodeError as e:
            print(f"plain output is not UTF-8: {e}")
            return 1
        missing = [f for _, _, files in lin[0] for f in files if f.split("/")[-1] not in listing]
        if missing:
            print("plain output lacks:", missing)
            return 1
        # --delete --keep newest / oldest: the same files stay on both.
        for keep in ("newest", "oldest"):
            left = []
            before = 0
            for which in ("linux", "windows"):
                tree = Path(tmp) / f"del-{keep}-{which}-\u00e9\U0001F600"
                tree.mkdir()
                make_tree(tree)
                before = sum(1 for p in tree.rglob("*") if p.is_file())
                # Distinct modification times, the same on both trees.
                for k, f in enumerate(sorted(p for p in tree.rglob("*") if p.is_file())):
                    os.utime(f, (1_600_000_000 + 1000 * k, 1_600_000_000 + 1000 * ((k * 7) % 23)))
                if which == "linux":
                    run([linux_cli, "--delete", "--keep", keep, "--quiet", str(tree)])
                else:
                    run([wine, windows_cli, "--delete", "--keep", keep, "--quiet",
                         "Z:" + str(tree).replace("/", "\\")], env)
                left.append(sorted(str(p.relative_to(tree)) for p in tree.rglob("*") if p.is_file()))
            if left[0] != left[1]:
                print(f"--keep {keep}: Linux leaves {left[0]}, Windows leaves {left[1]}")
                return 1
            if len(left[0]) >= before:
                print(f"--keep {keep} removed nothing")
                return 1
    print(f"{n_groups} groups, {lin[2]} files: identical on Linux and under Wine, also what --delete keeps")
    return 0


if __name__ == "__main__":
    sys.exit(main())
