# SPDX-License-Identifier: MIT
"""The guards of the tool's actions against what happens around them: views
of one file through other file systems, programs that rename files over a
copy while the tool works, signals, directories that refuse a cleanup,
metadata that a hard link would change, and inputs that must stop an
action before it starts."""

from __future__ import annotations

import os
import re
import shlex
import signal
import subprocess
import sys
from contextlib import ExitStack, contextmanager
from pathlib import Path

import pytest

from cli_helpers import overlay_mounted, run, snapshot

RACER = Path(__file__).with_name("racer.py")
DATA = b"the only copy of something" * 200


def would_remove(cli, *args) -> set:
    proc = run(cli, "-q", "--delete", "--dry-run", "--keep", "first", *args)
    # A dry run fails as the removal would, when it would leave a copy.
    assert proc.returncode == (1 if "would be kept because of a problem:" in proc.stdout else 0), proc.stderr
    return {line.split(": ", 1)[1].strip() for line in proc.stdout.splitlines()
            if line.startswith("  would remove:")}


@contextmanager
def while_set(command: list, undo: list, what: str):
    """Runs command, then the block, then undo; skips when the command cannot
    run here."""
    try:
        proc = subprocess.run(command, capture_output=True, text=True)
    except FileNotFoundError:
        pytest.skip(f"{command[0]} is not installed")
    if proc.returncode != 0:
        pytest.skip(f"cannot {what} here: {proc.stderr.strip()}")
    try:
        yield
    finally:
        subprocess.run(undo, check=False)


def bindfs_view(real: Path, view: Path):
    """A FUSE view of real on view for the duration of the block."""
    return while_set(["bindfs", str(real), str(view)], ["fusermount", "-u", str(view)], "mount a FUSE view")


def append_only(path: Path):
    return while_set(["chattr", "+a", str(path)], ["chattr", "-a", str(path)], "make a directory append-only")


def listed(stdout: str) -> list:
    """The paths of an fdupes (with or without -0) or csv listing."""
    return [p for p in re.split(r"[\0\n]", stdout) if p and not p.startswith("group,size,hash,path")]


@pytest.mark.parametrize("view", ["overlay", "fuse", "linked-directory"])
def test_omit_first_never_lists_what_delete_would_leave(cli, tmp_path, view):
    # One file reached two ways: through a view of another file system, or
    # through a linked directory. Neither path is a copy of the other, so a
    # script that removes what --omit-first lists must be handed neither.
    real = tmp_path / "real"
    real.mkdir()
    (real / "f").write_bytes(DATA)
    view_dir = tmp_path / "view"
    view_dir.mkdir()
    with ExitStack() as stack:
        if view == "overlay":
            stack.enter_context(overlay_mounted(real, view_dir, tmp_path))
            args, survivors = [view_dir, real], [real / "f"]
        elif view == "fuse":
            stack.enter_context(bindfs_view(real, view_dir))
            args, survivors = [view_dir, real], [real / "f"]
        else:
            # R holds a copy and a link to a directory outside every root.
            (tmp_path / "R").mkdir()
            (tmp_path / "R" / "g").write_bytes(DATA)
            os.symlink(real, tmp_path / "R" / "L")
            args, survivors = ["--follow-symlinks", tmp_path / "R"], [real / "f", tmp_path / "R" / "g"]
        for fmt in (["-0"], ["--format", "csv"], ["--format", "fdupes"]):
            proc = run(cli, "-q", "--omit-first", "--keep", "first", *fmt, *args)
            assert proc.returncode == 0, proc.stderr
            assert listed(proc.stdout) == [], fmt
        assert would_remove(cli, *args) == set()
        words = " ".join(shlex.quote(str(a)) for a in args)
        subprocess.run(["sh", "-c", f"{shlex.quote(cli)} -q --omit-first --keep first -0 {words} "
                                    f"| xargs -0 rm -f --"], check=True)
    for f in survivors:
        assert f.read_bytes() == DATA


def _race_tree(base: Path) -> None:
    root = base / "R"
    root.mkdir(parents=True)
    (root / "a").write_bytes(DATA)
    (root / "b").write_bytes(DATA)
    (base / "decoy").write_bytes(b"saved by an editor after the comparison: never compared")


