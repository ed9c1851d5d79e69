# SPDX-License-Identifier: MIT
"""The tool's options and their errors: scan filters, mounts, short forms,
usage errors, arguments that are not UTF-8, scans that fail or stop early."""

from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path

import pytest

from cli_helpers import REPO, SUMMARY, _linked_names, as_nobody, help_options, listed_paths, mounted, run, scan_json, snapshot
from fixture_tree import PHOTO, REPORT


FILTER_FILES = ("a.txt", "b.txt", "c.log", ".h.txt", ".hidden/d.txt", "docs/r.txt", "docs/old/r.txt",
                "src/build/r.txt", "node_modules/x.txt")


@pytest.fixture
def filter_tree(tmp_path) -> Path:
    """REPORT at every place a filter tells apart (FILTER_FILES), and PHOTO
    twice at the top, for the sizes: 11 files in all, every one a copy."""
    root = tmp_path / "R"
    for rel in FILTER_FILES:
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(REPORT)
    for name in ("p1.bin", "p2.bin"):
        (root / name).write_bytes(PHOTO)
    return root


def skipped_listing(stdout: str) -> dict:
    """The "Skipped entries:" block of a listing: path -> reason."""
    block = stdout.split("Skipped entries:\n", 1)[1].split("\n\n", 1)[0] if "Skipped entries:" in stdout else ""
    return {line.split(": ", 1)[1]: line.split(": ", 1)[0].strip() for line in block.splitlines()}


@pytest.mark.parametrize(
    "args, skipped, scanned",
    [
        (["--max-size", "3000"], {"p1.bin": "above_max_size", "p2.bin": "above_max_size"}, 9),  # 3000 stays
        (["--max-size=68K"], {"p1.bin": "above_max_size", "p2.bin": "above_max_size"}, 9),  # 69632 < 70000
        (["--max-size", "70000"], {}, 11),
        # Each kind of wildcard, and a pattern without one: a whole name.
        (["--exclude", "*.log"], {"c.log": "exclude_glob"}, 10),
        (["--exclude", "?.txt"], {n: "exclude_glob" for n in FILTER_FILES if n != ".h.txt" and n.endswith(".txt")},
         4),  # not .h.txt: one character exactly
        (["--exclude", "[ac].*"], {"a.txt": "exclude_glob", "c.log": "exclude_glob"}, 9),
        (["--exclude", "node_modules"], {"node_modules": "exclude_glob"}, 10),
        (["--exclude", "doc"], {}, 11),  # part of a name is no match
        # With a '/': the path below the root, and ** across directories.
        (["--exclude", "src/build"], {"src/build": "exclude_glob"}, 10),
        (["--exclude", "R/src/build"], {}, 11),  # the root's own name is not part of it
        (["--exclude", "docs/*"], {"docs/r.txt": "exclude_glob", "docs/old": "exclude_glob"}, 9),
        (["--exclude", "**/r.txt"], {n: "exclude_glob" for n in ("docs/r.txt", "docs/old/r.txt",
                                                                  "src/build/r.txt")}, 8),
        (["--exclude", "**/old", "--exclude=.hidden"], {"docs/old": "exclude_glob", ".hidden": "exclude_glob"}, 9),
        # A trailing '/' as in .gitignore: directories only; './' anchors at the DIR; POSIX classes.
        (["--exclude", "old/"], {"docs/old": "exclude_glob"}, 10),
        (["--exclude", "c.log/", "--exclude", "docs/r.txt/"], {}, 11),
        (["--exclude", "./docs"], {"docs": "exclude_glob"}, 9),
        (["--exclude", "./r.txt"], {}, 11),
        (["--exclude", "./[[:alpha:]].txt"], {"a.txt": "exclude_glob", "b.txt": "exclude_glob"}, 9),
        # The substring match of before.
        (["--exclude-text", "doc"], {"docs": "exclude"}, 9),
        (["--exclude-text", ".txt"], {n: "exclude" for n in FILTER_FILES if n.endswith(".txt")}, 3),
        (["--skip-hidden"], {".h.txt": "hidden", ".hidden": "hidden"}, 9),
        # Counted as find -maxdepth counts: 1 is the DIR's own entries.
        (["--max-depth", "1"], {d: "max_depth" for d in (".hidden", "docs", "src", "node_modules")}, 6),
        (["--max-depth", "2"], {"docs/old": "max_depth", "src/build": "max_depth"}, 9),
    ],
)
def test_filters_prune_the_walk_and_are_listed_as_skipped(cli, filter_tree, args, skipped, scanned):
    doc = scan_json(cli, *args, filter_tree)
    assert {os.path.relpath(s["path"], filter_tree): s["reason"] for s in doc["skipped"]} == skipped
    assert doc["scanned_files"] == scanned
    proc = run(cli, "--skipped", *args, filter_tree)
    assert proc.returncode == 0, proc.stderr
    assert skipped_listing(proc.stdout) == {str(filter_tree / p): r for p, r in skipped.items()}


