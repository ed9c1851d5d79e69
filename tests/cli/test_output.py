# SPDX-License-Identifier: MIT
"""The tool's output: the groups and the summary for people, --json, and the
listings for scripts (--format fdupes and csv, --null, --omit-first)."""

from __future__ import annotations

import csv
import io
import json
import os
import re
import shlex
import subprocess
from pathlib import Path

import pytest

from cli_helpers import HEADER, SUMMARY, _linked_root, group_of_links_only, run, scan_json, shell_word
from fixture_tree import PHOTO, REPORT, UNIQUE


def test_default_output_lists_groups_then_summary(cli, tree):
    proc = run(cli, tree.root)
    assert proc.returncode == 0
    assert proc.stderr == ""  # no progress bar without a terminal
    *blocks, summary = proc.stdout.split("\n\n")
    assert summary == SUMMARY + "\n"

    listed = []
    for block in blocks:
        header, *paths = block.split("\n")
        m = HEADER.fullmatch(header)
        assert m, header
        assert int(m[2]) == len(paths)
        assert m[3] is None  # no hard links in the tree
        listed.append((m[1], m[4], paths))
    assert {size: set(paths) for size, _, paths in listed} == {
        "2.9 KiB": {str(p) for p in tree.reports},
        "68.4 KiB": {str(p) for p in tree.photos},
    }

    # Groups and paths come in the library's order, printed exactly.
    doc = scan_json(cli, tree.root)
    assert [(h, paths) for _, h, paths in listed] == [(g["hash"], g["files"]) for g in doc["groups"]]


def test_json_is_the_library_text_unchanged(cli, tree):
    proc = run(cli, "--json", tree.root)
    assert proc.returncode == 0 and proc.stdout.endswith("}\n") and proc.stdout.count("\n") == 1
    text = proc.stdout[:-1]
    doc = json.loads(text)
    assert list(doc) == ["groups", "wasted_bytes", "scanned_files", "skipped"]
    assert json.dumps(doc, separators=(",", ":")) == text  # compact, nothing added
    assert (doc["wasted_bytes"], doc["scanned_files"], len(doc["skipped"])) == (76000, 7, 3)

    # Where this interpreter can load the library, the same scan through the
    # binding gives the same bytes.
    if os.environ.get("DUPFIND_LIBRARY"):
        import dupfind

        assert dupfind.scan([str(tree.root)]).text == text


