"""The dupfind tool end to end: output, options, exit codes, removal and the
terminal behaviour (progress, Ctrl-C, interactive answers)."""

from __future__ import annotations

import csv
import io
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
from contextlib import ExitStack, contextmanager
from pathlib import Path

import pytest

from fixture_tree import PHOTO, REPORT, UNIQUE, build_slow_tree
from terminal import Terminal

REPO = Path(__file__).resolve().parents[2]
SUMMARY = "3 duplicate files in 2 groups, 74.2 KiB reclaimable, 7 files scanned, 3 entries skipped"
HEADER = re.compile(r"(\S+ \S+) each, (\d+) cop(?:y|ies)(?:, (\d+) names)?, hash ([0-9a-f]{16})")


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


# --- output ---------------------------------------------------------------

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


def test_summary_and_skipped(cli, tree):
    assert run(cli, "--summary", tree.root).stdout == SUMMARY + "\n"

    head, tail = run(cli, "--summary", "--skipped", tree.root).stdout.split("\n\n")
    title, *lines = head.split("\n")
    assert title == "Skipped entries:"
    assert sorted(lines) == sorted([f"  symlink: {tree.link}", *(f"  below_min_size: {e}" for e in tree.empties)])
    assert tail == SUMMARY + "\n"

    full = run(cli, "--skipped", tree.root).stdout
    assert full.count(" copies, hash ") == 2 and "Skipped entries:\n" in full and full.endswith(SUMMARY + "\n")


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
    assert re.search(r"^0 B each, 2 copies, hash [0-9a-f]{16}$", out, re.M)


# --- scan filters -------------------------------------------------------------

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
        (["--max-depth", "0"], {d: "max_depth" for d in (".hidden", "docs", "src", "node_modules")}, 6),
        (["--max-depth", "1"], {"docs/old": "max_depth", "src/build": "max_depth"}, 9),
    ],
)
def test_filters_prune_the_walk_and_are_listed_as_skipped(cli, filter_tree, args, skipped, scanned):
    doc = scan_json(cli, *args, filter_tree)
    assert {os.path.relpath(s["path"], filter_tree): s["reason"] for s in doc["skipped"]} == skipped
    assert doc["scanned_files"] == scanned
    proc = run(cli, "--skipped", *args, filter_tree)
    assert proc.returncode == 0, proc.stderr
    assert skipped_listing(proc.stdout) == {str(filter_tree / p): r for p, r in skipped.items()}


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
     (["-mH"], ["--summary", "--hard-links"]), (["-r"], [])],
    ids=lambda args: " ".join(args) or "none",
)
def test_short_forms_mean_their_long_options(cli, tmp_path, short, long):
    root, _, _ = _linked_names(tmp_path)  # hard links, so that -H shows
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


@pytest.mark.parametrize("cap, reached", [(3, True), (7, True), (8, False), (0, False)])
def test_scan_that_reaches_max_files_says_the_results_are_partial(cli, tree, cap, reached):
    # The tree holds 7 files to collect: a cap of 7 cannot be told from a
    # scan that stopped there.
    proc = run(cli, "--summary", "--max-files", cap, tree.root)
    assert proc.returncode == 0
    if reached:
        assert proc.stderr == (f"dupfind: warning: the scan reached --max-files {cap}: the results cover only "
                               f"the first {cap} files found\n")
        assert f", {cap} files scanned (--max-files reached), " in proc.stdout
    else:
        assert proc.stderr == "" and "--max-files" not in proc.stdout


@pytest.fixture
def shared_dir():
    """A directory that a process without privileges can enter."""
    if os.geteuid() != 0:
        pytest.skip("needs root to drop privileges")
    d = Path(tempfile.mkdtemp(prefix="dupfind-cli-"))
    d.chmod(0o755)
    yield d
    shutil.rmtree(d)