@pytest.mark.parametrize("option", ["-x", "--one-file-system"])
def test_one_file_system_enters_no_mount(cli, tmp_path, option):
    root = tmp_path / "R"
    (root / "mnt").mkdir(parents=True)
    (root / "a.txt").write_bytes(REPORT)
    with mounted(root / "mnt", "tmpfs"):
        (root / "mnt" / "b.txt").write_bytes(REPORT)
        (root / "mnt" / "sub").mkdir()
        (root / "mnt" / "sub" / "c.txt").write_bytes(REPORT)
        assert scan_json(cli, root)["scanned_files"] == 3
        doc = scan_json(cli, option, root)
        # A root on its own file system is scanned whole.
        inner = scan_json(cli, option, root / "mnt")
    assert doc["skipped"] == [{"path": str(root / "mnt"), "reason": "other_file_system"}]
    assert doc["scanned_files"] == 1 and doc["groups"] == []
    assert inner["scanned_files"] == 2


@pytest.mark.parametrize(
    "short, long",
    [(["-V"], ["--version"]), (["-h"], ["--help"]), (["-m"], ["--summary"]), (["-H"], ["--hard-links"]),
     (["-mH"], ["--summary", "--hard-links"]), (["-r"], []), (["-A"], ["--skip-hidden"]),
     (["-f", "--format", "fdupes"], ["--omit-first", "--format", "fdupes"])],
    ids=lambda args: " ".join(args) or "none",
)
def test_short_forms_mean_their_long_options(cli, tmp_path, short, long):
    root, _, data = _linked_names(tmp_path)  # hard links, so that -H shows
    (root / ".h.bin").write_bytes(data)  # and a hidden copy, for -A
    a, b = run(cli, *short, root), run(cli, *long, root)
    assert a.returncode == b.returncode == 0
    assert a.stdout == b.stdout
    if long:
        assert a.stdout != run(cli, root).stdout


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["--bogus", "DIR"],
        ["--min-size", "abc", "DIR"],
        ["--min-size", "1.5M", "DIR"],
        ["--min-size", "-1", "DIR"],
        ["--min-size", "99999999999T", "DIR"],
        ["DIR", "--min-size"],
        ["--max-files", "-1", "DIR"],
        ["--keep", "newest", "DIR"],
        ["--delete", "--keep", "largest", "DIR"],
        ["--dry-run", "DIR"],
        ["--json", "--delete", "DIR"],
        ["--json", "--summary", "DIR"],
        ["--interactive", "--keep", "first", "DIR"],
        ["--interactive", "DIR"],  # standard input is no terminal here
        ["--quiet=yes", "DIR"],
        ["--json", "--reference", "DIR", "DIR"],
        ["--json", "--isolate", "DIR"],
        ["--reference", "DIR"],  # nothing to compare the reference with
        ["DIR", "--reference"],
        ["--isolate=1", "DIR"],
        ["--max-size", "x", "DIR"],
        ["--max-size", "1.5K", "DIR"],
        ["--max-depth", "-1", "DIR"],
        ["--max-depth", "one", "DIR"],
        ["--max-depth", "0", "DIR"],  # 1 is the DIR's own entries; 0 would collect nothing
        ["--skip-hidden=1", "DIR"],
        ["DIR", "--exclude"],
        ["DIR", "--exclude-text"],
        ["-z", "DIR"],
        ["-qz", "DIR"],
        ["-1", "DIR"],  # a number to the parser, and no directory meant
        ["--format=", "DIR"],
        ["--keep=", "--delete", "DIR"],
        ["--exclude=", "DIR"],
        ["DIR", "-5x"],
        ["-q5", "DIR"],
        ["--format", "xml", "DIR"],
        ["--format", "DIR"],
        ["--json", "--format", "csv", "DIR"],
        ["-0", "--format", "csv", "DIR"],
        ["--null", "--json", "DIR"],
        ["--omit-first", "DIR"],
        ["--omit-first", "--json", "DIR"],
        ["--format", "csv", "--delete", "DIR"],
        ["--format", "fdupes", "--skipped", "DIR"],
        ["-0", "--summary", "DIR"],
        ["-0", "--interactive", "DIR"],
        ["--format", "csv", "--keep", "newest", "DIR"],
        ["--format", "csv", "--reference", "DIR", "--omit-first"],
        ["--link", "--delete", "DIR"],
        ["--reflink", "--link", "DIR"],
        ["--interactive", "--reflink", "--delete", "DIR"],
        ["--format", "csv", "--link", "DIR"],
        ["--json", "--reflink", "DIR"],
        ["--link=1", "DIR"],
        ["--interactive", "--link", "--keep", "first", "DIR"],
    ],
)
def test_usage_errors_give_one_line_and_exit_2(cli, tree, args):
    proc = run(cli, *[tree.root if a == "DIR" else a for a in args])
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert proc.stderr.startswith("dupfind: ") and proc.stderr.count("\n") == 1
    assert tree.reports[1].exists()