def test_skipped_lists_entries_in_byte_order_of_their_paths(cli, tmp_path):
    # Made in a scrambled order, with names that sort apart by bytes
    # ("a.txt" before "a/", upper case before lower case), so that no walk
    # order is this one by chance.
    names = ["b", "a.txt", "a/z", "a/B", "A", "c/d/e", "a-", "Z", "a/a", "c/a", "é", "_"]
    for name in names:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    proc = run(cli, "--summary", "--skipped", tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.split("Skipped entries:\n", 1)[1].split("\n\n", 1)[0].splitlines()
    expected = sorted((str(tmp_path / n) for n in names), key=os.fsencode)
    assert lines == [f"  below_min_size: {p}" for p in expected]


def test_summary_and_skipped(cli, tree):
    assert run(cli, "--summary", tree.root).stdout == SUMMARY + "\n"

    head, tail = run(cli, "--summary", "--skipped", tree.root).stdout.split("\n\n")
    title, *lines = head.split("\n")
    assert title == "Skipped entries:"
    # In byte order of the paths, whatever order the walk met them in.
    expected = sorted([(tree.link, "symlink"), *((e, "below_min_size") for e in tree.empties)],
                      key=lambda entry: os.fsencode(entry[0]))
    assert lines == [f"  {reason}: {path}" for path, reason in expected]
    assert tail == SUMMARY + "\n"

    full = run(cli, "--skipped", tree.root).stdout
    assert len(re.findall(r" each, \d+ files, \d+ duplicates?, hash ", full)) == 2 and "Skipped entries:\n" in full and full.endswith(SUMMARY + "\n")


@pytest.mark.parametrize(
    "args, groups, scanned",
    [
        (["--min-size", "0"], {"0": 2, "3000": 3, "70000": 2}, 9),
        (["--min-size", "3000"], {"3000": 3, "70000": 2}, 6),
        (["--min-size", "3001"], {"70000": 2}, 3),
        (["--min-size=3k"], {"70000": 2}, 3),  # binary: 3072, above 3000
        (["--min-size", "1M"], {}, 0),
        (["--exclude", "backup"], {"3000": 2}, 5),
        (["--exclude", "backup", "--exclude=old"], {}, 4),
        # The link names a file already in the group: one entry, counted once.
        (["--follow-symlinks"], {"3000": 3, "70000": 2}, 7),
        (["--max-files", "2"], None, 2),
    ],
)
def test_scan_options(cli, tree, args, groups, scanned):
    doc = scan_json(cli, *args, tree.root)
    assert doc["scanned_files"] == scanned
    if groups is not None:
        assert {str(g["size"]): len(g["files"]) for g in doc["groups"]} == groups


def test_empty_files_group_shows_zero_size(cli, tree):
    out = run(cli, "--min-size", "0", tree.root).stdout
    assert re.search(r"^0 B each, 2 files, 1 duplicate, hash [0-9a-f]{16}$", out, re.M)


ODD_NAMES = ["new\nline", "comma,name", 'say "hi"', " lead space", "tab\there", "semi;colon"]


def _odd_tree(tmp_path) -> Path:
    """R holds REPORT under plain names and names that break naive readers
    (ODD_NAMES), and PHOTO twice."""
    root = tmp_path / "R"
    root.mkdir()
    for name in ["plain.txt", *ODD_NAMES]:
        (root / name).write_bytes(REPORT)
    (root / "sub").mkdir()
    for name in ("p.bin", "sub/p.bin"):
        (root / name).write_bytes(PHOTO)
    return root


def run_bytes(cli, *args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([cli, *[str(a) for a in args]], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=300, **kwargs)


def library_groups(cli, *args) -> list:
    return [(g["size"], g["hash"], g["files"]) for g in scan_json(cli, *args)["groups"]]


def test_fdupes_format_is_one_path_a_line_and_a_blank_line_after_each_group(cli, tree):
    proc = run(cli, "--format", "fdupes", tree.root)
    assert proc.returncode == 0 and proc.stderr == ""
    assert proc.stdout.endswith("\n\n")
    groups = [block.split("\n") for block in proc.stdout[:-2].split("\n\n")]
    assert groups == [files for _, _, files in library_groups(cli, tree.root)]


def test_fdupes_format_shows_a_linked_root_as_typed(cli, tmp_path):
    _linked_root(tmp_path)
    proc = run(cli, "--format", "fdupes", "L", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stdout == "L/a.txt\nL/b.txt\n\n"


@pytest.mark.parametrize("option", [["-0"], ["--null"], ["--null", "--format", "fdupes"]], ids=" ".join)
def test_null_ends_each_path_and_each_group(cli, tmp_path, option):
    root = _odd_tree(tmp_path)
    proc = run_bytes(cli, *option, root)
    assert proc.returncode == 0 and proc.stderr == b""
    assert proc.stdout.endswith(b"\0\0") and b"\n\n" not in proc.stdout
    groups = [block.split(b"\0") for block in proc.stdout[:-2].split(b"\0\0")]
    assert groups == [[os.fsencode(f) for f in files] for _, _, files in library_groups(cli, root)]
    assert os.fsencode(root / "new\nline") in groups[0]


def test_csv_format_is_one_row_per_file_read_back_by_a_csv_reader(cli, tmp_path):
    root = _odd_tree(tmp_path)
    proc = run(cli, "--format", "csv", root)
    assert proc.returncode == 0 and proc.stderr == ""
    header, *rows = list(csv.reader(io.StringIO(proc.stdout, newline="")))
    assert header == ["group", "size", "hash", "path"]
    expected = [[str(n), str(size), h, f] for n, (size, h, files) in enumerate(library_groups(cli, root), 1)
                for f in files]
    assert rows == expected
    assert len(rows) == len(ODD_NAMES) + 3


def _kept_and_copies(cli, args) -> tuple:
    """What a dry run of --delete keeps and would remove."""
    proc = run(cli, "--delete", "--dry-run", *args)
    assert proc.returncode == 0, proc.stderr
    return (re.findall(r"^  kept: +(.*?)(?: \(.*\))?$", proc.stdout, re.M),
            re.findall(r"^  would remove: (.*)$", proc.stdout, re.M))


@pytest.mark.parametrize("fmt", ["fdupes", "csv"])
@pytest.mark.parametrize("keep", [["--keep", "first"], ["--keep", "newest"], ["--keep", "shortest-path"]],
                         ids=" ".join)
def test_omit_first_lists_exactly_the_copies_that_delete_would_remove(cli, tree, fmt, keep):
    for i, p in enumerate([*tree.reports, *tree.photos]):
        os.utime(p, (1_600_000_000 + i, 1_600_000_000 + i))
    kept, copies = _kept_and_copies(cli, [*keep, tree.root])
    proc = run(cli, "--format", fmt, "--omit-first", *keep, tree.root)
    assert proc.returncode == 0, proc.stderr
    listed = listed_fdupes(proc.stdout) if fmt == "fdupes" else [line.split(",", 3)[3]
                                                                   for line in proc.stdout.splitlines()[1:]]
    assert sorted(listed) == sorted(copies) and len(copies) == 3
    assert not set(listed) & set(kept)


def listed_fdupes(stdout: str) -> list:
    return [p for block in stdout.split("\n\n") for p in block.split("\n") if p]


def test_omit_first_null_output_feeds_xargs_to_remove_the_copies_only(cli, tmp_path):
    root = _odd_tree(tmp_path)
    (root / "unique.txt").write_bytes(UNIQUE)
    # What is to stay is the first file of each group, which --keep first
    # keeps.
    firsts = [Path(files[0]) for _, _, files in library_groups(cli, root)]
    # The empty name that ends each group is none that rm -f acts on.
    cmd = f"{shlex.quote(cli)} --omit-first --keep first -0 {shlex.quote(str(root))} | xargs -0 rm -f --"
    subprocess.run(["sh", "-c", cmd], check=True, timeout=300)
    assert sorted(p for p in root.rglob("*") if p.is_file()) == sorted([*firsts, root / "unique.txt"])
    assert {p.read_bytes() for p in firsts} == {REPORT, PHOTO} and (root / "unique.txt").read_bytes() == UNIQUE


@pytest.mark.parametrize("fmt", ["fdupes", "csv"])
def test_omit_first_leaves_out_reference_files_and_names_of_the_kept_file(cli, tmp_path, fmt):
    for d in ("master", "backup"):
        (tmp_path / d).mkdir()
    (tmp_path / "master" / "p.jpg").write_bytes(PHOTO)
    (tmp_path / "master" / "p2.jpg").write_bytes(PHOTO)
    (tmp_path / "backup" / "p.jpg").write_bytes(PHOTO)
    os.link(tmp_path / "backup" / "p.jpg", tmp_path / "backup" / "same.jpg")
    proc = run(cli, "--format", fmt, "--omit-first", "-H", "--reference", "master", "backup", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.count("backup/p.jpg") == 1 and proc.stdout.count("backup/same.jpg") == 1
    assert "master/" not in proc.stdout

    # Without a reference directory the kept file's other name is left out
    # too: a script that removes it would free nothing.
    proc = run(cli, "--format", fmt, "--omit-first", "-H", "backup", "master", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "backup/" not in proc.stdout and proc.stdout.count("master/") == 2


def test_omit_first_leaves_out_a_group_of_one_file_under_two_names(cli, tmp_path):
    (tmp_path / "x").write_bytes(REPORT)
    os.link(tmp_path / "x", tmp_path / "y")
    assert len(listed_fdupes(run(cli, "-H", "--format", "fdupes", tmp_path).stdout)) == 2
    for fmt in (["-0"], ["--format", "csv"]):
        proc = run(cli, "-H", "--omit-first", "--keep", "first", *fmt, tmp_path)
        assert proc.returncode == 0 and proc.stdout == ("" if fmt == ["-0"] else "group,size,hash,path\n")


def test_omit_first_leaves_out_a_group_with_no_file_to_keep(cli, tmp_path):
    root = group_of_links_only(tmp_path)
    assert len(listed_fdupes(run(cli, "--follow-symlinks", "--format", "fdupes", root).stdout)) == 2
    proc = run(cli, "--follow-symlinks", "--format", "fdupes", "--omit-first", "--keep", "first", root)
    assert proc.returncode == 0 and proc.stdout == ""


LINE_BREAK = re.compile(r"dupfind: (.*) holds a line break, which a listing of one path a line cannot show: "
                        r"use -0, --format csv or --format json\n")


@pytest.mark.parametrize("name", ["new\nline", "carriage\rreturn", "\n", "end\r\n"],
                         ids=["newline", "carriage-return", "newline-alone", "crlf"])
@pytest.mark.parametrize(
    "args",
    # With --keep newest the name is the kept one, which --omit-first would
    # leave out: refused all the same.
    [["--format", "fdupes"], ["--format", "fdupes", "--omit-first"],
     ["--format", "fdupes", "--omit-first", "--keep", "newest"]],
    ids=" ".join,
)
def test_fdupes_format_refuses_a_path_holding_a_line_break(cli, tmp_path, name, args):
    root = _odd_tree(tmp_path)  # "new\nline" among the names
    (root / "new\nline").unlink()
    (root / "dir").mkdir()
    odd = root / "dir" / name
    odd.write_bytes(REPORT)
    os.utime(odd, (2_000_000_000, 2_000_000_000))
    proc = run(cli, *args, root)
    assert (proc.returncode, proc.stdout) == (1, "")
    shown = LINE_BREAK.fullmatch(proc.stderr)
    assert shown and shell_word(shown[1]) == os.fsencode(odd)
    # The formats that the message names keep such a name apart.
    assert os.fsencode(odd) in run_bytes(cli, "-0", root).stdout.split(b"\0")
    # (read as bytes: text mode would turn a carriage return into a newline)
    rows = csv.reader(io.StringIO(run_bytes(cli, "--format", "csv", root).stdout.decode(), newline=""))
    assert str(odd) in [row[3] for row in rows]
    assert any(str(odd) in files for _, _, files in library_groups(cli, root))


def test_fdupes_listing_read_line_by_line_cannot_be_led_to_another_file(cli, tmp_path):
    # A name that holds a newline and then the path of a file outside the
    # tree: a script that removes every line of the listing would remove it.
    precious = tmp_path / "precious"
    precious.write_bytes(REPORT)
    root = tmp_path / "R"
    root.mkdir()
    (root / "copy").write_bytes(REPORT)
    trap = root / f"x\n{precious}"
    trap.parent.mkdir(parents=True)
    trap.write_bytes(REPORT)
    os.utime(root / "copy", (2_000_000_000, 2_000_000_000))  # kept by --keep newest: the trap is listed
    cmd = (f"set -o pipefail; {shlex.quote(cli)} --omit-first --keep newest --format fdupes {shlex.quote(str(root))}"
           " | while IFS= read -r f; do [ -n \"$f\" ] && rm -f -- \"$f\"; done")
    proc = subprocess.run(["bash", "-c", cmd], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 1 and LINE_BREAK.fullmatch(proc.stderr)
    assert precious.read_bytes() == REPORT and (root / "copy").exists() and trap.exists()


def test_format_json_is_json(cli, tree):
    assert run(cli, "--format", "json", tree.root).stdout == run(cli, "--json", tree.root).stdout
    human = run(cli, "--format", "human", tree.root)
    assert human.stdout == run(cli, tree.root).stdout
