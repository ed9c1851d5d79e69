# SPDX-License-Identifier: MIT
"""Filters of what the walk collects: by modification time."""

from __future__ import annotations

import json
import os
from calendar import timegm
from pathlib import Path

import pytest

from cli_helpers import run, scan_json
from fixture_tree import REPORT


# Three copies, modified at three instants (UTC).
MTIMES = {"a.txt": (2020, 1, 1, 0, 0, 0), "b.txt": (2022, 6, 15, 12, 0, 0), "c.txt": (2024, 1, 1, 0, 0, 0)}


@pytest.fixture
def dated_tree(tmp_path) -> Path:
    root = tmp_path / "T"
    root.mkdir()
    for name, when in MTIMES.items():
        (root / name).write_bytes(REPORT)
        t = timegm((*when, 0, 0, 0))
        os.utime(root / name, (t, t))
    return root


@pytest.mark.parametrize(
    "args, tz, skipped",
    [
        # The bound itself is inside the window of --newer-than, outside that of --older-than.
        (["--newer-than", "2022-06-15T12:00Z"], None, {"a.txt": "newer_than"}),
        (["--newer-than", "2022-06-15T12:00:01Z"], None, {"a.txt": "newer_than", "b.txt": "newer_than"}),
        (["--older-than", "2022-06-15T12:00:00+00:00"], None, {"b.txt": "older_than", "c.txt": "older_than"}),
        (["--older-than", "2022-06-15T14:00:01+0200"], None, {"c.txt": "older_than"}),
        (["--newer-than", "2022-06-15T07:00-05"], None, {"a.txt": "newer_than"}),
        # Without an offset, local time: 15:00 three hours east of UTC is 12:00 UTC.
        (["--newer-than", "2022-06-15T15:00"], "ABC-3", {"a.txt": "newer_than"}),
        (["--newer-than", "2022-06-15 15:00:01"], "ABC-3", {"a.txt": "newer_than", "b.txt": "newer_than"}),
        # A date alone is the start of that local day.
        (["--newer-than", "2022-06-15", "--older-than", "2022-06-16"], "ABC+11",
         {"a.txt": "newer_than", "c.txt": "older_than"}),
        (["--newer-than", "2022-06-16"], "ABC+11", {"a.txt": "newer_than", "b.txt": "newer_than"}),
    ],
)
def test_time_window_collects_by_modification_time(cli, dated_tree, args, tz, skipped):
    env = dict(os.environ, TZ=tz) if tz else None
    proc = run(cli, "--json", *args, dated_tree, env=env)
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert {os.path.relpath(s["path"], dated_tree): s["reason"] for s in doc["skipped"]} == skipped
    assert doc["scanned_files"] == 3 - len(skipped)
    listed = run(cli, "--skipped", *args, dated_tree, env=env).stdout
    for name, reason in skipped.items():
        assert f"{reason}: {dated_tree / name}" in listed


@pytest.mark.parametrize(
    "args, message",
    [
        (["--newer-than", "yesterday"], "invalid time for --newer-than: 'yesterday'"),
        (["--newer-than", "2024-13-01"], "invalid time for --newer-than: '2024-13-01'"),
        (["--older-than", "2023-02-29"], "invalid time for --older-than: '2023-02-29'"),
        (["--older-than", "2024-05-01T24:00"], "invalid time for --older-than: '2024-05-01T24:00'"),
        (["--older-than", "2024-05-01T10:00+2"], "invalid time for --older-than: '2024-05-01T10:00+2'"),
        (["--older-than", "2024-5-1"], "invalid time for --older-than: '2024-5-1'"),
        (["--newer-than", "2024-05-01", "--older-than", "2024-05-01"],
         "--newer-than 2024-05-01 is not before --older-than 2024-05-01: no file can be both"),
    ],
)
def test_a_time_that_is_no_iso_date_is_a_usage_error(cli, dated_tree, args, message):
    proc = run(cli, *args, dated_tree)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("dupfind: ") and proc.stderr.count("\n") == 1
    assert message in proc.stderr


# Names that the include patterns and their case tell apart.
INCLUDE_FILES = ("a.jpg", "b.JPG", "c.png", "d.txt", "sub/e.jpg", "sub/deep/f.jpg", "x.jpg.d/g.txt")


@pytest.fixture
def include_tree(tmp_path) -> Path:
    root = tmp_path / "I"
    for rel in INCLUDE_FILES:
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(REPORT)
    return root


@pytest.mark.parametrize(
    "args, collected",
    [
        # A name pattern matches files at every depth; directories are entered whatever their name.
        (["--include", "*.jpg"], {"a.jpg", "sub/e.jpg", "sub/deep/f.jpg"}),
        (["--include", "*.jpg", "--include", "*.png"], {"a.jpg", "c.png", "sub/e.jpg", "sub/deep/f.jpg"}),
        (["--include", "*.jpg", "--ignore-case"], {"a.jpg", "b.JPG", "sub/e.jpg", "sub/deep/f.jpg"}),
        (["--include", "[A-B].jpg", "--ignore-case"], {"a.jpg", "b.JPG"}),
        (["--include", "[!a].jpg", "--ignore-case"], {"b.JPG", "sub/e.jpg", "sub/deep/f.jpg"}),
        # With a '/', the path below the DIR.
        (["--include", "sub/*.jpg"], {"sub/e.jpg"}),
        (["--include", "sub/**/*.jpg"], {"sub/e.jpg", "sub/deep/f.jpg"}),
        # Exclusion still applies, and --ignore-case reaches --exclude too.
        (["--include", "*.jpg", "--exclude", "DEEP", "--ignore-case"], {"a.jpg", "b.JPG", "sub/e.jpg"}),
        (["--exclude", "*.JPG", "--ignore-case"], {"c.png", "d.txt", "x.jpg.d/g.txt"}),
    ],
)
def test_include_collects_only_matching_files(cli, include_tree, args, collected):
    doc = scan_json(cli, *args, include_tree)
    # Every file holds the same bytes: what is collected forms one group (of two files or more).
    grouped = {os.path.relpath(f, include_tree) for g in doc["groups"] for f in g["files"]}
    assert grouped == (collected if len(collected) > 1 else set())
    assert doc["scanned_files"] == len(collected)
    not_included = {os.path.relpath(s["path"], include_tree) for s in doc["skipped"] if s["reason"] == "not_included"}
    if "--include" in args:
        below_excluded = {"sub/deep/f.jpg"} if "DEEP" in args else set()
        assert not_included == {n for n in INCLUDE_FILES if n not in collected} - below_excluded
    else:
        assert not_included == set()


@pytest.mark.parametrize(
    "pattern, why",
    [("cache/", "ends in '/'"), ("[abc", "an unclosed '['"), ("", "an empty pattern")],
)
def test_an_include_pattern_that_can_keep_no_file_is_a_usage_error(cli, include_tree, pattern, why):
    proc = run(cli, "--include", pattern, include_tree)
    assert proc.returncode == 2 and proc.stdout == ""
    assert f"invalid pattern for --include: '{pattern}'" in proc.stderr and why in proc.stderr
