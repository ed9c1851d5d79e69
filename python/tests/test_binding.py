# SPDX-License-Identifier: MIT
"""The Python binding against the real library."""

from __future__ import annotations

import errno
import json
import os
import pickle
import re
import select
import subprocess
import sys
import time
from contextlib import nullcontext
from pathlib import Path

import pytest

import dupfind
from fixture_tree import PHOTO, REPORT, SCANNED_FILES, WASTED_BYTES, build_slow_tree

PACKAGE_DIR = str(Path(dupfind.__file__).resolve().parent.parent)


def groups_by_size(result: dupfind.Result) -> dict:
    return {g.size: set(g.files) for g in result.groups}


def test_scan_returns_typed_result(tree):
    result = dupfind.scan([tree.root])

    assert isinstance(result, dupfind.Result)
    assert groups_by_size(result) == tree.groups()
    for g in result.groups:
        assert isinstance(g, dupfind.Group)
        assert re.fullmatch(r"[0-9a-f]{16}", g.hash)
        assert isinstance(g.files, tuple) and all(type(f) is str for f in g.files)
    assert result.wasted_bytes == WASTED_BYTES
    assert result.scanned_files == SCANNED_FILES
    assert {(s.path, s.reason) for s in result.skipped} == {
        (str(tree.link), "symlink"),
        *((str(e), "below_min_size") for e in tree.empties),
    }
    assert all(isinstance(s, dupfind.Skipped) for s in result.skipped)
    # The raw text is the library's, and agrees with the parsed fields.
    assert result.text.startswith('{"groups":[') and '"wasted_bytes":%d' % WASTED_BYTES in result.text


@pytest.mark.parametrize(
    "kwargs, expected_sizes, scanned",
    [
        # Empty files form a group of their own once admitted.
        ({"min_size": 0}, {0: 2, len(REPORT): 3, len(PHOTO): 2}, SCANNED_FILES + 2),
        ({"min_size": 4096}, {len(PHOTO): 2}, 3),
        # A single string is one substring, not a sequence of one-letter ones.
        ({"exclude_text": "backup"}, {len(REPORT): 2}, 5),
        ({"exclude_text": ["backup", "old"]}, {}, 4),
        # exclude takes the tool's patterns: a name, not any path holding it.
        ({"exclude": "report*"}, {len(PHOTO): 2}, 4),
        ({"exclude": "back"}, {len(REPORT): 3, len(PHOTO): 2}, SCANNED_FILES),
        ({"exclude_text": "back"}, {len(REPORT): 2}, 5),
        ({"min_size": "4K"}, {len(PHOTO): 2}, 3),
        # The link names a file already in the group: one entry, counted once.
        ({"follow_symlinks": True}, {len(REPORT): 3, len(PHOTO): 2}, SCANNED_FILES),
        ({"max_files": 2}, None, 2),
    ],
)
def test_scan_options(tree, kwargs, expected_sizes, scanned):
    result = dupfind.scan(tree.root, **kwargs)
    assert result.scanned_files == scanned
    if expected_sizes is not None:
        assert {g.size: len(g.files) for g in result.groups} == expected_sizes


def test_cache_keeps_what_a_scan_learnt_and_changes_no_group(tree, tmp_path):
    time.sleep(2.1)  # a file changed less than two seconds before a scan is not stored
    cache = tmp_path / "cache"
    first = dupfind.scan(tree.root, cache=cache)
    assert cache.stat().st_size > 64  # a header and the entries
    again = dupfind.scan(tree.root, cache=str(cache))
    assert groups_by_size(first) == groups_by_size(again) == tree.groups()
    assert [s.reason for s in again.skipped if s.reason.startswith("cache")] == []


def test_roots_as_path_bytes_and_missing(tree, tmp_path):
    missing = tmp_path / "no-such-dir"
    result = dupfind.scan([os.fsencode(tree.root / "docs"), tree.root / "backup", missing])
    assert groups_by_size(result) == {len(REPORT): {str(p) for p in tree.reports}}
    assert dupfind.Skipped(str(missing), "root_missing") in result.skipped