def _racer(base: Path, nth: int, event: str) -> subprocess.Popen:
    proc = subprocess.Popen([sys.executable, str(RACER), str(base / "R"), "b", str(base / "decoy"), str(nth), event],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready"
    return proc


@pytest.mark.parametrize("action", ["--delete", "--link"])
def test_a_file_renamed_over_the_copy_after_the_comparison_is_never_touched(cli, tmp_path, action):
    # How often the copy is opened up to the tool's comparison: the scan's
    # reads, then the tool's own.
    _race_tree(tmp_path / "count")
    counter = _racer(tmp_path / "count", 0, "count")
    run(cli, "-q", action, "--keep", "first", "--dry-run", tmp_path / "count" / "R")
    counter.stdin.close()
    opens = int(counter.stdout.readline())
    counter.wait()
    assert opens >= 2

    # A program renames a file that was never compared over the copy while
    # the tool reads the copy, right after it closes it, or right after it
    # moves it away: in every case that file must survive under the name.
    trials, fired, losses = 30, 0, []
    for trial in range(trials):
        base = tmp_path / str(trial)
        _race_tree(base)
        racer = _racer(base, opens, ("access", "close", "moved")[trial % 3])
        proc = run(cli, "-q", action, "--keep", "first", base / "R")
        # The racer fires within the tool's run or not at all.
        try:
            out = racer.communicate(timeout=0.5)[0]
        except subprocess.TimeoutExpired:
            racer.kill()
            out = racer.communicate()[0]
        if "fired" not in out:
            continue
        fired += 1
        copy = base / "R" / "b"
        if not (copy.exists() and copy.read_bytes().startswith(b"saved by an editor")):
            losses.append((trial, proc.stdout))
        assert (base / "R" / "a").read_bytes() == DATA
        assert not [p for p in (base / "R").iterdir() if p.name.startswith(".dupfind-")]
    assert losses == []
    assert fired >= trials // 2  # the race was run, not missed


@pytest.mark.parametrize("action", ["--delete", "--link"])
def test_a_file_renamed_over_the_copy_right_before_the_act_is_never_touched(cli, tmp_path, action):
    # The worst moment, every time: a preloaded hook renames the decoy over
    # the copy right before the tool's first call that renames or removes
    # the copy's name.
    hook = os.environ.get("DUPFIND_RACE_HOOK")
    if not hook:
        pytest.skip("DUPFIND_RACE_HOOK names no hook library")
    _race_tree(tmp_path)
    env = dict(os.environ, LD_PRELOAD=hook, RACE_TARGET=str(tmp_path / "R" / "b"), RACE_DECOY=str(tmp_path / "decoy"),
               ASAN_OPTIONS="verify_asan_link_order=0:" + os.environ.get("ASAN_OPTIONS", ""))
    proc = run(cli, "-q", action, "--keep", "first", tmp_path / "R", env=env)
    assert not (tmp_path / "decoy").exists(), "the hook did not fire"
    assert (tmp_path / "R" / "b").read_bytes().startswith(b"saved by an editor"), proc.stdout
    assert (tmp_path / "R" / "a").read_bytes() == DATA
    assert "replaced by another file after the comparison" in proc.stdout
    assert not [p for p in (tmp_path / "R").iterdir() if p.name.startswith(".dupfind-")]


@pytest.mark.parametrize("swapped", [True, False], ids=["renamed-over", "untouched"])
@pytest.mark.parametrize("where, args, shown", [
    ("R", ["a", "b"], "b"),  # given only as DIRs of their own
    (".", ["R", "R/b"], "R/b"),  # the copy also inside a DIR given
], ids=["own", "also-inside"])
def test_a_file_renamed_over_a_copy_given_as_a_dir_right_before_its_removal_survives(cli, tmp_path, swapped, where,
                                                                                     args, shown):
    # The hook renames the decoy over the copy at the first call that
    # renames or removes the copy's name, in the tool or in the library.
    hook = os.environ.get("DUPFIND_RACE_HOOK")
    if not hook:
        pytest.skip("DUPFIND_RACE_HOOK names no hook library")
    _race_tree(tmp_path)
    env = dict(os.environ, LD_PRELOAD=hook,
               ASAN_OPTIONS="verify_asan_link_order=0:" + os.environ.get("ASAN_OPTIONS", ""))
    if swapped:
        env.update(RACE_TARGET=str(tmp_path / "R" / "b"), RACE_DECOY=str(tmp_path / "decoy"))
    proc = run(cli, "-q", "--delete", "--keep", "first", *args, cwd=tmp_path / where, env=env)
    assert (tmp_path / "R" / "a").read_bytes() == DATA
    assert sorted(p.name for p in (tmp_path / "R").iterdir()) == (["a", "b"] if swapped else ["a"])
    if swapped:
        assert not (tmp_path / "decoy").exists(), "the hook did not fire"
        assert (tmp_path / "R" / "b").read_bytes().startswith(b"saved by an editor"), proc.stdout
        assert proc.returncode == 1, proc.stdout + proc.stderr
        assert (f"1 file kept because of a problem:\n  {shown}: replaced by another file after the comparison\n"
                in proc.stdout)
    else:
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert "1 file removed" in proc.stdout


def test_link_leaves_a_copy_whose_owner_mode_or_acl_differ(cli, tmp_path):
    root = tmp_path / "R"
    root.mkdir()
    (root / "a").write_bytes(DATA)
    (root / "b").write_bytes(DATA)
    (root / "a").chmod(0o644)
    (root / "b").chmod(0o600)
    os.chown(root / "b", 65534, 65534)
    before = (root / "b").stat()

    for args in ([], ["--dry-run"]):
        proc = run(cli, "-q", "--link", "--keep", "first", *args, root)
        assert proc.returncode == 1, proc.stderr
        assert (f"  not linked:   {root / 'b'} (a hard link would change its owner from 65534 to 0, group from "
                f"65534 to 0, mode from 0600 to 0644 (to those of kept {root / 'a'}); --allow-metadata-change "
                f"accepts that)\n") in proc.stdout
    assert (root / "b").stat().st_ino == before.st_ino

    proc = run(cli, "-q", "--link", "--keep", "first", "--allow-metadata-change", root)
    assert proc.returncode == 0, proc.stderr
    assert (root / "b").stat().st_ino == (root / "a").stat().st_ino
    assert ("1 name took the kept file's owner, permissions or attributes:\n"
            f"  {root / 'b'}: owner from 65534 to 0, group from 65534 to 0, mode from 0600 to 0644\n") in proc.stdout


def _pairs(tmp_path: Path, count: int) -> tuple:
    a, b = tmp_path / "A", tmp_path / "B"
    a.mkdir()
    b.mkdir()
    for i in range(count):
        data = f"file {i} ".encode() * 40
        (a / f"{i}").write_bytes(data)
        (b / f"{i}").write_bytes(data)
    return a, b


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT], ids=lambda s: s.name)
def test_a_stop_signal_ends_an_action_after_the_file_in_hand(cli, tmp_path, sig):
    a, b = _pairs(tmp_path, 3000)
    proc = subprocess.Popen([cli, "-q", "--link", str(a), str(b)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # The first lines come once acting has begun (the output is a pipe, so
    # they come in blocks).
    first = proc.stdout.read1(1 << 16)
    proc.send_signal(sig)
    rest, err = proc.communicate(timeout=120)
    out = (first + rest).decode()
    assert proc.returncode == 128 + sig, err
    assert "Interrupted: the remaining files were not processed" in out
    linked = sum(1 for i in range(3000) if (b / str(i)).stat().st_ino == (a / str(i)).stat().st_ino)
    assert 0 < linked < 3000
    for d in (a, b):
        assert not [p for p in d.iterdir() if p.name.startswith(".dupfind-")]
    for i in range(3000):
        assert (b / str(i)).read_bytes() == (a / str(i)).read_bytes() == f"file {i} ".encode() * 40


def test_a_name_that_cannot_be_cleaned_up_is_reported_and_fails_the_run(cli, tmp_path):
    # In an append-only directory a new name can be made but none removed or
    # renamed: the copy stays, and so does the temporary link, which the run
    # must name rather than leave behind in silence.
    a, b = _pairs(tmp_path, 1)
    with append_only(b):
        proc = run(cli, "-q", "--link", a, b)
        left = [p for p in b.iterdir() if p.name.startswith(".dupfind-")]
    assert proc.returncode == 1
    assert len(left) == 1 and left[0].stat().st_ino == (a / "0").stat().st_ino
    assert (b / "0").stat().st_ino != (a / "0").stat().st_ino
    assert f"Names left behind that could not be removed:\n  {left[0]} (Operation not permitted)\n" in proc.stdout
    left[0].unlink()


def test_a_group_below_one_dir_needs_a_keep_choice(cli, tmp_path):
    (tmp_path / "Pictures" / "Backup").mkdir(parents=True)
    (tmp_path / "Pictures" / "Backup" / "IMG_1.jpg").write_bytes(DATA)
    (tmp_path / "Pictures" / "IMG_1.jpg").write_bytes(DATA)
    before = snapshot(tmp_path)
    # What was asked was not done: the run fails; a dry run only shows it.
    proc = run(cli, "-q", "--delete", tmp_path / "Pictures")
    assert proc.returncode == 1, proc.stderr
    assert snapshot(tmp_path) == before
    assert f"all below one DIR ({tmp_path / 'Pictures'}), where only path order would choose" in proc.stdout
    dry = run(cli, "-q", "--delete", "--dry-run", tmp_path / "Pictures")
    assert dry.returncode == 0, dry.stderr
    assert "2 files would be kept because of a problem:" in dry.stdout
    assert not run(cli, "-q", "--omit-first", "-0", tmp_path / "Pictures").stdout.strip("\0")

    proc = run(cli, "-q", "--delete", "--keep", "shortest-path", tmp_path / "Pictures")
    assert f"  kept:         {tmp_path / 'Pictures' / 'IMG_1.jpg'} (shortest path)\n" in proc.stdout
    assert not (tmp_path / "Pictures" / "Backup" / "IMG_1.jpg").exists()