def as_nobody():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def test_file_that_cannot_be_read_is_listed_and_counted(cli, shared_dir):
    root = shared_dir / "R"
    root.mkdir(mode=0o755)
    for name in ("a.txt", "b.txt", "c.txt"):
        (root / name).write_bytes(REPORT)
        (root / name).chmod(0o644)
    (root / "c.txt").chmod(0)
    proc = run(cli, "--skipped", root, preexec_fn=as_nobody)
    assert proc.returncode == 0, proc.stderr
    assert listed_paths(proc.stdout) == [str(root / "a.txt"), str(root / "b.txt")]
    assert f"Skipped entries:\n  read_failed: {root / 'c.txt'}\n" in proc.stdout
    assert proc.stdout.endswith(", 3 files scanned, 1 entry skipped (1 file could not be read)\n")


@pytest.fixture
def full_output():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    with open("/dev/full", "w") as f:
        yield f


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


# --- output for scripts ---------------------------------------------------------

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


# --- roots as typed -------------------------------------------------------

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


def shell_word(text: str) -> bytes:
    """What a shell makes of the text as one word."""
    return subprocess.run(["bash", "-c", f"printf %s {text}"], capture_output=True, check=True).stdout


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


# --- hard links -----------------------------------------------------------

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


def test_hard_links_option_lists_every_name_and_marks_names_of_one_file(cli, tmp_path):
    root, out, data = _linked_names(tmp_path)
    assert len(scan_json(cli, "--hard-links", root)["groups"][0]["files"]) == 6
    proc = run(cli, "--hard-links", root)
    assert proc.returncode == 0, proc.stderr
    block, summary = proc.stdout.split("\n\n")
    header, *lines = block.split("\n")
    assert re.fullmatch(r"300 B each, 4 copies, 6 names, hash [0-9a-f]{16}", header)
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
    assert re.match(r"300 B each, 4 copies, hash [0-9a-f]{16}\n", proc.stdout)
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


# --- which copy is kept ----------------------------------------------------

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


# --- removal --------------------------------------------------------------

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
    assert proc.stdout.endswith(SUMMARY + "\n3 files removed, 74.2 KiB freed\n0 files kept because of a problem\n")
    assert proc.stdout.count("  removed:      ") == 3 and proc.stdout.count("  kept:         ") == 2


def test_dry_run_removes_nothing(cli, tree):
    before = snapshot(tree.root)
    proc = run(cli, "--delete", "--dry-run", "--keep", "oldest", tree.root)
    assert proc.returncode == 0
    assert snapshot(tree.root) == before
    assert proc.stdout.count("  would remove: ") == 3
    assert proc.stdout.endswith("Dry run: 3 files would be removed, 74.2 KiB would be freed; nothing was removed\n"
                                "0 files would be kept because of a problem\n")


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
    assert "0 files kept because of a problem" in proc.stdout  # another name of a kept file is no problem
    if setup is _hard_link:  # listed with --hard-links; the tool leaves them
        assert f"  kept:         {files[1]} (same file as kept {files[0]})\n" in proc.stdout


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
    assert proc.returncode == 0, proc.stderr
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
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    out = tmp_path / "OUT"  # the files the links lead to
    assert all((root / f"{n}-link").is_symlink() and (out / n).read_bytes() == REPORT for n in ("f", "g"))
    why = "no file of the group is reached without a symbolic link"
    # The group's files, then its reason, once.
    assert (f"  not removed:  {root / 'f-link'}\n  not removed:  {root / 'g-link'}\n"
            f"                {why}\n") in proc.stdout
    problems = f"2 files kept because of a problem:\n  {why}:\n    {root / 'f-link'}\n    {root / 'g-link'}\n"
    assert problems in proc.stdout


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
    assert proc.returncode == 0, proc.stderr
    assert (lower / "data.txt").read_bytes() == REPORT
    assert sorted(p.name for p in (root / "plain").iterdir()) == (["a.bin", "b.bin"] if dry_run else ["a.bin"])
    assert ("1 file would be removed" if dry_run else "1 file removed") in proc.stdout
    expected = reason.format(merged=merged / "data.txt", lower=lower / "data.txt")
    copy = merged / "data.txt" if lower_name == "alower" else lower / "data.txt"
    assert re.search(rf"^  {re.escape(str(copy))}: {re.escape(expected)}", proc.stdout, re.M), proc.stdout