def test_progress_callback_sees_rising_values_up_to_100(tree):
    seen = []
    dupfind.scan(tree.root, progress=seen.append)
    assert seen[-1] == 100
    assert seen == sorted(seen) and len(seen) == len(set(seen))
    assert all(0 <= v <= 100 for v in seen)


def test_asynchronous_scan(tree):
    s = dupfind.Scan([tree.root])
    assert s.id >= 1
    assert s.wait(timeout=120)
    assert s.progress == 100 and s.done
    first = s.result()
    assert groups_by_size(first) == tree.groups()
    assert s.result() is first


def test_result_iterates_over_its_groups(tree):
    result = dupfind.scan(tree.root)
    assert list(result) == list(result.groups) and len(result) == len(tree.groups())
    assert {g.size: set(g.files) for g in result} == tree.groups()

    nothing = dupfind.scan(tree.root / "notes")  # one unique file and two empty ones
    assert len(nothing) == 0 and list(nothing) == [] and not nothing
    assert nothing.scanned_files == 1


def test_paths_as_pathlib_on_request(tree, tmp_path):
    missing = tmp_path / "gone"
    s = dupfind.Scan([tree.root, missing])
    as_str = s.result(timeout=120)
    as_path = s.result(path_type=Path)
    assert s.result(path_type=Path) is as_path and s.result() is as_str
    for result, kind in ((as_str, str), (as_path, Path)):
        assert all(isinstance(f, kind) for g in result for f in g.files)
        assert all(isinstance(k.path, kind) for k in result.skipped) and result.skipped
    assert [tuple(map(str, g.files)) for g in as_path] == [g.files for g in as_str]
    assert dupfind.Skipped(missing, "root_missing") in as_path.skipped

    from_scan = dupfind.scan(tree.root, path_type=Path)
    assert {g.size: set(g.files) for g in from_scan} == {
        size: {Path(f) for f in files} for size, files in tree.groups().items()
    }
    with pytest.raises(TypeError):
        s.result(path_type=bytes)


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    "leave, progress",
    [
        ("normally", -1),
        ("by an exception", -1),
        # A scan that has finished stays finished, and keeps its result.
        ("after the result", 100),
    ],
)
def test_leaving_the_with_block_cancels_the_scan_and_waits_for_its_end(tmp_path, leave, progress):
    root = build_slow_tree(tmp_path, count=16)
    result = None
    with pytest.raises(Boom) if leave == "by an exception" else nullcontext():
        with dupfind.Scan(root) as s:
            assert isinstance(s, dupfind.Scan)
            if leave == "after the result":
                result = s.result(timeout=120)
            else:
                assert not s.done
            if leave == "by an exception":
                raise Boom
    # Read at once: the block has ended only once the scan has.
    assert s.progress == progress
    if progress == 100:
        assert s.result() is result
    else:
        with pytest.raises(dupfind.ScanCancelled):
            s.result(timeout=0)


def test_cancel_ends_scan_with_library_text(tmp_path):
    s = dupfind.Scan(build_slow_tree(tmp_path, count=16))
    s.cancel()
    with pytest.raises(dupfind.ScanCancelled) as err:
        s.result(timeout=120)
    assert str(err.value) == "cancelled"
    assert isinstance(err.value, dupfind.DupfindError)
    assert s.progress == -1


@pytest.mark.parametrize(
    "roots, message",
    [([], "dirs_json empty"), ([""], "no valid directories")],
)
def test_rejected_request_carries_library_text(roots, message):
    with pytest.raises(dupfind.DupfindError) as err:
        dupfind.Scan(roots)
    assert str(err.value) == message and err.value.message == message