@pytest.mark.parametrize(
    "pattern, why",
    [
        ("a**b", "'**' that is not a whole component"),
        ("[abc", "an unclosed '['"),
        ("[[:letter:]]", "names no character class"),
        ("docs/../src", "a '.' or '..' component"),
        ("docs//old", "an empty component"),
        ("./", "names nothing below the DIR"),
    ],
)
def test_a_pattern_the_matcher_cannot_mean_is_a_usage_error(cli, tree, pattern, why):
    proc = run(cli, "--exclude", "*.iso", "--exclude", pattern, tree.root)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr == f"dupfind: invalid pattern for --exclude: '{pattern}': " + proc.stderr.split("': ", 1)[1]
    assert why in proc.stderr and proc.stderr.count("\n") == 1


def test_a_pattern_that_starts_with_the_dirs_own_name_is_noted(cli, filter_tree):
    # Matched below the DIR, as .gitignore patterns are: "R/src/build" does
    # not reach R's own src/build, and the tool says so and how to write it.
    proc = run(cli, "--summary", "--exclude", "R/src/build/", filter_tree)
    assert proc.returncode == 0
    assert proc.stderr == (
        "dupfind: note: --exclude 'R/src/build/' is matched against the paths below each DIR, which do not begin "
        f"with the DIR's own name 'R'; for the entries of the DIR {filter_tree}, write '/src/build/'\n"
    )
    assert "11 files scanned" in proc.stdout
    proc = run(cli, "--summary", "--exclude", "/src/build/", filter_tree)
    assert proc.stderr == "" and "10 files scanned" in proc.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["--quiet=yes", "DIR"], "--quiet takes no value"),
        (["DIR", "--min-size"], "--min-size needs a value"),
        (["--keep=", "--delete", "DIR"], "--keep needs a value"),
        (["--bogus", "DIR"], "unknown option '--bogus' (see dupfind --help)"),
        (["-q5", "DIR"], "unknown option '-5' (see dupfind --help)"),
        (["--link", "--delete", "DIR"], "--delete and --link are different actions and cannot be combined"),
        (["--format", "xml", "DIR"], "invalid value for --format: 'xml' (human, json, fdupes or csv)"),
        (["-0", "--format", "csv", "DIR"],
         "--null ends the paths of --format fdupes and cannot be combined with --format csv"),
        (["-0", "--delete", "DIR"], "--null lists the groups alone and cannot be combined with --delete"),
        (["--json", "--isolate", "DIR"], "--json prints the results text alone and cannot be combined with --isolate"),
        (["--omit-first", "DIR"], "--omit-first needs --format fdupes or csv"),
        (["--dry-run", "DIR"], "--dry-run needs --delete, --link or --reflink"),
        # Bounds that no file meets would scan nothing and say nothing.
        (["--min-size", "5K", "--max-size", "1K", "DIR"],
         "--min-size 5K is larger than --max-size 1K: no file can be both"),
        (["--max-size=3000", "--min-size=3001", "DIR"],
         "--min-size 3001 is larger than --max-size 3000: no file can be both"),
        (["--max-size", "0", "DIR"], "the default --min-size 1 is larger than --max-size 0: no file can be both "
                                     "(--min-size 0 includes empty files)"),
        # A value is quoted with its control bytes escaped: the message stays one line.
        (["--min-size", "1\nK", "DIR"],
         "invalid size for --min-size: '1\\x0AK' (a number of bytes, optionally with K, M, G or T)"),
        (["--keep", "a\x1b[2Jb", "--delete", "DIR"],
         "invalid value for --keep: 'a\\x1B[2Jb' (first, newest, oldest or shortest-path)"),
        (["--bogus\r", "DIR"], "unknown option '--bogus\\x0D' (see dupfind --help)"),
    ],
)
def test_usage_error_messages_name_the_mistake(cli, tree, args, message):
    proc = run(cli, *[tree.root if a == "DIR" else a for a in args])
    assert (proc.returncode, proc.stderr) == (2, f"dupfind: {message}\n")


