# SPDX-License-Identifier: MIT
"""Replacing copies: --link (hard links) and --reflink (shared extents)."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
from contextlib import ExitStack, contextmanager
from pathlib import Path

import pytest

from cli_helpers import CONFIRM, SUMMARY, _linked_pair, ask, assert_untouched, mounted, run, scan_json
from fixture_tree import PHOTO, REPORT
from terminal import Terminal


def temporaries(root: Path) -> list:
    """Names that a replacement left behind."""
    return [p for p in root.rglob(".dupfind-*")]


@pytest.mark.parametrize("dry_run", [False, True], ids=["link", "dry-run"])
def test_link_makes_each_copy_a_hard_link_to_the_kept_file(cli, tree, dry_run):
    kept = {g["size"]: Path(g["files"][0]) for g in scan_json(cli, tree.root)["groups"]}
    before = {p: p.stat().st_ino for p in [*tree.reports, *tree.photos]}
    proc = run(cli, "--link", "--keep", "first", *(["--dry-run"] if dry_run else []), tree.root)
    assert proc.returncode == 0, proc.stderr

    for content, paths in ((REPORT, tree.reports), (PHOTO, tree.photos)):
        for p in paths:
            assert p.read_bytes() == content
            expected = before[p] if dry_run else kept[len(content)].stat().st_ino
            assert p.stat().st_ino == expected, p
    assert kept[len(REPORT)].stat().st_nlink == (1 if dry_run else 3)
    assert_untouched(tree)
    assert temporaries(tree.root) == []
    assert proc.stdout.count("  would link:   " if dry_run else "  linked:       ") == 3
    assert proc.stdout.endswith(SUMMARY + "\n" + (
        "Dry run: 3 files would be replaced by hard links, 74.2 KiB would be freed; nothing was changed\n" if dry_run else
        "3 files replaced by hard links, 74.2 KiB freed\n"))


@pytest.mark.parametrize("mount", ["tmpfs", "bind"])
def test_link_leaves_a_copy_on_another_file_system(cli, tmp_path, mount):
    # A tmpfs is another device; a bind mount of a directory of the same
    # file system is the same device, and link(2) refuses it all the same.
    root, outside = tmp_path / "R", tmp_path / "OUT"
    (root / "m").mkdir(parents=True)
    outside.mkdir()
    (root / "a.bin").write_bytes(PHOTO)
    (root / "b.bin").write_bytes(PHOTO)
    source, fstype, options = ("none", "tmpfs", "") if mount == "tmpfs" else (str(outside), "none", "bind")
    with mounted(root / "m", fstype, source, options):
        (root / "m" / "c.bin").write_bytes(PHOTO)
        ino = (root / "m" / "c.bin").stat().st_ino
        proc = run(cli, "--link", "--keep", "first", root)
        assert (root / "m" / "c.bin").read_bytes() == PHOTO and (root / "m" / "c.bin").stat().st_ino == ino
        assert temporaries(root / "m") == []
    assert proc.returncode == 1, proc.stderr
    assert (root / "b.bin").stat().st_ino == (root / "a.bin").stat().st_ino
    # Only the tmpfs is another file system; the bind mount is the same one
    # reached through another mount point.
    why = (f"on another file system than kept {root / 'a.bin'}" if mount == "tmpfs" else
           f"reached through another mount point than kept {root / 'a.bin'}, where a hard link cannot be made")
    assert (f"1 file replaced by hard links, 68.4 KiB freed\n1 file kept because of a problem:\n"
            f"  {root / 'm' / 'c.bin'}: {why}\n") in proc.stdout


@contextmanager
def immutable(path: Path):
    """Marks the file immutable (chattr +i) for the duration of the block:
    nothing may then rename over it, remove it or link to it. Skips where
    the file system has no such flag."""
    proc = subprocess.run(["chattr", "+i", str(path)], capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot make a file immutable here: {proc.stderr.strip()}")
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True)


@pytest.mark.parametrize(
    "which, reason",
    [("copy", "cannot rename the new link over the copy: Operation not permitted"),
     ("kept", "cannot make a hard link to the kept file: Operation not permitted")],
)
def test_link_that_the_system_refuses_leaves_no_temporary_and_fails_the_run(cli, tmp_path, which, reason):
    root = tmp_path / "R"
    root.mkdir()
    kept, copy, other = root / "a.bin", root / "b.bin", root / "c.bin"
    for p in (kept, copy, other):
        p.write_bytes(PHOTO)
    inodes = {p: p.stat().st_ino for p in (kept, copy)}
    with immutable(copy if which == "copy" else kept):
        proc = run(cli, "--link", "--keep", "first", root)
    assert proc.returncode == 1
    assert proc.stderr == f"dupfind: cannot link {copy}: {reason}\n" + (
        f"dupfind: cannot link {other}: {reason}\n" if which == "kept" else "")
    assert temporaries(root) == []
    assert all(p.read_bytes() == PHOTO and p.stat().st_ino == ino for p, ino in inodes.items())
    assert (other.stat().st_ino == kept.stat().st_ino) == (which == "copy")


@pytest.mark.parametrize("action", ["--link", "--reflink"])
@pytest.mark.parametrize("linked_dir", [False, True], ids=["link", "linked-dir"])
def test_replacing_never_goes_through_a_symbolic_link(cli, tmp_path, action, linked_dir):
    root, linked, copy, outside = _linked_pair(tmp_path, "a-link", "z-copy", linked_dir)
    ino = outside.stat().st_ino
    proc = run(cli, "--follow-symlinks", action, "--keep", "first", root)
    assert proc.returncode == 1, proc.stderr
    assert proc.stderr == ""
    assert os.path.islink(root / "a-link")
    assert outside.read_bytes() == REPORT and outside.stat().st_ino == ino and outside.stat().st_nlink == 1
    assert copy.read_bytes() == REPORT and copy.stat().st_nlink == 1
    assert f"  {linked}: " in proc.stdout and ", never replaced\n" in proc.stdout


def test_link_leaves_a_copy_whose_directory_became_a_link_after_the_scan(cli, tmp_path):
    root, outside = tmp_path / "R", tmp_path / "OUT"
    (root / "sub").mkdir(parents=True)
    outside.mkdir()
    (root / "a.txt").write_bytes(REPORT)
    (root / "sub" / "b.txt").write_bytes(REPORT)
    (outside / "b.txt").write_bytes(REPORT)
    term = Terminal([cli, "--interactive", "--link", "--quiet", root], stdin=True, stdout=True)
    listed = ask(term, "1/1", "2.9 KiB", 2)
    term.send(f"{listed.index(root / 'a.txt') + 1}\n")
    term.expect(CONFIRM)
    # Once the plan is shown, the directory is moved away and a link to one
    # outside the root, with a file of the same bytes, takes its place.
    (root / "sub").rename(tmp_path / "moved")
    os.symlink(outside, root / "sub")
    term.send("y\n")
    assert term.finish() == 1
    assert (outside / "b.txt").read_bytes() == REPORT and (outside / "b.txt").stat().st_nlink == 1
    assert (tmp_path / "moved" / "b.txt").stat().st_nlink == 1 and (root / "a.txt").stat().st_nlink == 1
    assert f"  {root / 'sub' / 'b.txt'}: reached through the symbolic link {root / 'sub'}, never replaced" in term.text()


def test_link_leaves_a_copy_that_changed_after_the_scan(cli, tree):
    term = Terminal([cli, "--interactive", "--link", "--quiet", tree.root], stdin=True, stdout=True)
    reports = ask(term, "1/2", "2.9 KiB", 3)
    term.send("1\n")
    ask(term, "2/2", "68.4 KiB", 2)
    term.send("s\n")
    term.expect(CONFIRM)
    reports[2].write_bytes(REPORT[:-1] + b"!")  # after the plan: same size, other bytes
    changed_ino = reports[2].stat().st_ino
    term.send("y\n")
    assert term.finish() == 1
    assert reports[1].stat().st_ino == reports[0].stat().st_ino and reports[1].read_bytes() == REPORT
    assert reports[2].stat().st_ino == changed_ino and reports[2].read_bytes() == REPORT[:-1] + b"!"
    assert f"  {reports[2]}: content differs from kept {reports[0]}\n" in term.text()
    assert "1 file replaced by hard links, 2.9 KiB freed\n" in term.text()


# Copies big enough to span several blocks and more than one call of the
# dedupe ioctl's smallest steps, cheap to make.
BIG = bytes(range(256)) * 4096 * 3  # 3 MiB


BIG_TWIN = BIG[:-1] + b"!"


@contextmanager
def loop_mounted(base: Path, fstype: str):
    """A file system of its own, on a 300 MiB image file through a loop
    device, for the duration of the block; skips where loop devices or
    mounting are not available. Always unmounts and detaches."""
    mkfs = {"xfs": ["mkfs.xfs", "-q"], "btrfs": ["mkfs.btrfs", "-q"]}[fstype]
    if not shutil.which(mkfs[0]):
        pytest.skip(f"{mkfs[0]} is not installed (Debian's {fstype}progs)")
    if os.geteuid() != 0:
        pytest.skip("needs root to mount a loop device")
    if not os.path.exists("/dev/loop-control"):
        pytest.skip("no loop devices here")
    image, mnt = base / f"{fstype}.img", base / f"{fstype}-mnt"
    with open(image, "wb") as f:
        f.truncate(300 << 20)
    subprocess.run([*mkfs, str(image)], check=True, capture_output=True)
    mnt.mkdir()
    proc = subprocess.run(["mount", "-o", "loop", str(image), str(mnt)], capture_output=True, text=True)
    if proc.returncode != 0:
        image.unlink()
        pytest.skip(f"cannot loop-mount {fstype} here: {proc.stderr.strip()}")
    try:
        yield mnt
    finally:
        subprocess.run(["umount", str(mnt)], check=True)
        # mount -o loop detaches the device on unmount; one left attached
        # is detached here.
        attached = subprocess.run(["losetup", "-j", str(image)], capture_output=True, text=True).stdout
        for line in attached.splitlines():
            subprocess.run(["losetup", "-d", line.split(":", 1)[0]], check=False)
        image.unlink()


@pytest.fixture(scope="module")
def loop_fs(tmp_path_factory):
    """Mounts an image of the given kind on first use, once per module, and
    gives each test a fresh directory on it."""
    with ExitStack() as stack:
        mounts = {}

        def directory(fstype: str) -> Path:
            if fstype not in mounts:
                mounts[fstype] = stack.enter_context(loop_mounted(tmp_path_factory.mktemp(fstype), fstype))
            return Path(tempfile.mkdtemp(dir=mounts[fstype]))

        yield directory


def extents(path: Path) -> list:
    """The file's extents as filefrag -v tells them (after a sync): logical
    start and end, physical start and end, in blocks."""
    out = subprocess.run(["filefrag", "-s", "-v", str(path)], capture_output=True, text=True, check=True).stdout
    found = [tuple(map(int, m.groups()))
             for m in re.finditer(r"^\s*\d+:\s+(\d+)\.\.\s*(\d+):\s+(\d+)\.\.\s*(\d+):", out, re.M)]
    assert found, out
    return found


def _big_copies(root: Path) -> list:
    """a.bin, b.bin and sub/c.bin hold BIG, written apart so that each has
    blocks of its own; twin.bin differs from them in its last byte."""
    (root / "sub").mkdir()
    paths = [root / "a.bin", root / "b.bin", root / "sub" / "c.bin"]
    for p in paths:
        p.write_bytes(BIG)
    (root / "twin.bin").write_bytes(BIG_TWIN)
    os.chmod(paths[1], 0o600)
    os.utime(paths[1], (1_500_000_000, 1_500_000_000))
    return paths


@pytest.mark.parametrize("fstype", ["xfs", "btrfs"])
def test_reflink_shares_extents_and_each_copy_keeps_its_inode_name_and_metadata(cli, loop_fs, fstype):
    root = loop_fs(fstype)
    _big_copies(root)
    kept, *copies = map(Path, scan_json(cli, root)["groups"][0]["files"])  # --keep first: the first
    assert all(extents(c) != extents(kept) for c in copies)
    meta = {p: (p.stat().st_ino, p.stat().st_mode, p.stat().st_mtime_ns, p.stat().st_nlink) for p in copies}
    twin = extents(root / "twin.bin")

    dry = run(cli, "--reflink", "--keep", "first", "--dry-run", root)
    assert dry.returncode == 0, dry.stderr
    assert all(extents(c) != extents(kept) for c in copies)
    would = re.search(r"^Dry run: 2 files would be deduplicated in place, (.+) would be freed;", dry.stdout, re.M)

    proc = run(cli, "--reflink", "--keep", "first", root)
    assert proc.returncode == 0, proc.stderr
    for c in copies:
        assert extents(c) == extents(kept), c
        assert c.read_bytes() == BIG
        assert (c.stat().st_ino, c.stat().st_mode, c.stat().st_mtime_ns, c.stat().st_nlink) == meta[c]
    assert kept.read_bytes() == BIG and (root / "twin.bin").read_bytes() == BIG_TWIN
    assert extents(root / "twin.bin") == twin
    assert proc.stdout.count("  shared:       ") == 2
    reclaimable = re.search(r", (.+) reclaimable,", proc.stdout)[1]
    assert would and reclaimable == would[1] == "6.0 MiB"
    assert "2 files deduplicated in place, 6.0 MiB freed\n" in proc.stdout
    assert "because of a problem" not in proc.stdout

    # Shared once, nothing is left to share.
    again = run(cli, "--reflink", "--keep", "first", root)
    assert again.returncode == 0, again.stderr
    assert again.stdout.count(f"(already shares its extents with kept {kept})") == 2
    assert ", 0 B reclaimable," in again.stdout
    assert "0 files deduplicated in place, 0 B freed\n" in again.stdout
    assert "because of a problem" not in again.stdout


def test_reflink_shares_extents_of_files_given_as_dirs(cli, loop_fs):
    root = loop_fs("xfs")
    kept, copy = root / "a.bin", root / "a (1).bin"
    for p in (kept, copy):
        p.write_bytes(BIG)
    proc = run(cli, "--reflink", kept, copy)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert f"  shared:       {copy}\n" in proc.stdout
    assert extents(copy) == extents(kept) and copy.read_bytes() == BIG


def test_reflink_counts_nothing_for_files_stored_inline(cli, loop_fs):
    # btrfs keeps a file this small in its metadata: it has no extent to
    # share, and must not be reported shared or freed on every run.
    root = loop_fs("btrfs")
    small = [root / "s1.txt", root / "s2.txt"]
    for p in small:
        p.write_bytes(REPORT[:1000])
    big = _big_copies(root)
    for _ in range(2):
        proc = run(cli, "--reflink", "--keep", "first", root)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert f"  kept:         {small[1]} (stored inline: cannot share extents)\n" in proc.stdout
        assert f"  shared:       {small[1]}" not in proc.stdout
    assert extents(big[1]) == extents(big[0])
    assert "0 files deduplicated in place, 0 B freed\n" in proc.stdout and ", 0 B reclaimable," in proc.stdout


def test_reflink_leaves_a_copy_that_changed_after_the_scan(cli, loop_fs):
    root = loop_fs("xfs")
    kept, copy, other = _big_copies(root)
    term = Terminal([cli, "--interactive", "--reflink", "--quiet", root], stdin=True, stdout=True)
    listed = ask(term, "1/1", "3.0 MiB", 3)
    term.send(f"{listed.index(kept) + 1}\n")
    term.expect(CONFIRM)
    with open(copy, "r+b") as f:  # after the plan: same size, other bytes, same inode
        f.seek(len(BIG) // 2)
        f.write(b"changed")
    term.send("y\n")
    assert term.finish() == 1
    assert extents(other) == extents(kept) and other.read_bytes() == BIG
    assert extents(copy) != extents(kept)
    assert copy.read_bytes() == BIG[:len(BIG) // 2] + b"changed" + BIG[len(BIG) // 2 + 7:]
    assert f"  {copy}: content differs from kept {kept}\n" in term.text()


def test_reflink_leaves_copies_where_extents_cannot_be_shared(cli, loop_fs, tmp_path):
    xfs = loop_fs("xfs")
    (xfs / "a.bin").write_bytes(BIG)
    local = tmp_path / "L"
    local.mkdir()
    (local / "b.bin").write_bytes(BIG)
    plain = tmp_path / "T"  # a file system without shared extents
    plain.mkdir()
    with mounted(plain, "tmpfs"):
        (plain / "c.bin").write_bytes(BIG)
        (plain / "d.bin").write_bytes(BIG)
        before = {p: p.stat().st_ino for p in (local / "b.bin", plain / "c.bin", plain / "d.bin")}
        proc = run(cli, "--reflink", "--keep", "first", xfs, local, plain)
        assert all(p.read_bytes() == BIG and p.stat().st_ino == ino for p, ino in before.items())
        plain_alone = run(cli, "--reflink", "--keep", "first", plain)
    assert proc.returncode == 1, proc.stderr
    assert f"  {local / 'b.bin'}: on another file system than kept {xfs / 'a.bin'}\n" in proc.stdout
    assert f"  {plain / 'c.bin'}: on another file system than kept {xfs / 'a.bin'}\n" in proc.stdout
    # "Operation not supported": what was asked was not done.
    assert plain_alone.returncode == 1, plain_alone.stderr
    assert f"  {plain / 'd.bin'}: the file system cannot share extents: " in plain_alone.stdout
    assert "0 files deduplicated in place, 0 B freed\n1 file kept because of a problem:\n" in plain_alone.stdout