def test_delete_file(tree, tmp_path):
    outside = tmp_path / "outside.txt"
    outside.write_bytes(b"x")
    dupfind.scan(tree.root)

    dupfind.delete_file(tree.reports[1])
    assert not tree.reports[1].exists()
    assert tree.reports[0].read_bytes() == REPORT

    # Each is caught the way Python code catches the built-in error, and is
    # also a DupfindError with the library's text.
    cases = [
        (tree.reports[1], dupfind.PathNotFound, FileNotFoundError, errno.ENOENT, "path not found"),
        (tree.link, dupfind.DeleteRefused, PermissionError, errno.EPERM, "refused: symlink"),
        (tree.root / "docs", dupfind.DeleteRefused, PermissionError, errno.EPERM, "refused: directory"),
        (f"{tree.root}/docs/../docs/report.txt", dupfind.DeleteRefused, PermissionError, errno.EPERM,
         "refused: path contains .."),
        (outside, dupfind.DeleteRefused, PermissionError, errno.EPERM, "refused: outside scanned roots"),
    ]
    for path, kind, builtin, code, message in cases:
        with pytest.raises(builtin) as err:
            dupfind.delete_file(path)
        e = err.value
        assert type(e) is kind and isinstance(e, dupfind.DupfindError), path
        assert str(e) == e.message == message, path
        assert (e.errno, e.filename) == (code, os.fspath(path))
        # It survives the trip to another process (a process pool's result).
        again = pickle.loads(pickle.dumps(e))
        assert (type(again), str(again), again.errno, again.filename) == (kind, message, code, e.filename)
    assert tree.link.is_symlink() and outside.exists() and tree.reports[0].exists()


@pytest.mark.parametrize("path, error", [("", ValueError), (b"", ValueError), (None, TypeError), (3, TypeError)])
def test_delete_file_checks_its_argument_before_the_library(monkeypatch, path, error):
    def no_library():
        raise AssertionError("the library was called")

    monkeypatch.setattr(dupfind, "load_library", no_library)
    with pytest.raises(error):
        dupfind.delete_file(path)


@pytest.mark.parametrize("cut", [lambda p: f"{p}\0.bak", lambda p: os.fsencode(p) + b"\0.bak"], ids=["str", "bytes"])
def test_delete_file_refuses_a_nul_instead_of_deleting_the_shorter_path(tree, cut):
    dupfind.scan(tree.root)  # makes the file removable
    with pytest.raises(ValueError, match="NUL"):
        dupfind.delete_file(cut(tree.reports[1]))
    assert tree.reports[1].read_bytes() == REPORT


@pytest.mark.parametrize(
    "roots, exclude",
    [
        (["{root}/docs\0/../backup"], ()),
        ([b"{root}\0"], ()),
        (["{root}"], ["old\0"]),
    ],
    ids=["root", "root-bytes", "exclude"],
)
def test_scan_refuses_a_nul_in_roots_and_exclude(tree, roots, exclude):
    roots = [r.replace(b"{root}", os.fsencode(tree.root)) if isinstance(r, bytes) else r.format(root=tree.root)
             for r in roots]
    with pytest.raises(ValueError, match="NUL"):
        dupfind.scan(roots, exclude_text=exclude)


def run_python(code: str, env: dict) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", code], env=env, cwd=PACKAGE_DIR, capture_output=True, text=True, timeout=300
    )


