# SPDX-License-Identifier: MIT
"""--cache and --no-cache: where the cache file goes, that a rescan through
it lists what a scan without it lists, and what the tool says of a cache it
could not use."""

from __future__ import annotations

import os
import time
from pathlib import Path

import pytest

from cli_helpers import mounted, run
from fixture_tree import build_tree


def aged_tree(root: Path) -> Path:
    """The fixture tree, old enough to be cached: a file changed less than
    two seconds before a scan is not stored."""
    build_tree(root)
    time.sleep(2.1)
    return root


@pytest.fixture(scope="module")
def old_tree(tmp_path_factory) -> Path:
    return aged_tree(tmp_path_factory.mktemp("old"))


def plain_listing(cli, root: Path) -> str:
    proc = run(cli, root)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize(
    "args, env, where",
    [
        (["--cache=c/f"], {}, "c/f"),
        (["--cache"], {"XDG_CACHE_HOME": "x"}, "x/dupfind/cache"),
        (["--cache"], {"XDG_CACHE_HOME": "", "HOME": "h"}, "h/.cache/dupfind/cache"),
        (["--cache"], {"XDG_CACHE_HOME": "relative", "HOME": "h"}, "h/.cache/dupfind/cache"),
        (["--cache=c/f", "--no-cache"], {}, None),
        (["--no-cache", "--cache"], {"XDG_CACHE_HOME": "x"}, None),
    ],
)
def test_the_cache_file_is_where_the_options_say(cli, old_tree, tmp_path, args, env, where):
    (tmp_path / "c").mkdir()
    full_env = dict(os.environ)
    full_env.update({k: (v if v in ("", "relative") else str(tmp_path / v)) for k, v in env.items()})
    expected = plain_listing(cli, old_tree)
    for _ in range(2):  # the second run reads the cache the first wrote
        # "--cache DIR" scans DIR: the file is only ever given after '='.
        proc = run(cli, *args, old_tree, cwd=tmp_path, env=full_env)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == expected
        assert proc.stderr == ""
    written = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file())
    assert written == ([where, where + ".lock"] if where else [])


def test_bare_cache_without_a_home_is_a_usage_error(cli, old_tree):
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "XDG_CACHE_HOME")}
    proc = run(cli, "--cache", old_tree, env=env)
    assert proc.returncode == 2
    assert "--cache needs =FILE" in proc.stderr


@pytest.mark.parametrize(
    "content, said",
    [
        (b"not a cache at all", ["was not used", "was not updated"]),
        (b"dupfcach" + b"\x00" * 70, ["was not used"]),  # damaged: replaced by a whole one
    ],
)
def test_a_cache_that_cannot_be_trusted_is_told_and_changes_nothing(cli, old_tree, tmp_path, content, said):
    cache = tmp_path / "cache"
    cache.write_bytes(content)
    proc = run(cli, f"--cache={cache}", old_tree)
    assert proc.returncode == 0
    assert proc.stdout == plain_listing(cli, old_tree)
    assert [w for w in said if w in proc.stderr] == said
    assert proc.stderr.count("warning") == len(said)


def test_files_on_a_file_system_without_trusted_change_times_are_not_cached(cli, tmp_path):
    # ramfs is not among the file systems whose change times and inode
    # numbers the cache trusts.
    (tmp_path / "m").mkdir()
    with mounted(tmp_path / "m", "ramfs"):
        root = aged_tree(tmp_path / "m" / "t")
        proc = run(cli, f"--cache={tmp_path / 'cache'}", root)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == plain_listing(cli, root)
        assert not (tmp_path / "cache").exists()
