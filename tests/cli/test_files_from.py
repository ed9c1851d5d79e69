# SPDX-License-Identifier: MIT
"""--files-from and --from0: the paths of a list scanned as if given as DIRs."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path

import pytest

from cli_helpers import as_nobody, run


@pytest.fixture
def photos(tmp_path) -> Path:
    """P holds a.jpg = b.jpg = c.jpg, d.png = e.png, and in sub/ f.jpg = a.jpg."""
    root = tmp_path / "P"
    (root / "sub").mkdir(parents=True)
    for name in ("a.jpg", "b.jpg", "c.jpg", "sub/f.jpg"):
        (root / name).write_bytes(b"jpeg" * 50)
    for name in ("d.png", "e.png"):
        (root / name).write_bytes(b"png" * 70)
    return root


def listing(cli, *args, stdin: bytes = b"") -> tuple:
    """The groups of the fdupes listing as sets of names, and the run."""
    proc = subprocess.run([cli, "-q", "--format", "fdupes", *map(str, args)], input=stdin,
                          capture_output=True, timeout=300)
    groups = [frozenset(Path(p.decode()).name for p in g.split(b"\n") if p)
              for g in proc.stdout.split(b"\n\n") if g.strip()]
    return set(groups), proc


@pytest.mark.parametrize(
    "text, from0",
    [
        ("{a}\n{b}\n{d}\n{e}\n", False),
        ("{a}\r\n\r\n{b}\r\n{d}\r\n{e}", False),  # CRLF, an empty line, no end after the last
        ("\n\n{a}\n{b}\n\n{d}\n{e}\n\n", False),
        ("{a}\0{b}\0{d}\0{e}\0", True),
        ("{a}\0\0{b}\0{d}\0{e}", True),
    ],
    ids=["lines", "crlf", "empty-lines", "nul", "nul-empty"],
)
@pytest.mark.parametrize("source", ["stdin", "file"])
def test_listed_paths_are_scanned_and_nothing_else(cli, photos, tmp_path, text, from0, source):
    text = text.format(**{k: photos / f"{k}.{'png' if k in 'de' else 'jpg'}" for k in "abde"}).encode()
    extra = ["--from0"] if from0 else []
    if source == "file":
        (tmp_path / "list").write_bytes(text)
        groups, proc = listing(cli, "--files-from", tmp_path / "list", *extra)
    else:
        groups, proc = listing(cli, "--files-from", "-", *extra, stdin=text)
    assert proc.returncode == 0, proc.stderr
    assert groups == {frozenset({"a.jpg", "b.jpg"}), frozenset({"d.png", "e.png"})}


def test_a_list_goes_with_dirs_and_may_name_directories(cli, photos, tmp_path):
    (tmp_path / "Q").mkdir()
    (tmp_path / "Q" / "g.png").write_bytes(b"png" * 70)
    text = f"{photos / 'sub'}\n{photos / 'd.png'}\n".encode()
    groups, proc = listing(cli, tmp_path / "Q", "--files-from", "-", photos / "a.jpg", stdin=text)
    assert proc.returncode == 0, proc.stderr.decode()
    assert groups == {frozenset({"a.jpg", "f.jpg"}), frozenset({"d.png", "g.png"})}


def test_from0_takes_names_byte_for_byte(cli, tmp_path):
    # A line break and a trailing carriage return are parts of these names,
    # which only a NUL-separated list can carry.
    root = tmp_path / "N"
    root.mkdir()
    names = ["two\nlines", "ends in cr\r", " spaced "]
    for n in names:
        (root / n).write_bytes(b"same content")
    text = b"".join(bytes(root / n) + b"\0" for n in names)
    proc = subprocess.run([cli, "--json", "--files-from", "-", "--from0"], input=text, capture_output=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert sorted(doc["groups"][0]["files"]) == sorted(str(root / n) for n in names)
    assert doc["skipped"] == []


def test_a_list_of_print0_output_without_from0_is_refused(cli, photos):
    text = f"{photos / 'a.jpg'}\0{photos / 'b.jpg'}\0".encode()
    groups, proc = listing(cli, "--files-from", "-", stdin=text)
    assert proc.returncode == 2 and proc.stdout == b""
    assert b"--from0" in proc.stderr and proc.stderr.count(b"\n") == 1


@pytest.mark.parametrize(
    "make, why",
    [
        (lambda d: d / "missing", "No such file or directory"),
        (lambda d: d, "Is a directory"),
        # The name is quoted as a shell reads it: the message stays one line.
        (lambda d: d / "a\nb", "'$'\\n''b': No such file or directory"),
    ],
    ids=["missing", "directory", "line feed in the name"],
)
def test_a_list_that_cannot_be_read_is_a_usage_error(cli, photos, tmp_path, make, why):
    proc = run(cli, "--files-from", make(tmp_path), photos)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("dupfind: ") and why in proc.stderr and proc.stderr.count("\n") == 1


def test_a_list_the_user_may_not_read_is_a_usage_error(cli, photos, tmp_path):
    secret = tmp_path / "list"
    secret.write_text(f"{photos / 'a.jpg'}\n")
    secret.chmod(0o600)
    proc = run(cli, "--files-from", secret, photos, preexec_fn=as_nobody)
    assert proc.returncode == 2 and proc.stdout == ""
    assert "Permission denied" in proc.stderr and proc.stderr.count("\n") == 1


@pytest.mark.parametrize(
    "args, stdin, why",
    [
        (["--from0", "DIR"], "", "--from0 needs --files-from"),
        (["--files-from", "-"], "\n\n", "no directory given"),  # an empty list and no DIR
        (["--files-from", "-"], "\udcff\n", "line 1 is not valid UTF-8"),
        (["--files-from=", "DIR"], "", "--files-from needs a value"),
    ],
)
def test_files_from_usage_errors(cli, photos, args, stdin, why):
    proc = subprocess.run([cli, *[str(photos) if a == "DIR" else a for a in args]],
                          input=stdin.encode("utf-8", "surrogateescape"), capture_output=True, timeout=300)
    assert proc.returncode == 2 and proc.stdout == b""
    assert why.encode() in proc.stderr and proc.stderr.count(b"\n") == 1