def test_scans_left_counts_down_and_the_limit_is_explained(tmp_path):
    # In a process of its own, so that this suite's scans do not count.
    code = f"""
import json, dupfind, dupfind._native
root = {str(tmp_path)!r}
log = {{"start": dupfind.scans_left()}}
try:
    dupfind.Scan([""])
except dupfind.DupfindError as e:
    log["refused"] = str(e)
log["after_refused"] = dupfind.scans_left()
# A start made around the binding takes a slot that the binding cannot see.
log["direct_id"] = dupfind._native.load_library().dupfind_scan_start(json.dumps([root]).encode(), None)
log["after_direct"] = dupfind.scans_left()
log["left"] = []
for _ in range(31):
    dupfind.Scan(root)
    log["left"].append(dupfind.scans_left())
try:
    dupfind.Scan(root)
except dupfind.ScanLimitReached as e:
    log["error"] = str(e)
    log["is_dupfind_error"] = isinstance(e, dupfind.DupfindError)
log["end"] = dupfind.scans_left()
print(json.dumps(log))
"""
    proc = run_python(code, dict(os.environ))
    assert proc.returncode == 0, proc.stderr
    log = json.loads(proc.stdout)
    assert log["start"] == dupfind.SCAN_LIMIT == 32
    # A request the library refuses takes no slot.
    assert log["refused"] == "no valid directories" and log["after_refused"] == 32
    assert log["direct_id"] >= 1 and log["after_direct"] == 32
    assert log["left"] == list(range(31, 0, -1))
    assert "all 32 scans" in log["error"] and "new process" in log["error"]
    assert "concurrent" not in log["error"] and log["is_dupfind_error"]
    assert log["end"] == 0


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.parametrize("finished", [True, False], ids=["finished", "running"])
def test_an_inherited_scan_refuses_every_use_in_a_forked_child(tmp_path, finished):
    # The child has the scan's record but none of the library's threads: a
    # running scan would never end there, and a finished one must not
    # pretend otherwise. Every method raises at once instead.
    if not finished:
        root = build_slow_tree(tmp_path)
    else:
        root = tmp_path / "small"
        root.mkdir()
        (root / "a").write_bytes(b"same")
        (root / "b").write_bytes(b"same")
    s = dupfind.Scan([root])
    if finished:
        s.wait()
    uses = {
        "progress": lambda: s.progress,
        "done": lambda: s.done,
        "wait": lambda: s.wait(timeout=0),
        "result": lambda: s.result(timeout=0),
        "cancel": s.cancel,
        "enter": s.__enter__,
        "exit": lambda: s.__exit__(None, None, None),
    }
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report, then leave without running pytest's exit code
        try:
            os.close(read_end)
            report = {}
            for name, use in uses.items():
                try:
                    use()
                    report[name] = "returned"
                except dupfind.DupfindError as e:
                    report[name] = "refused" if "fork" in str(e) else f"other message: {e}"
                except BaseException as e:  # noqa: BLE001 - every outcome is reported
                    report[name] = f"{type(e).__name__}: {e}"
            report["repr"] = repr(s)
            os.write(write_end, json.dumps(report).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    try:
        with os.fdopen(read_end, "rb") as r:
            # A child that hangs in a use writes nothing and never closes
            # the pipe: give up on it after a while.
            ready, _, _ = select.select([r], [], [], 30)
            if not ready:
                os.kill(pid, 9)
                pytest.fail("the child hung on an inherited scan")
            report = json.loads(r.read().decode())
    finally:
        os.waitpid(pid, 0)
        if not finished:
            s.cancel()
            s.wait()
    assert {k: v for k, v in report.items() if k != "repr"} == {name: "refused" for name in uses}
    assert "fork" in report["repr"]
    # The parent's own use is untouched.
    if finished:
        assert len(s.result().groups) == 1


def hard_link_tree(base: Path) -> Path:
    """pair/a and pair/b: two names of one file; mixed/x and mixed/y two
    names of one file, mixed/z a copy of it (three names, two files)."""
    root = base / "links"
    (root / "pair").mkdir(parents=True)
    (root / "mixed").mkdir()
    (root / "pair" / "a").write_bytes(PHOTO)
    os.link(root / "pair" / "a", root / "pair" / "b")
    (root / "mixed" / "x").write_bytes(REPORT)
    os.link(root / "mixed" / "x", root / "mixed" / "y")
    (root / "mixed" / "z").write_bytes(REPORT)
    return root


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        # As the tool: one name per file, so names of one file form no group.
        ({}, {len(REPORT): (2, [1, 1], len(REPORT))}),
        # Every name on request; names of one file still count once.
        ({"hard_links": True}, {len(REPORT): (3, [2, 1], len(REPORT)), len(PHOTO): (2, [2], 0)}),
    ],
    ids=["default", "every-name"],
)
def test_hard_links_default_and_wasted_bytes_per_group(tmp_path, kwargs, expected):
    root = hard_link_tree(tmp_path)
    result = dupfind.scan(root, **kwargs)
    got = {g.size: (len(g.files), sorted(len(f) for f in g.same_file)[::-1], g.wasted_bytes) for g in result}
    assert got == expected
    for g in result:
        # Each name is in exactly one tuple, and a tuple's names are one file.
        assert sorted(n for f in g.same_file for n in f) == sorted(g.files)
        for names in g.same_file:
            assert len({(os.stat(n).st_dev, os.stat(n).st_ino) for n in names}) == 1
    # Ranking by a group's wasted bytes agrees with the library's total.
    assert sum(g.wasted_bytes for g in result) == result.wasted_bytes
    assert max(result, key=lambda g: g.wasted_bytes).size == len(REPORT)
