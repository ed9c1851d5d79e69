# SPDX-License-Identifier: MIT
"""Helpers shared by the tool's end-to-end tests: running the tool, reading its
output, and setting up states (mounts, another user) that several topics need."""

from __future__ import annotations

import json
import os
import re
import subprocess
from contextlib import contextmanager
from pathlib import Path

import pytest

from fixture_tree import REPORT
from terminal import Terminal


REPO = Path(__file__).resolve().parents[2]


SUMMARY = "3 duplicate files in 2 groups, 74.2 KiB reclaimable, 7 files scanned, 3 entries skipped"


HEADER = re.compile(r"(\S+ \S+) each, (\d+) files?, \d+ duplicates?(?:, (\d+) names)?, hash ([0-9a-f]{16})")


def run(cli, *args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(
        [cli, *[a if isinstance(a, bytes) else str(a) for a in args]],
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300, **kwargs,
    )


def scan_json(cli, *args) -> dict:
    proc = run(cli, "--json", *args)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def snapshot(root: Path) -> dict:
    """Every entry below root with its content (links as their target)."""
    out = {}
    for p in sorted(root.rglob("*")):
        if p.is_symlink():
            out[p] = ("link", os.readlink(p))
        elif p.is_file():
            out[p] = p.read_bytes()
    return out


def assert_untouched(tree) -> None:
    for path, content in tree.untouched().items():
        assert path.read_bytes() == content, path
    assert tree.link.is_symlink()


def group_of_links_only(tmp_path: Path) -> Path:
    """A root R whose only copies are two links to identical files outside
    it: with links followed they form a group with no file to keep."""
    root, out = tmp_path / "R", tmp_path / "OUT"
    root.mkdir()
    out.mkdir()
    for name in ("f", "g"):
        (out / name).write_bytes(REPORT)
        os.symlink(out / name, root / f"{name}-link")
    return root


@contextmanager
def mounted(target: Path, fstype: str, source: str = "none", options: str = ""):
    """Mounts a file system on target for the duration of the block; skips
    when mounting is not permitted here. Always unmounts."""
    cmd = ["mount", "-t", fstype, *(["-o", options] if options else []), source, str(target)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True)
    except FileNotFoundError:
        pytest.skip("no mount command here")
    if proc.returncode != 0:
        pytest.skip(f"cannot mount {fstype} here: {proc.stderr.strip()}")
    try:
        yield target
    finally:
        subprocess.run(["umount", str(target)], check=True)


def as_nobody():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def listed_paths(stdout: str) -> list:
    """The paths of every group in the listing, in order."""
    blocks = [block.split("\n") for block in stdout.split("\n\n")]
    return [line for header, *lines in blocks if HEADER.fullmatch(header) for line in lines]


def _linked_root(tmp_path) -> Path:
    """T holds two copies of REPORT; L is a relative link to T."""
    target = tmp_path / "T"
    target.mkdir()
    (target / "a.txt").write_bytes(REPORT)
    (target / "b.txt").write_bytes(REPORT)
    os.symlink("T", tmp_path / "L")
    return target


def shell_word(text: str) -> bytes:
    """What a shell makes of the text as one word."""
    return subprocess.run(["bash", "-c", f"printf %s {text}"], capture_output=True, check=True).stdout


def _linked_names(tmp_path):
    """R holds one content under six names of four files: a.bin and a2.bin
    are one file, b1.bin and b2.bin another, c.bin has a second name outside
    R (OUT/c.bin), d.bin is alone."""
    root, out = tmp_path / "R", tmp_path / "OUT"
    root.mkdir()
    out.mkdir()
    data = REPORT[:300]
    for name in ("a", "b1", "c", "d"):
        (root / f"{name}.bin").write_bytes(data)
    os.link(root / "a.bin", root / "a2.bin")
    os.link(root / "b1.bin", root / "b2.bin")
    os.link(root / "c.bin", out / "c.bin")
    return root, out, data


def _linked_pair(tmp_path, link_name, copy_name, linked_dir):
    """R/link_name leads to OUT/f, outside the root: the link itself, or a
    linked directory OUT holding f. R/copy_name is the only regular file of
    the group inside the root. Returns the root, the linked path, the copy
    and the file outside."""
    root, out = tmp_path / "R", tmp_path / "OUT"
    root.mkdir()
    out.mkdir()
    (out / "f").write_bytes(REPORT)
    (root / copy_name).write_bytes(REPORT)
    if linked_dir:
        os.symlink(out, root / link_name)
        linked = root / link_name / "f"
    else:
        os.symlink(out / "f", root / link_name)
        linked = root / link_name
    return root, linked, root / copy_name, out / "f"


@contextmanager
def overlay_mounted(lower: Path, merged: Path, scratch: Path):
    """Mounts an overlay of lower on merged (upper and work directories in
    scratch) for the duration of the block; skips when mounting is not
    permitted here."""
    upper, work = scratch / "overlay-upper", scratch / "overlay-work"
    upper.mkdir()
    work.mkdir()
    try:
        proc = subprocess.run(
            ["mount", "-t", "overlay", "overlay", "-o", f"lowerdir={lower},upperdir={upper},workdir={work}",
             str(merged)], capture_output=True, text=True,
        )
    except FileNotFoundError:
        pytest.skip("no mount command here")
    if proc.returncode != 0:
        pytest.skip(f"cannot mount an overlay here: {proc.stderr.strip()}")
    try:
        yield
    finally:
        subprocess.run(["umount", str(merged)], check=True)


def help_options(cli) -> list:
    """The options of --help in their order, short forms first."""
    text = run(cli, "--help").stdout
    return [name for m in re.finditer(r"^  (?:(-\w), )?(--[\w-]+)", text, re.M) for name in m.groups() if name]


PROMPT = r"Keep which files\?[^\n]*: "
CONFIRM = r"\? \[y/N\]: "


def confirm(term: Terminal, answer: str = "y") -> bytes:
    """Waits for the question that ends --interactive's plan, answers it and
    returns the plan as shown."""
    start = len(term.output)
    term.expect(CONFIRM)
    plan = term.output[start:]
    term.send(answer + "\n")
    return plan


def ask(term: Terminal, number: str, size: str, copies: int) -> list:
    """Waits for the question about one group; returns its numbered paths."""
    m = term.expect(rf"\[{number}\] {re.escape(size)} each, {copies} files, {copies - 1} duplicates?, hash [0-9a-f]{{16}}\r\n"
                    rf"((?:  \[\d\] [^\r]+\r\n)+){PROMPT}")
    return [Path(line.split("] ", 1)[1]) for line in m[1].decode().splitlines()]