# --- replacing copies: --link and --reflink --------------------------------------

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
        "Dry run: 3 files would be replaced by hard links, 74.2 KiB would be freed; nothing was changed\n"
        "0 files would be kept because of a problem\n" if dry_run else
        "3 files replaced by hard links, 74.2 KiB freed\n0 files kept because of a problem\n"))


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
    assert proc.returncode == 0, proc.stderr
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
    assert proc.returncode == 0, proc.stderr
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
    # The directory is moved away and a link to one outside the root, with
    # a file of the same bytes, takes its place.
    (root / "sub").rename(tmp_path / "moved")
    os.symlink(outside, root / "sub")
    term.send(f"{listed.index(root / 'a.txt') + 1}\n")
    assert term.finish() == 0
    assert (outside / "b.txt").read_bytes() == REPORT and (outside / "b.txt").stat().st_nlink == 1
    assert (tmp_path / "moved" / "b.txt").stat().st_nlink == 1 and (root / "a.txt").stat().st_nlink == 1
    assert f"  {root / 'sub' / 'b.txt'}: reached through the symbolic link {root / 'sub'}, never replaced" in term.text()


def test_link_leaves_a_copy_that_changed_after_the_scan(cli, tree):
    term = Terminal([cli, "--interactive", "--link", "--quiet", tree.root], stdin=True, stdout=True)
    reports = ask(term, "1/2", "2.9 KiB", 3)
    reports[2].write_bytes(REPORT[:-1] + b"!")  # same size, other bytes
    changed_ino = reports[2].stat().st_ino
    term.send("1\n")
    ask(term, "2/2", "68.4 KiB", 2)
    term.send("s\n")
    assert term.finish() == 0
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
    assert "2 files deduplicated in place, 6.0 MiB freed\n0 files kept because of a problem\n" in proc.stdout

    # Shared once, nothing is left to share.
    again = run(cli, "--reflink", "--keep", "first", root)
    assert again.returncode == 0, again.stderr
    assert again.stdout.count(f"(already shares its extents with kept {kept})") == 2
    assert ", 0 B reclaimable," in again.stdout
    assert "0 files deduplicated in place, 0 B freed\n0 files kept because of a problem\n" in again.stdout


def test_reflink_leaves_a_copy_that_changed_after_the_scan(cli, loop_fs):
    root = loop_fs("xfs")
    kept, copy, other = _big_copies(root)
    term = Terminal([cli, "--interactive", "--reflink", "--quiet", root], stdin=True, stdout=True)
    listed = ask(term, "1/1", "3.0 MiB", 3)
    with open(copy, "r+b") as f:  # same size, other bytes, same inode
        f.seek(len(BIG) // 2)
        f.write(b"changed")
    term.send(f"{listed.index(kept) + 1}\n")
    assert term.finish() == 0
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
    assert proc.returncode == 0, proc.stderr
    assert f"  {local / 'b.bin'}: on another file system than kept {xfs / 'a.bin'}\n" in proc.stdout
    assert f"  {plain / 'c.bin'}: on another file system than kept {xfs / 'a.bin'}\n" in proc.stdout
    assert plain_alone.returncode == 0, plain_alone.stderr
    assert f"  {plain / 'd.bin'}: the file system cannot share extents: " in plain_alone.stdout
    assert "0 files deduplicated in place, 0 B freed\n1 file kept because of a problem:\n" in plain_alone.stdout


# --- manual page and completions ---------------------------------------------------

COMPLETIONS = REPO / "cli" / "completions"


def help_options(cli) -> list:
    """The options of --help in their order, short forms first."""
    text = run(cli, "--help").stdout
    return [name for m in re.finditer(r"^  (?:(-\w), )?(--[\w-]+)", text, re.M) for name in m.groups() if name]


def manual(cli) -> str:
    """The manual page as built beside the tool."""
    return Path(cli).with_name("dupfind.1").read_text()


def manual_section(page: str, title: str) -> str:
    return page.split(f"\n.SH {title}\n", 1)[1].split("\n.SH ", 1)[0]


def test_manual_lists_the_options_of_the_help_in_its_order(cli):
    options = manual_section(manual(cli), "OPTIONS")
    tags = re.findall(r"^\.TP\n(\.B[IR]? .*)$", options, re.M)
    listed = [name for tag in tags for name in re.findall(r'(?:^|[\s"])(--?\w[\w-]*)', tag.replace("\\-", "-"))]
    assert listed == help_options(cli)


def test_manual_has_the_exit_codes_and_version_of_the_tool(cli):
    page = manual(cli)
    codes = re.findall(r"^\.TP\n\.B (\d+)$", manual_section(page, "EXIT STATUS"), re.M)
    help_codes = re.findall(r"(\d+) [a-z]", run(cli, "--help").stdout.split("Exit status:", 1)[1])
    assert codes == help_codes == ["0", "1", "2", "130"]
    version = run(cli, "--version").stdout.split()[1]
    assert re.search(rf'^\.TH DUPFIND 1 "[\d-]+" "dupfind {re.escape(version)}"', page, re.M)


def test_manual_renders_without_warnings(cli):
    if not shutil.which("groff"):
        pytest.skip("groff is not installed")
    proc = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", str(Path(cli).with_name("dupfind.1"))],
                          capture_output=True, text=True)
    assert proc.returncode == 0 and proc.stderr == ""


