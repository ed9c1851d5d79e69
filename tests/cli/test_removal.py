# SPDX-License-Identifier: MIT
"""Which copy is kept (--keep, reference directories, --isolate) and the
removal of the others (--delete and its guards)."""

from __future__ import annotations

import os
import re
from pathlib import Path

import pytest

from cli_helpers import SUMMARY, _linked_pair, assert_untouched, group_of_links_only, listed_paths, overlay_mounted, run, scan_json, snapshot
from fixture_tree import PHOTO, REPORT


def _three_roots(tmp_path) -> dict:
    """master, zbackup and abackup each hold p.jpg; master also old/p.jpg."""
    files = {}
    for d in ("master", "zbackup", "abackup"):
        files[d] = tmp_path / d / "p.jpg"
        files[d].parent.mkdir()
        files[d].write_bytes(PHOTO)
    files["master/old"] = tmp_path / "master" / "old" / "p.jpg"
    files["master/old"].parent.mkdir()
    files["master/old"].write_bytes(PHOTO)
    return files


@pytest.mark.parametrize(
    "order, kept",
    [
        (["master", "zbackup", "abackup"], "master/old"),  # within a root, the group's order
        (["zbackup", "abackup", "master"], "zbackup"),
        (["abackup", "master", "zbackup"], "abackup"),
        (["zbackup", "--keep", "first", "master", "abackup"], "zbackup"),
    ],
)
def test_keep_first_keeps_the_copy_under_the_earliest_root_given(cli, tmp_path, order, kept):
    files = _three_roots(tmp_path)
    proc = run(cli, "--delete", *order, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert [name for name, p in files.items() if p.exists()] == [kept]
    assert files[kept].read_bytes() == PHOTO
    reclaimable = re.search(r", (.+) reclaimable,", proc.stdout)[1]
    assert f"3 files removed, {reclaimable} freed\n" in proc.stdout


def _master_inside(tmp_path):
    """photos/a.jpg (first in the group's order, and the newest) and
    photos/master/p.jpg; photos/master/q.txt and q2.txt are a group of
    their own."""
    photos, master = tmp_path / "photos", tmp_path / "photos" / "master"
    master.mkdir(parents=True)
    (photos / "a.jpg").write_bytes(PHOTO)
    (master / "p.jpg").write_bytes(PHOTO)
    os.utime(master / "p.jpg", (1_600_000_000, 1_600_000_000))
    (master / "q.txt").write_bytes(REPORT)
    (master / "q2.txt").write_bytes(REPORT)
    os.symlink("photos/master", tmp_path / "M")
    return photos, master


@pytest.mark.parametrize("policy", ["first", "newest", "shortest-path"])
@pytest.mark.parametrize(
    "args",
    [
        ["photos", "--reference", "photos/master"],
        ["--reference", "photos/master/", "photos"],
        ["photos", "--reference", "{abs}/photos/master"],  # another spelling than the root's
        ["photos", "--reference", "M"],  # a link to it
        ["photos", "--reference", "photos/master", "--reference", "photos/master"],
        ["--reference", "photos/master", "photos/master", "photos"],  # also given as a root
    ],
)
def test_reference_files_are_never_removed_and_groups_inside_them_left_alone(cli, tmp_path, args, policy):
    photos, master = _master_inside(tmp_path)
    args = [a.replace("{abs}", str(tmp_path)) for a in args]
    listing = run(cli, *args, cwd=tmp_path)
    assert listing.returncode == 0 and listing.stderr == ""
    assert "q.txt" not in listing.stdout
    assert re.search(r"p\.jpg  \(reference\)$", listing.stdout, re.M)
    assert "\n1 duplicate file in 1 group, 68.4 KiB reclaimable," in listing.stdout

    proc = run(cli, "--delete", "--keep", policy, *args, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert not (photos / "a.jpg").exists()
    assert [(master / n).read_bytes() for n in ("p.jpg", "q.txt", "q2.txt")] == [PHOTO, REPORT, REPORT]
    assert "1 file removed, 68.4 KiB freed\n" in proc.stdout


def test_reference_copies_stay_when_every_copy_outside_goes(cli, tmp_path):
    for d in ("master", "backup", "backup/old"):
        (tmp_path / d).mkdir()
    for p in ("master/p.jpg", "master/p-also.jpg", "backup/p.jpg", "backup/old/p.jpg"):
        (tmp_path / p).write_bytes(PHOTO)
    proc = run(cli, "--delete", "--reference", "master", "backup", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*.jpg")) == ["master/p-also.jpg",
                                                                                    "master/p.jpg"]
    assert all(p.read_bytes() == PHOTO for p in tmp_path.rglob("*.jpg"))
    assert "  kept:         master/p.jpg (reference)\n" in proc.stdout
    assert "2 files removed, 136.7 KiB freed\n" in proc.stdout


def test_isolate_reports_and_acts_only_on_groups_that_span_roots(cli, tmp_path):
    for d in ("A", "B"):
        (tmp_path / d).mkdir()
    for p, data in (("A/x.txt", REPORT), ("A/y.txt", REPORT), ("A/p.jpg", PHOTO), ("B/p.jpg", PHOTO),
                    ("B/p2.jpg", PHOTO)):
        (tmp_path / p).write_bytes(data)
    assert len(listed_paths(run(cli, "A", "B", cwd=tmp_path).stdout)) == 5

    proc = run(cli, "--isolate", "A", "B", cwd=tmp_path)
    assert proc.returncode == 0
    assert listed_paths(proc.stdout) == ["A/p.jpg", "B/p.jpg", "B/p2.jpg"]
    assert proc.stdout.endswith("2 duplicate files in 1 group, 136.7 KiB reclaimable, 5 files scanned, "
                                "0 entries skipped\n")

    proc = run(cli, "--isolate", "--delete", "B", "A", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*.*")) == ["A/x.txt", "A/y.txt", "B/p.jpg"]
    assert (tmp_path / "B/p.jpg").read_bytes() == PHOTO and (tmp_path / "A/x.txt").read_bytes() == REPORT


@pytest.mark.parametrize("policy", ["first", "newest", "oldest", "shortest-path"])
def test_delete_keeps_one_file_per_group(cli, tree, policy):
    base = 1_600_000_000
    mtimes = {tree.reports[0]: base + 20, tree.reports[1]: base + 30, tree.reports[2]: base + 10,
              tree.photos[0]: base + 50, tree.photos[1]: base + 5}
    for path, t in mtimes.items():
        os.utime(path, (t, t))
    listed = {g["size"]: Path(g["files"][0]) for g in scan_json(cli, tree.root)["groups"]}

    expected = {}
    for content, paths in ((REPORT, tree.reports), (PHOTO, tree.photos)):
        expected[content] = {
            "first": listed[len(content)],
            "newest": max(paths, key=mtimes.get),
            "oldest": min(paths, key=mtimes.get),
            "shortest-path": paths[0],
        }[policy]

    args = ["--delete", "--keep", policy]
    proc = run(cli, *args, tree.root)
    assert proc.returncode == 0, proc.stderr

    for content, paths in ((REPORT, tree.reports), (PHOTO, tree.photos)):
        assert [p for p in paths if p.exists()] == [expected[content]]
        assert expected[content].read_bytes() == content
    assert_untouched(tree)
    assert proc.stdout.endswith(SUMMARY + "\n3 files removed, 74.2 KiB freed\n")
    assert proc.stdout.count("  removed:      ") == 3 and proc.stdout.count("  kept:         ") == 2


def test_dry_run_removes_nothing(cli, tree):
    before = snapshot(tree.root)
    proc = run(cli, "--delete", "--dry-run", "--keep", "oldest", tree.root)
    assert proc.returncode == 0
    assert snapshot(tree.root) == before
    assert proc.stdout.count("  would remove: ") == 3
    assert proc.stdout.endswith("Dry run: 3 files would be removed, 74.2 KiB would be freed; nothing was removed\n")


def test_library_refusals_are_reported_and_the_run_goes_on(cli, tree):
    # Every path under this root contains "..", which the library refuses.
    before = snapshot(tree.root)
    proc = run(cli, "--delete", "--keep", "first", f"{tree.root}/docs/..")
    assert proc.returncode == 1
    refusals = proc.stderr.splitlines()
    assert len(refusals) == 3
    assert all(re.fullmatch(r"dupfind: cannot remove \S+/docs/\.\./\S+: refused: path contains \.\.", line)
               for line in refusals)
    assert snapshot(tree.root) == before
    assert "0 files removed, 0 B freed\n3 files kept because of a problem:\n" in proc.stdout
    assert proc.stdout.count(": refused: path contains ..\n") == 3


def _same_file_twice(tmp_path):
    d = tmp_path / "d"
    d.mkdir()
    (d / "a.txt").write_bytes(REPORT)
    return [d, d], [d / "a.txt"]


def _hard_link(tmp_path):
    d = tmp_path / "d"
    d.mkdir()
    (d / "a.txt").write_bytes(REPORT)
    os.link(d / "a.txt", d / "b.txt")
    return ["--hard-links", d], [d / "a.txt", d / "b.txt"]


def _linked_directory(tmp_path):
    d = tmp_path / "d"
    (d / "sub").mkdir(parents=True)
    (d / "sub" / "a.txt").write_bytes(REPORT)
    os.symlink("sub", d / "alias")
    return ["--follow-symlinks", d], [d / "sub" / "a.txt"]


@pytest.mark.parametrize("setup", [_same_file_twice, _hard_link, _linked_directory])
def test_delete_never_removes_a_file_through_another_name(cli, tmp_path, setup):
    # Two paths can name one physical file; removing "the copy" would then
    # remove the only one.
    args, files = setup(tmp_path)
    proc = run(cli, "--delete", "--keep", "first", *args)
    assert proc.returncode == 0, proc.stderr
    for f in files:
        assert f.read_bytes() == REPORT
    assert "0 files removed" in proc.stdout
    assert "because of a problem" not in proc.stdout  # another name of a kept file is no problem
    if setup is _hard_link:  # listed with --hard-links; the tool leaves them
        assert f"  kept:         {files[1]} (same file as kept {files[0]})\n" in proc.stdout


@pytest.mark.parametrize(
    "link_name, copy_name, linked_dir, policy, typed_root",
    [
        ("a-link", "z-copy", False, "first", "R"),
        ("z-link", "a-copy", False, "first", "R"),
        ("l", "z-copy", False, "shortest-path", "R"),
        ("z-link", "a-copy", False, "newest", "R"),  # the file behind the link is the newer
        ("z-link", "a-copy", False, "oldest", "R"),  # ... and here the older
        ("a-dir", "z-copy", True, "first", "R"),
        ("z-dir", "a-copy", True, "first", "R"),
        # A root typed with a trailing '/' is shown with one separator.
        ("a-link", "z-copy", False, "first", "R/"),
        ("a-dir", "z-copy", True, "first", "R/"),
    ],
)
def test_follow_symlinks_delete_keeps_the_file_reached_without_a_link(cli, tmp_path, link_name, copy_name,
                                                                      linked_dir, policy, typed_root):
    root, _, copy, outside = _linked_pair(tmp_path, link_name, copy_name, linked_dir)
    behind = 1_600_000_000 + (-100 if policy == "oldest" else 100)
    os.utime(outside, (behind, behind))
    os.utime(copy, (1_600_000_000, 1_600_000_000))

    typed = str(tmp_path / typed_root) + ("/" if typed_root.endswith("/") else "")
    proc = run(cli, "--follow-symlinks", "--delete", "--keep", policy, typed)
    assert proc.returncode == 1, proc.stderr  # a copy stays
    assert proc.stderr == ""  # nothing was offered to the library to refuse
    assert copy.read_bytes() == REPORT and outside.read_bytes() == REPORT
    assert os.path.islink(root / link_name)
    rule = {"first": "first in path order", "shortest-path": "shortest path"}.get(policy, policy)
    assert f"  kept:         {copy} ({rule})\n" in proc.stdout
    link = f"{root}/{link_name}"
    linked, why = (f"{link}/f", f"reached through the symbolic link {link}") if linked_dir else (link, "a symbolic link")
    assert (f"0 files removed, 0 B freed\n1 file kept because of a problem:\n  {linked}: {why}, never removed\n"
            in proc.stdout)


def test_follow_symlinks_delete_leaves_a_group_of_links_alone(cli, tmp_path):
    root = group_of_links_only(tmp_path)

    proc = run(cli, "--follow-symlinks", "--delete", "--keep", "first", root)
    assert proc.returncode == 1, proc.stderr
    assert proc.stderr == ""
    out = tmp_path / "OUT"  # the files the links lead to
    assert all((root / f"{n}-link").is_symlink() and (out / n).read_bytes() == REPORT for n in ("f", "g"))
    why = "no file of the group is reached without a symbolic link"
    # The group's files, then its reason, once.
    assert (f"  not removed:  {root / 'f-link'}\n  not removed:  {root / 'g-link'}\n"
            f"                {why}\n") in proc.stdout
    problems = f"2 files kept because of a problem:\n  {why}:\n    {root / 'f-link'}\n    {root / 'g-link'}\n"
    assert problems in proc.stdout


@pytest.mark.parametrize("dry_run", [False, True], ids=["delete", "dry-run"])
@pytest.mark.parametrize(
    "lower_name, merged_name, reason",
    [
        # The overlay's path comes first and is kept: the lower file is the
        # only physical copy of what it shows.
        ("zlower", "amerged", "kept file {merged} is on a stacked file system (overlayfs) and may be this copy"),
        # The other way round: the copy is the one on the stacked file system.
        ("alower", "zmerged", "on a stacked file system (overlayfs) and may be kept file {lower} seen"),
    ],
    ids=["kept-on-overlay", "copy-on-overlay"],
)
def test_delete_leaves_copies_a_stacked_file_system_may_show(cli, tmp_path, lower_name, merged_name, reason,
                                                             dry_run):
    root = tmp_path / "R"
    lower, merged = root / lower_name, root / merged_name
    lower.mkdir(parents=True)
    merged.mkdir()
    (lower / "data.txt").write_bytes(REPORT)
    # An ordinary pair next to the mount, which must still be deduplicated.
    (root / "plain").mkdir()
    for name in ("a.bin", "b.bin"):
        (root / "plain" / name).write_bytes(PHOTO)

    with overlay_mounted(lower, merged, tmp_path):
        proc = run(cli, "--delete", "--keep", "first", *(["--dry-run"] if dry_run else []), root)
        assert (merged / "data.txt").read_bytes() == REPORT
    assert proc.returncode == 1, proc.stderr
    assert (lower / "data.txt").read_bytes() == REPORT
    assert sorted(p.name for p in (root / "plain").iterdir()) == (["a.bin", "b.bin"] if dry_run else ["a.bin"])
    assert ("1 file would be removed" if dry_run else "1 file removed") in proc.stdout
    expected = reason.format(merged=merged / "data.txt", lower=lower / "data.txt")
    copy = merged / "data.txt" if lower_name == "alower" else lower / "data.txt"
    assert re.search(rf"^  {re.escape(str(copy))}: {re.escape(expected)}", proc.stdout, re.M), proc.stdout
