# SPDX-License-Identifier: MIT
"""Files given in place of directories: listed and acted on as every other
copy, under the same guards."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from cli_helpers import as_nobody, ask, confirm, listed_paths, run, snapshot
from fixture_tree import REPORT
from terminal import Terminal

KEPT, COPY = "a.mp3", "a (1).mp3"


@pytest.fixture
def songs(tmp_path) -> Path:
    """a.mp3 and its copy "a (1).mp3", side by side."""
    for name in (KEPT, COPY):
        (tmp_path / name).write_bytes(REPORT)
    return tmp_path


@pytest.mark.parametrize("action", ["--delete", "--link"])
def test_files_given_as_dirs_are_acted_on(cli, songs, action):
    ino = (songs / KEPT).stat().st_ino
    dry = run(cli, action, "--dry-run", KEPT, COPY, cwd=songs)
    assert dry.returncode == 0, dry.stdout + dry.stderr
    assert f"  kept:         {KEPT} (first DIR given)\n" in dry.stdout
    would = {"--delete": "would remove:", "--link": "would link:"}[action]
    assert f"  {would:<13} {COPY}\n" in dry.stdout

    proc = run(cli, action, KEPT, COPY, cwd=songs)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert (songs / KEPT).read_bytes() == REPORT and (songs / KEPT).stat().st_ino == ino
    if action == "--delete":
        assert not (songs / COPY).exists()
    else:
        assert (songs / COPY).stat().st_ino == ino
    assert sorted(p.name for p in songs.iterdir()) == sorted({KEPT, COPY} if action == "--link" else {KEPT})


def test_file_given_as_a_dir_beside_a_directory(cli, songs):
    # The listing and --omit-first name the file as typed; the copy in the
    # directory goes, the file given first stays.
    (songs / "D").mkdir()
    (songs / COPY).rename(songs / "D" / COPY)
    assert sorted(listed_paths(run(cli, KEPT, "D", cwd=songs).stdout)) == sorted([KEPT, f"D/{COPY}"])
    assert run(cli, "--omit-first", "--format", "fdupes", KEPT, "D", cwd=songs).stdout == f"D/{COPY}\n\n"
    proc = run(cli, "-q", "--delete", str(songs / KEPT), "D", cwd=songs)
    assert proc.returncode == 0, proc.stdout
    assert (songs / KEPT).exists() and not (songs / "D" / COPY).exists()

    # A link to a file named in place of a DIR is not followed to its
    # target; the action stops before anything changes and says why.
    (songs / "D" / COPY).write_bytes(REPORT)
    os.symlink(KEPT, songs / "link.mp3")
    before = snapshot(songs)
    proc = run(cli, "--delete", f"D/{COPY}", "link.mp3", cwd=songs)
    assert proc.returncode == 1
    assert "dupfind: link.mp3 could not be scanned: symlink\n" in proc.stderr
    assert snapshot(songs) == before and (songs / "link.mp3").is_symlink()


def test_interactive_acts_on_files_given_as_dirs(cli, songs):
    term = Terminal([cli, "--interactive", "--quiet", songs / KEPT, songs / COPY], stdin=True, stdout=True)
    listed = ask(term, "1/1", "2.9 KiB", 2)
    term.send(f"{listed.index(songs / COPY) + 1}\n")
    confirm(term)
    assert term.finish() == 0
    assert (songs / COPY).read_bytes() == REPORT and not (songs / KEPT).exists()



def test_a_removal_the_system_refuses_says_why(cli, shared_dir):
    # A file given as a DIR goes through the library's delete under its own
    # name; in a directory the user may not write, the system's reason
    # comes with the library's words.
    locked = shared_dir / "locked"
    locked.mkdir()
    for name in (KEPT, COPY):
        (locked / name).write_bytes(REPORT)
        (locked / name).chmod(0o644)
    locked.chmod(0o555)
    proc = run(cli, "--delete", locked / KEPT, locked / COPY, preexec_fn=as_nobody)
    assert proc.returncode == 1
    why = "unlink failed: Permission denied"
    assert f"dupfind: cannot remove {locked / COPY}: {why}\n" in proc.stderr
    assert f"  not removed:  {locked / COPY} ({why})\n" in proc.stdout
    assert f"1 file kept because of a problem:\n  {locked / COPY}: {why}\n" in proc.stdout
    assert (locked / COPY).read_bytes() == REPORT