def bash_complete(words: list, cwd: Path) -> list:
    """What the bash completion offers for the last word of the line."""
    script = (f"source {shlex.quote(str(COMPLETIONS / 'dupfind.bash'))}; "
              f"COMP_WORDS=({' '.join(shlex.quote(w) for w in words)}); COMP_CWORD={len(words) - 1}; "
              "_dupfind; printf '%s\\n' \"${COMPREPLY[@]}\"")
    proc = subprocess.run(["bash", "-c", script], capture_output=True, text=True, cwd=cwd, check=True)
    return sorted(proc.stdout.split())


def test_bash_completion_offers_every_option_of_the_help(cli, tmp_path):
    assert bash_complete(["dupfind", "-"], tmp_path) == sorted(help_options(cli))


@pytest.mark.parametrize(
    "words, offered",
    [
        (["--li"], ["--link"]),
        (["--ex"], ["--exclude", "--exclude-text"]),
        (["--format", "f"], ["fdupes"]),
        (["--format", "=", ""], ["csv", "fdupes", "human", "json"]),  # --format=
        (["--keep", "sh"], ["shortest-path"]),
        (["--reference", "s"], ["src", "sub"]),  # directories only
        (["s"], ["src", "sub"]),
        (["--", "-"], ["-odd"]),  # after --, a word with a dash is a directory
        (["--min-size", ""], []),
        (["--exclude", "s"], []),
    ],
)
def test_bash_completion_offers_values_and_directories(tmp_path, words, offered):
    for d in ("src", "sub", "-odd"):
        (tmp_path / d).mkdir()
    (tmp_path / "same.txt").write_bytes(b"")
    assert bash_complete(["dupfind", *words], tmp_path) == offered


