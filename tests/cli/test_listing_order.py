# SPDX-License-Identifier: MIT
"""The order of the groups (--sort, --reverse) in every listing that shows
them, and the modification times of --times."""

from __future__ import annotations

import csv
import io
import os
from datetime import datetime
from pathlib import Path

import pytest

from cli_helpers import HEADER, run

# Three groups whose order differs under every key: (file size, names).
#   a*: 40 B x 4 (120 B in copies), b*: 100 B x 2 (100 B), c*: 10 B x 6 (50 B)
GROUPS = {"a": (40, 4), "b": (100, 2), "c": (10, 6)}
ORDERS = {
    None: "cab",  # as found: smallest files first
    "size": "bac",
    "wasted": "abc",
    "count": "cab",
    "path": "abc",
}


@pytest.fixture
def order_tree(tmp_path) -> Path:
    root = tmp_path / "R"
    root.mkdir()
    for letter, (size, count) in GROUPS.items():
        for i in range(count):
            (root / f"{letter}{i}").write_bytes(letter.encode() * size)
    return root


def groups_of(fmt: str, text: str) -> list:
    """The groups of a listing, each as its list of file names."""
    if fmt == "human":
        out = []
        for line in text.splitlines():
            if HEADER.match(line):
                out.append([])
            elif line and out and not line.startswith(" ") and "duplicate file" not in line:
                out[-1].append(Path(line.split("  ")[-1]).name)
        return out
    if fmt == "csv":
        rows = list(csv.reader(io.StringIO(text)))[1:]
        out = {}
        for row in rows:
            out.setdefault(int(row[0]), []).append(Path(row[3]).name)
        return [out[k] for k in sorted(out)]
    end = "\0" if fmt == "-0" else "\n"
    return [[Path(p).name for p in g.split(end) if p] for g in text.split(end * 2) if g]


FORMATS = {"human": [], "fdupes": ["--format", "fdupes"], "csv": ["--format", "csv"], "-0": ["-0"]}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("key", list(ORDERS))
@pytest.mark.parametrize("reverse", [False, True])
def test_sort_orders_the_groups_in_every_listing(cli, order_tree, fmt, key, reverse):
    args = [*FORMATS[fmt], *(["--sort", key] if key else []), *(["--reverse"] if reverse else [])]
    proc = run(cli, "-q", *args, order_tree)
    assert proc.returncode == 0, proc.stderr
    got = groups_of(fmt, proc.stdout)
    expected = ORDERS[key][::-1] if reverse else ORDERS[key]
    assert [g[0][0] for g in got] == list(expected)
    # The files of each group keep the order they have without --sort.
    plain = {g[0][0]: g for g in groups_of(fmt, run(cli, "-q", *FORMATS[fmt], order_tree).stdout)}
    assert all(g == plain[g[0][0]] for g in got)


def test_sort_orders_the_groups_an_action_goes_through(cli, order_tree):
    proc = run(cli, "-q", "--delete", "--dry-run", "--keep", "first", "--sort", "wasted", order_tree)
    assert proc.returncode == 0, proc.stderr
    sizes = [m.group(1) for m in map(HEADER.match, proc.stdout.splitlines()) if m]
    assert sizes == ["40 B", "100 B", "10 B"]


# Seconds since 1970 for each file: distinct, so that a time shown beside
# the wrong path shows.
def _stamp(root: Path) -> dict:
    stamps = {}
    for i, p in enumerate(sorted(root.iterdir())):
        t = 1_700_000_000 + i * 3_601
        os.utime(p, (t, t))
        stamps[p.name] = t
    return stamps


@pytest.mark.parametrize("zone, offset", [("UTC0", "+00:00"), ("IST-5:30", "+05:30"), ("EST5", "-05:00")])
def test_times_shows_local_iso_times_in_the_human_listing(cli, order_tree, zone, offset):
    stamps = _stamp(order_tree)
    proc = run(cli, "-q", "--times", order_tree, env={**os.environ, "TZ": zone})
    assert proc.returncode == 0, proc.stderr
    shown = {}
    for line in proc.stdout.splitlines():
        if line[:1].isdigit() and "T" in line.split("  ")[0]:
            when, path = line.split("  ", 1)
            assert when.endswith(offset)
            shown[Path(path).name] = datetime.fromisoformat(when).timestamp()
    assert shown == stamps


@pytest.mark.parametrize("omit_first", [False, True])
def test_times_is_the_last_csv_column(cli, order_tree, omit_first):
    stamps = _stamp(order_tree)
    extra = ["--omit-first", "--keep", "first"] if omit_first else []
    proc = run(cli, "--format", "csv", "--times", *extra, order_tree, env={**os.environ, "TZ": "CET-1"})
    assert proc.returncode == 0, proc.stderr
    rows = list(csv.reader(io.StringIO(proc.stdout)))
    assert rows[0] == ["group", "size", "hash", "path", "mtime"]
    assert len(rows) == 1 + (9 if omit_first else 12)
    for row in rows[1:]:
        assert datetime.fromisoformat(row[4]).timestamp() == stamps[Path(row[3]).name]
    # Without --times the columns are those of before.
    assert run(cli, "--format", "csv", order_tree).stdout.splitlines()[0] == "group,size,hash,path"


@pytest.mark.parametrize(
    "args, why",
    [
        (["--sort", "largest"], "invalid value for --sort: 'largest' (size, wasted, count or path)"),
        (["--sort"], "invalid value for --sort"),  # the DIR taken for the key
        # The library's text, in the library's order.
        (["--json", "--sort", "size"], "cannot be combined with --sort"),
        (["--json", "--reverse"], "cannot be combined with --reverse"),
        (["--json", "--times"], "cannot be combined with --times"),
        # No room beside a path on a line of its own; no listing of names.
        (["--format", "fdupes", "--times"], "--times needs a listing of the files"),
        (["--delete", "--keep", "first", "--times"], "--times needs a listing of the files"),
        (["--summary", "--times"], "--times needs a listing of the files"),
        (["--reverse=1"], "--reverse takes no value"),
    ],
)
def test_order_and_times_usage_errors(cli, order_tree, args, why):
    proc = run(cli, *args, order_tree)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("dupfind: ") and proc.stderr.count("\n") == 1
    assert why in proc.stderr
