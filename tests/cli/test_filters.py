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


def test_without_a_time_filter_every_file_is_collected(cli, dated_tree):
    doc = scan_json(cli, dated_tree)
    assert doc["skipped"] == [] and doc["scanned_files"] == 3


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
        (["--newer-than"], None),
    ],
)
def test_a_time_that_is_no_iso_date_is_a_usage_error(cli, dated_tree, args, message):
    proc = run(cli, *args, dated_tree) if message else run(cli, dated_tree, *args)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("dupfind: ") and proc.stderr.count("\n") == 1
    if message:
        assert message in proc.stderr