def test_double_dash_ends_the_options(cli, tmp_path):
    # Directories whose names look like options: a flag, a number, "--".
    for d in ("-q", "-1", "--"):
        (tmp_path / d).mkdir()
        (tmp_path / d / "r.txt").write_bytes(REPORT)
    proc = run(cli, "--summary", "--", "-q", "-1", "--", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == ""
    assert proc.stdout.startswith("2 duplicate files in 1 group, 5.9 KiB reclaimable, 3 files scanned, ")


def test_help_and_version(cli):
    help_ = run(cli, "--help")
    assert help_.returncode == 0 and help_.stdout.startswith("Usage: dupfind [OPTIONS] DIR...")
    assert all(len(line) <= 80 for line in help_.stdout.splitlines())
    # Every option the help lists is one the parser takes.
    for option in help_options(cli):
        assert "unknown option" not in run(cli, option).stderr, option
    version = run(cli, "--version")
    assert version.returncode == 0 and re.fullmatch(r"dupfind \d+\.\d+\.\d+\n", version.stdout)


@pytest.mark.parametrize(
    "args, argument, shown",
    [
        (["--summary", b"{base}/caf\xe9"], 2, "{base}/caf\\xE9"),
        (["--summary", "DIR", b"{base}/caf\xe9"], 3, "{base}/caf\\xE9"),
        (["--exclude", b"caf\xe9", "DIR"], 2, "caf\\xE9"),
        ([b"--exclude=caf\xe9", "DIR"], 1, "--exclude=caf\\xE9"),
        # Well-formed in shape, but a surrogate and an overlong '/': neither
        # is UTF-8, and the library would refuse the request for them.
        (["DIR", b"{base}/\xed\xa0\x80"], 2, "{base}/\\xED\\xA0\\x80"),
        (["--exclude", b"\xc0\xaf", "DIR"], 2, "\\xC0\\xAF"),
        # The message stays on one line and tells a backslash from an escape.
        (["--exclude", b"caf\xe9\\\n", "DIR"], 2, "caf\\xE9\\\\\\x0A"),
    ],
    ids=["root", "second-root", "exclude", "exclude=", "surrogate", "overlong", "escapes"],
)
def test_argument_that_is_not_utf8_is_a_usage_error(cli, tree, tmp_path, args, argument, shown):
    base = os.fsencode(tmp_path)
    os.mkdir(base + b"/caf\xe9")
    os.mkdir(base + b"/\xed\xa0\x80")
    args = [tree.root if a == "DIR" else a.replace(b"{base}", base) if isinstance(a, bytes) else a for a in args]
    proc = run(cli, *args)
    assert proc.returncode == 2
    assert proc.stdout == ""
    shown = shown.replace("{base}", str(tmp_path))
    assert proc.stderr == f"dupfind: argument {argument} is not valid UTF-8: '{shown}' (the library takes UTF-8 paths)\n"


def test_roots_in_utf8_beyond_ascii_are_scanned(cli, tmp_path):
    roots = [tmp_path / name for name in ("café", "日本", "\U0001d11e")]  # 2, 3 and 4 bytes a character
    for root in roots:
        root.mkdir()
        (root / "report.txt").write_bytes(REPORT)
    proc = run(cli, "--summary", "--exclude", "ü", *roots)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("2 duplicate files in 1 group, ")


def test_scan_errors_and_missing_roots(cli, tree, tmp_path):
    proc = run(cli, "")
    assert proc.returncode == 1
    assert proc.stderr == "dupfind: cannot start the scan: no valid directories\n"

    # Without an action the listing is still printed, and the run fails.
    missing = tmp_path / "nowhere"
    proc = run(cli, "--summary", tree.root, missing)
    assert proc.returncode == 1
    assert proc.stderr == f"dupfind: warning: {missing} could not be scanned: root_missing\n"
    assert proc.stdout == SUMMARY.replace("3 entries", "4 entries") + "\n"


@pytest.mark.parametrize("action", [["--delete"], ["--link"], ["--reflink"], ["--delete", "--dry-run"]],
                         ids=" ".join)
@pytest.mark.parametrize("typo", ["reference", "dir", "unreadable"])
def test_a_dir_that_cannot_be_scanned_stops_an_action_before_anything_changes(cli, shared_dir, action, typo):
    top = shared_dir
    for d in ("Photos", "R"):
        (top / d).mkdir(mode=0o777)
    for f in ("Photos/p.jpg", "R/p.jpg", "R/q.jpg"):
        (top / f).write_bytes(b"picture" * 100)
        (top / f).chmod(0o666)
    as_user = None
    if typo == "reference":  # meant to protect Photos
        args, named = ["--reference", top / "Photoz", top / "R"], f"reference directory {top / 'Photoz'}"
    elif typo == "dir":
        args, named = ["--keep", "first", top / "R", top / "Photoz"], str(top / "Photoz")
    else:
        (top / "locked").mkdir(mode=0)
        args, named, as_user = ["--keep", "first", top / "R", top / "locked"], str(top / "locked"), as_nobody
    before = snapshot(top)
    proc = run(cli, "-q", *action, *args, preexec_fn=as_user)
    assert proc.returncode == 1, proc.stdout
    assert f"dupfind: {named} could not be scanned: " in proc.stderr
    assert "nothing was changed" in proc.stderr and proc.stdout == ""
    assert snapshot(top) == before


@pytest.mark.parametrize("cap, reached", [(3, True), (7, False), (8, False), (0, False)])
def test_scan_that_reaches_max_files_says_the_results_are_partial(cli, tree, cap, reached):
    # The tree holds 7 files to collect: a cap of 7 takes them all.
    proc = run(cli, "--summary", "--max-files", cap, tree.root)
    assert proc.returncode == 0
    if reached:
        assert re.fullmatch(rf"dupfind: warning: the scan reached --max-files {cap} at {re.escape(str(tree.root))}/"
                            rf".+: the results cover only the first {cap} names found\n", proc.stderr), proc.stderr
        assert f", {cap} files scanned (--max-files reached), " in proc.stdout
    else:
        assert proc.stderr == "" and "--max-files" not in proc.stdout


@pytest.mark.parametrize("cap, reached", [(10, True), (37, True), (38, False)])
def test_max_files_counts_names_and_warns_with_hard_links(cli, tmp_path, cap, reached):
    # 36 files under 38 names: L first holds two files with two names each,
    # so the scan has fewer files than names wherever the cap stops it.
    linked, rest = tmp_path / "L", tmp_path / "R"
    linked.mkdir()
    rest.mkdir()
    for i in range(2):
        (linked / f"f{i}").write_bytes(b"linked %d" % i)
        os.link(linked / f"f{i}", linked / f"g{i}")
    for i in range(34):
        (rest / f"f{i:02}").write_bytes(b"file %d" % i)
    proc = run(cli, "--summary", "--skipped", "--max-files", cap, linked, rest)
    assert proc.returncode == 0, proc.stderr
    if reached:
        assert f"dupfind: warning: the scan reached --max-files {cap} at {rest}/f" in proc.stderr
        assert " files scanned (--max-files reached), " in proc.stdout
        assert len(re.findall(r"^  max_files_reached: ", proc.stdout, re.M)) == 1
    else:
        assert proc.stderr == "" and "max-files" not in proc.stdout and "max_files" not in proc.stdout


def _tree_with_an_unreadable_file(shared_dir):
    """R holds a.txt and b.txt, copies of each other, and c.txt, which only root may read."""
    root = shared_dir / "R"
    root.mkdir(mode=0o755)
    for name in ("a.txt", "b.txt", "c.txt"):
        (root / name).write_bytes(REPORT)
        (root / name).chmod(0o644)
    (root / "c.txt").chmod(0)
    return root


def test_file_that_cannot_be_read_is_listed_and_counted(cli, shared_dir):
    root = _tree_with_an_unreadable_file(shared_dir)
    proc = run(cli, "--skipped", root, preexec_fn=as_nobody)
    assert proc.returncode == 0, proc.stderr
    assert listed_paths(proc.stdout) == [str(root / "a.txt"), str(root / "b.txt")]
    assert f"Skipped entries:\n  read_failed: {root / 'c.txt'}\n" in proc.stdout
    assert proc.stdout.endswith(", 3 files scanned, 1 entry skipped (1 file could not be read)\n")


@pytest.mark.parametrize("locked_dirs, shown, more", [(1, 2, None), (6, 5, 2)])
def test_entries_that_cannot_be_read_are_warned_about(cli, shared_dir, locked_dirs, shown, more):
    root = _tree_with_an_unreadable_file(shared_dir)
    for i in range(locked_dirs):
        (root / f"d{i}").mkdir(mode=0)
    proc = run(cli, root, preexec_fn=as_nobody)
    assert proc.returncode == 0, proc.stderr
    assert listed_paths(proc.stdout) == [str(root / "a.txt"), str(root / "b.txt")]
    lines = proc.stderr.splitlines()
    assert lines[0] == f"dupfind: warning: {locked_dirs + 1} entries could not be read:"
    expected = sorted([(str(root / "c.txt"), "file could not be read (read_failed)")] +
                      [(str(root / f"d{i}"), "directory could not be opened (opendir_failed)")
                       for i in range(locked_dirs)])[:shown]
    assert lines[1:1 + shown] == [f"dupfind:   {p}: {why}" for p, why in expected]
    tail = [f"dupfind:   and {more} more (--skipped lists them all)"] if more else []
    assert lines[1 + shown:] == tail


@pytest.mark.parametrize(
    "args",
    [
        ["--help"],
        ["--version"],
        ["DIR"],
        ["--summary", "DIR"],
        ["--skipped", "DIR"],
        ["--json", "DIR"],
        ["--delete", "--dry-run", "DIR"],
        ["--delete", "DIR"],
        ["--delete", "--summary", "DIR"],
    ],
    ids=lambda args: " ".join(args),
)
def test_output_that_cannot_be_written_fails_the_run(cli, tree, full_output, args):
    proc = subprocess.run([cli, *[str(tree.root) if a == "DIR" else a for a in args]], stdin=subprocess.DEVNULL,
                          stdout=full_output, stderr=subprocess.PIPE, text=True, timeout=300)
    assert proc.returncode == 1
    assert proc.stderr == "dupfind: write error: No space left on device\n"


def test_demo_tree_shows_duplicate_groups(cli, tmp_path):
    demo = tmp_path / "demo"
    subprocess.run(["sh", str(REPO / "scripts" / "make-demo-tree.sh"), str(demo)], check=True,
                   capture_output=True)
    proc = run(cli, demo)
    assert proc.returncode == 0
    assert proc.stdout.splitlines()[-1].startswith("4 duplicate files in 3 groups, ")