def test_zsh_completion_knows_every_option_of_the_help(cli):
    specs = [line for line in (COMPLETIONS / "_dupfind").read_text().splitlines() if line.startswith("  '")]
    named = {name for line in specs for name in re.findall(r"(?<![\w-])(--?[a-zA-Z0-9][\w-]*)", line)}
    assert named == set(help_options(cli))
    if shutil.which("zsh"):
        proc = subprocess.run(["zsh", "-n", str(COMPLETIONS / "_dupfind")], capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr


def test_install_puts_the_manual_and_completions_where_man_and_shells_look(cli, tmp_path):
    build = Path(cli).resolve().parents[1]
    if not (build / "CMakeCache.txt").exists() or not shutil.which("cmake"):
        pytest.skip(f"{build} is not a CMake build directory")
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", str(build), "--prefix", str(prefix)], check=True, capture_output=True)
    share = prefix / "share"
    assert (share / "bash-completion" / "completions" / "dupfind").read_bytes() == \
        (COMPLETIONS / "dupfind.bash").read_bytes()
    assert (share / "zsh" / "site-functions" / "_dupfind").read_bytes() == (COMPLETIONS / "_dupfind").read_bytes()
    assert (share / "man" / "man1" / "dupfind.1").read_bytes() == Path(cli).with_name("dupfind.1").read_bytes()
    if not shutil.which("man"):
        pytest.skip("man is not installed (Debian man-db)")
    proc = subprocess.run(["man", "-M", str(share / "man"), "dupfind"], capture_output=True, text=True,
                          env={**os.environ, "MANPAGER": "cat", "MANWIDTH": "80"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("DUPFIND(1)") and "--reflink" in proc.stdout


# --- terminal: progress, Ctrl-C, interactive --------------------------------

def test_ctrl_c_cancels_the_scan_and_exits_130(cli, tmp_path):
    term = Terminal([cli, build_slow_tree(tmp_path)], stderr=True)
    term.expect(r"\[[#.]{30}\] +\d+% comparing")  # the progress bar, on the terminal
    term.proc.send_signal(signal.SIGINT)
    assert term.finish() == 130
    assert "dupfind: interrupted: cancelled\n" in term.text()
    assert term.proc.stdout.read() == b""


def test_progress_bar_on_a_terminal_unless_quiet(cli, tmp_path):
    root = build_slow_tree(tmp_path, count=16, size=16 << 20)
    term = Terminal([cli, root], stderr=True)
    assert term.finish() == 0
    assert re.search(r"\[[#.]{30}\] +\d+% (starting|walking|comparing|writing results)", term.text())
    assert term.text().endswith("\r\x1b[K")  # the bar's line is cleared at the end

    for quiet in ("--quiet", "-q"):
        term = Terminal([cli, quiet, root], stderr=True)
        assert term.finish() == 0
        assert term.output == b"", quiet


PROMPT = r"Keep which files\?[^\n]*: "


def ask(term: Terminal, number: str, size: str, copies: int) -> list:
    """Waits for the question about one group; returns its numbered paths."""
    m = term.expect(rf"\[{number}\] {re.escape(size)} each, {copies} copies, hash [0-9a-f]{{16}}\r\n"
                    rf"((?:  \[\d\] [^\r]+\r\n)+){PROMPT}")
    return [Path(line.split("] ", 1)[1]) for line in m[1].decode().splitlines()]


def test_interactive_keeps_the_chosen_files(cli, tree):
    term = Terminal([cli, "--interactive", "--quiet", tree.root], stdin=True, stdout=True)
    reports = ask(term, "1/2", "2.9 KiB", 3)
    assert set(reports) == set(tree.reports)
    term.send("7\n")
    term.expect("'7' is not a file number from 1 to 3")
    term.expect(PROMPT)
    term.send("1,3\n")
    photos = ask(term, "2/2", "68.4 KiB", 2)
    assert set(photos) == set(tree.photos)
    term.send("s\n")
    assert term.finish() == 0

    assert [p.exists() for p in reports] == [True, False, True]
    assert all(p.read_bytes() == PHOTO for p in photos)
    assert reports[0].read_bytes() == REPORT and reports[2].read_bytes() == REPORT
    assert "1 file removed, 2.9 KiB freed\n0 files kept because of a problem\n" in term.text()


def test_interactive_rechecks_each_copy_before_removing(cli, tree):
    term = Terminal([cli, "--interactive", "--quiet", tree.root], stdin=True, stdout=True)
    reports = ask(term, "1/2", "2.9 KiB", 3)
    # After the scan: one copy changes within its size ...
    reports[2].write_bytes(REPORT[:-1] + b"!")
    term.send("1\n")
    photos = ask(term, "2/2", "68.4 KiB", 2)
    # ... and the file to be kept goes away, leaving one copy.
    photos[0].unlink()
    term.send("1\n")
    assert term.finish() == 0

    assert reports[0].read_bytes() == REPORT
    assert not reports[1].exists()
    assert reports[2].read_bytes() == REPORT[:-1] + b"!"
    assert photos[1].read_bytes() == PHOTO  # the last copy stays
    out = term.text()
    assert "1 file removed, 2.9 KiB freed\n2 files kept because of a problem:\n" in out
    assert f"  {reports[2]}: content differs from kept {reports[0]}\n" in out
    assert f"  {photos[1]}: kept file {photos[0]} no longer exists\n" in out


@pytest.mark.parametrize(
    "answer, survivors, reasons",
    [
        # Keeping only the link vouches for nothing: both real files stay.
        (["a-link"], {"m-copy", "z-copy"}, {"m-copy": "kept file {a-link} is a symbolic link",
                                            "z-copy": "kept file {a-link} is a symbolic link"}),
        # A kept real file vouches; the link kept beside it changes nothing.
        (["a-link", "m-copy"], {"m-copy"}, {}),
        # A link not chosen is never removed.
        (["m-copy"], {"m-copy"}, {"a-link": "a symbolic link, never removed"}),
    ],
    ids=["link-kept", "link-and-file-kept", "file-kept"],
)
def test_interactive_only_files_reached_without_a_link_vouch(cli, tmp_path, answer, survivors, reasons):
    root, link, _, outside = _linked_pair(tmp_path, "a-link", "z-copy", False)
    (root / "m-copy").write_bytes(REPORT)

    term = Terminal([cli, "--interactive", "--quiet", "--follow-symlinks", root], stdin=True, stdout=True)
    listed = ask(term, "1/1", "2.9 KiB", 3)
    assert sorted(p.name for p in listed) == ["a-link", "m-copy", "z-copy"]
    term.send(",".join(str(listed.index(root / name) + 1) for name in answer) + "\n")
    assert term.finish() == 0

    assert link.is_symlink() and outside.read_bytes() == REPORT
    assert {n for n in ("m-copy", "z-copy") if (root / n).exists()} == survivors
    assert all((root / n).read_bytes() == REPORT for n in survivors)
    out = term.text()
    for name, why in reasons.items():
        assert f"  {root / name}: {why.format(**{'a-link': link})}\n" in out
    assert f"{len(reasons)} file{'' if len(reasons) == 1 else 's'} kept because of a problem" in out


def test_interactive_asks_nothing_when_the_question_cannot_be_shown(cli, tree, full_output):
    term = Terminal([cli, "--interactive", "--quiet", tree.root], stdin=True, stdout=full_output)
    term.send("1\n1\n")  # typed ahead: answers to questions never shown
    assert term.finish() == 1
    assert term.proc.stderr.read() == b"dupfind: write error: No space left on device\n"
    assert all(p.read_bytes() == REPORT for p in tree.reports)
    assert all(p.read_bytes() == PHOTO for p in tree.photos)


def test_interactive_ctrl_c_stops_after_the_current_group(cli, tree):
    term = Terminal([cli, "--interactive", "--quiet", tree.root], stdin=True, stdout=True)
    reports = ask(term, "1/2", "2.9 KiB", 3)
    term.send("2\n")
    ask(term, "2/2", "68.4 KiB", 2)
    term.proc.send_signal(signal.SIGINT)
    assert term.finish() == 130
    assert [p.exists() for p in reports] == [False, True, False]
    assert all(p.read_bytes() == PHOTO for p in tree.photos)
    assert "2 files removed, 5.9 KiB freed\n" in term.text()


def test_interactive_never_removes_a_reference_file(cli, tmp_path):
    for d in ("master", "backup"):
        (tmp_path / d).mkdir()
        (tmp_path / d / "p.jpg").write_bytes(PHOTO)
    term = Terminal([cli, "--interactive", "--quiet", "--reference", tmp_path / "master", tmp_path / "backup"],
                    stdin=True, stdout=True)
    listed = ask(term, "1/1", "68.4 KiB", 2)
    assert sorted(listed) == [tmp_path / "backup" / "p.jpg", tmp_path / "master" / "p.jpg  (reference)"]
    term.send(f"{listed.index(tmp_path / 'backup' / 'p.jpg') + 1}\n")  # keep only the copy outside
    assert term.finish() == 0
    assert all((tmp_path / d / "p.jpg").read_bytes() == PHOTO for d in ("master", "backup"))
    assert "0 files removed" in term.text()
