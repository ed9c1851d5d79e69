# SPDX-License-Identifier: MIT
"""Roots as typed (links, separators, nesting, names the shell must quote) and
files reached under several names (hard links)."""

from __future__ import annotations

import os
import re
from pathlib import Path

import pytest

from cli_helpers import _linked_names, _linked_root, listed_paths, run, scan_json, shell_word
from fixture_tree import PHOTO, REPORT, UNIQUE


@pytest.mark.parametrize("follow", [[], ["--follow-symlinks"]], ids=["plain", "follow"])
@pytest.mark.parametrize("typed", ["L", "L/", "L//"], ids=["bare", "slash", "two-slashes"])
def test_root_that_is_a_link_to_a_directory_is_scanned_under_its_typed_name(cli, tmp_path, follow, typed):
    _linked_root(tmp_path)
    proc = run(cli, *follow, typed, cwd=tmp_path)
    assert proc.returncode == 0
    assert proc.stderr == ""
    assert listed_paths(proc.stdout) == ["L/a.txt", "L/b.txt"]
    assert proc.stdout.endswith(" 2 files scanned, 0 entries skipped\n")


def test_delete_below_a_linked_root_removes_the_copy_behind_it(cli, tmp_path):
    target = _linked_root(tmp_path)
    proc = run(cli, "--delete", "--keep", "first", "L", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "  kept:         L/a.txt (first in path order)\n  removed:      L/b.txt\n" in proc.stdout
    assert (target / "a.txt").read_bytes() == REPORT and not (target / "b.txt").exists()
    assert os.readlink(tmp_path / "L") == "T"


@pytest.mark.parametrize("suffix", ["/", "//"], ids=["slash", "two-slashes"])
def test_trailing_slash_on_a_root_is_not_doubled(cli, tree, suffix):
    typed = f"{tree.root}{suffix}"
    proc = run(cli, "--skipped", typed)
    assert proc.returncode == 0 and proc.stderr == ""
    assert "//" not in proc.stdout
    assert sorted(listed_paths(proc.stdout)) == sorted(str(p) for p in [*tree.reports, *tree.photos])
    assert f"  symlink: {tree.link}\n" in proc.stdout

    proc = run(cli, "--delete", "--keep", "first", typed)
    assert proc.returncode == 0, proc.stderr
    removed = re.findall(r"^  removed:      (.*)$", proc.stdout, re.M)
    assert len(removed) == 3 and all(not Path(p).exists() and "//" not in p for p in removed)
    assert [p.read_bytes() for p in [*tree.reports, *tree.photos] if p.exists()] == [REPORT, PHOTO]


@pytest.mark.parametrize("order", [["R/sub", "R"], ["R", "R/sub"]], ids=["inner-first", "outer-first"])
def test_nested_roots_are_scanned_without_a_warning(cli, tmp_path, order):
    (tmp_path / "R" / "sub").mkdir(parents=True)
    (tmp_path / "R" / "a.txt").write_bytes(REPORT)
    (tmp_path / "R" / "sub" / "b.txt").write_bytes(REPORT)
    proc = run(cli, *order, cwd=tmp_path)
    assert proc.returncode == 0
    assert proc.stderr == ""  # every file below both was scanned
    assert listed_paths(proc.stdout) == ["R/a.txt", "R/sub/b.txt"]


@pytest.mark.parametrize("action, done", [("--link", "linked"), ("--delete", "removed")])
@pytest.mark.parametrize("spelling, shown", [
    ("root//ref", "root/ref"), ("root/./ref", "root/ref"), ("root/ref/.", "root/ref"),
    ("./root//ref/./", "./root/ref"),
])
def test_reference_inside_a_root_spelled_with_redundant_separators(cli, tmp_path, action, done, spelling, shown):
    (tmp_path / "root" / "ref").mkdir(parents=True)
    (tmp_path / "other").mkdir()
    kept = tmp_path / "root" / "ref" / "a"
    copies = [tmp_path / "other" / "c", tmp_path / "root" / "b"]
    for p in [kept, *copies]:
        p.write_bytes(REPORT)
    proc = run(cli, action, "--reference", spelling, "root", "other", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert f"  kept:         {shown}/a (reference)\n" in proc.stdout
    assert re.findall(rf"^  {done}: +(.*)$", proc.stdout, re.M) == ["other/c", "root/b"]
    assert kept.read_bytes() == REPORT
    if action == "--link":
        assert all(p.stat().st_ino == kept.stat().st_ino for p in copies)
    else:
        assert not any(p.exists() for p in copies)


def test_link_root_that_leads_nowhere_is_still_reported(cli, tmp_path):
    os.symlink("nowhere", tmp_path / "L")
    proc = run(cli, "--summary", "L", cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr == "dupfind: warning: L could not be scanned: symlink\n"


@pytest.mark.parametrize(
    "name",
    ["new\nline", "tab\there", "esc\x1b[31m", "next\u0085line", "it's\n", "\rstart", "del\x7f", "\n"],
    ids=["newline", "tab", "escape", "c1-control", "quote-and-newline", "leading-cr", "delete", "newline-alone"],
)
def test_path_with_a_control_character_is_shown_quoted_for_the_shell(cli, tmp_path, name):
    root = tmp_path / "R"
    root.mkdir()
    (root / name).write_bytes(REPORT)
    (root / "plain.txt").write_bytes(REPORT)
    os.symlink("plain.txt", root / f"link{name}")
    missing = tmp_path / f"gone{name}"

    proc = run(cli, "--skipped", root, missing)
    assert proc.returncode == 1
    paths = listed_paths(proc.stdout)
    assert len(paths) == 2 and str(root / "plain.txt") in paths  # one line each, plain names as they are
    shown = next(p for p in paths if p != str(root / "plain.txt"))
    assert shown.startswith(("'", "$'")) and not re.search(r"[\x00-\x1f\x7f\x80-\x9f]", shown)
    assert shell_word(shown) == os.fsencode(root / name)
    link = re.fullmatch(r"  symlink: (.*)", proc.stdout.split("Skipped entries:\n")[1].split("\n")[0])[1]
    assert shell_word(link) == os.fsencode(root / f"link{name}")
    warning = re.fullmatch(r"dupfind: warning: (.*) could not be scanned: root_missing\n", proc.stderr)
    assert warning and shell_word(warning[1]) == os.fsencode(missing)

    # The library's text is not touched.
    assert str(root / name) in scan_json(cli, root)["groups"][0]["files"]

    proc = run(cli, "--delete", "--keep", "first", root)
    assert proc.returncode == 0, proc.stderr
    assert re.search(rf"^  (kept|removed): +{re.escape(shown)}( \(first in path order\))?$", proc.stdout, re.M)
    assert [p.read_bytes() for p in (root / name, root / "plain.txt") if p.exists()] == [REPORT]


def test_hard_links_option_lists_every_name_and_marks_names_of_one_file(cli, tmp_path):
    root, out, data = _linked_names(tmp_path)
    assert len(scan_json(cli, "--hard-links", root)["groups"][0]["files"]) == 6
    proc = run(cli, "--hard-links", root)
    assert proc.returncode == 0, proc.stderr
    block, summary = proc.stdout.split("\n\n")
    header, *lines = block.split("\n")
    assert re.fullmatch(r"300 B each, 4 files, 3 duplicates, 6 names, hash [0-9a-f]{16}", header)
    r = lambda name: root / f"{name}.bin"  # noqa: E731
    assert lines == [str(r("a")), f"{r('a2')}  (same file as {r('a')})", str(r("b1")),
                     f"{r('b2')}  (same file as {r('b1')})", str(r("c")), str(r("d"))]
    # Three files beyond the kept one; only b's and d's space comes back.
    assert summary.startswith("3 duplicate files in 1 group, 600 B reclaimable, 6 files scanned")

    proc = run(cli, "--hard-links", "--delete", "--keep", "first", root)
    assert proc.returncode == 0, proc.stderr
    assert f"  kept:         {r('a2')} (same file as kept {r('a')})\n" in proc.stdout
    assert sorted(p.name for p in root.iterdir()) == ["a.bin", "a2.bin"]
    assert r("a").read_bytes() == data and r("a2").read_bytes() == data and (out / "c.bin").read_bytes() == data
    assert os.stat(r("a")).st_ino == os.stat(r("a2")).st_ino


def test_names_of_one_file_are_listed_once_by_default(cli, tmp_path):
    root, _, _ = _linked_names(tmp_path)
    (root / "solo").mkdir()  # one file under two names, with no copy: no group
    (root / "solo" / "x.txt").write_bytes(UNIQUE)
    os.link(root / "solo" / "x.txt", root / "solo" / "y.txt")

    files = scan_json(cli, root)["groups"]
    assert len(files) == 1 and len({os.stat(p).st_ino for p in files[0]["files"]}) == len(files[0]["files"]) == 4
    proc = run(cli, root)
    assert re.match(r"300 B each, 4 files, 3 duplicates, hash [0-9a-f]{16}\n", proc.stdout)
    assert "same file as" not in proc.stdout and "solo" not in proc.stdout


@pytest.mark.parametrize("action", ["--delete", "--link"])
@pytest.mark.parametrize("args", [[], ["--hard-links"]], ids=["default", "hard-links"])
def test_reclaimable_equals_would_be_freed_equals_freed(cli, tmp_path, args, action):
    root, out, data = _linked_names(tmp_path)
    inodes = {}
    for p in [*root.iterdir(), *out.iterdir()]:
        inodes.setdefault(p.stat().st_ino, []).append(p)
    assert all(p.stat().st_nlink == len(names) for names in inodes.values() for p in names)  # every name known

    summary = run(cli, *args, "--summary", root).stdout
    reclaimable = re.search(r", (.+) reclaimable,", summary)[1]
    would = re.search(r", (.+) would be freed;", run(cli, *args, action, "--keep", "first", "--dry-run", root).stdout)[1]
    proc = run(cli, *args, action, "--keep", "first", root)
    assert proc.returncode == 0, proc.stderr
    freed = re.search(r"^\d+ files? (?:removed|replaced by hard links), (.+) freed$", proc.stdout, re.M)[1]

    # The space that came back: files that none of their names leads to
    # any more.
    lost = sum(len(data) for ino, names in inodes.items()
               if not any(p.exists() and p.stat().st_ino == ino for p in names))
    assert lost > 0
    assert reclaimable == would == freed == f"{lost} B"
    assert (root / "a.bin").read_bytes() == data and (out / "c.bin").read_bytes() == data
