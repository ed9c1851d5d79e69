# SPDX-License-Identifier: MIT
"""--interactive: the --keep choice as the answer of Enter, ranges, and the
plan that is shown and confirmed before anything is acted on."""

from __future__ import annotations

import os
import re
import signal
from pathlib import Path

import pytest

from cli_helpers import CONFIRM, PROMPT, confirm
from terminal import Terminal

X = b"the same eleven-byte text, forty times. " * 40
P = b"a photo's bytes " * 50  # smaller: its group comes first


@pytest.fixture
def two_dirs(tmp_path) -> Path:
    """A/x = B/x = B/y = B/z, 1600 B (B/y the newest, A/x the oldest), and
    A/p = B/p, 800 B."""
    for d in ("A", "B"):
        (tmp_path / d).mkdir()
    for i, name in enumerate(("A/x", "B/x", "B/z", "B/y")):
        (tmp_path / name).write_bytes(X)
        os.utime(tmp_path / name, (1_600_000_000 + i * 60,) * 2)
    for name in ("A/p", "B/p"):
        (tmp_path / name).write_bytes(P)
    return tmp_path


def start(cli, *args) -> Terminal:
    return Terminal([cli, "--interactive", "--quiet", *map(str, args)], stdin=True, stdout=True)


def question(term: Terminal) -> tuple:
    """The next group's numbered names and the default the prompt offers."""
    m = term.expect(rf"((?:  \[\d\] [^\r]+\r\n)+)Keep which files\?[^\r\n]*\[([^\]]+)\]: ", timeout=30)
    names = [line.split("] ", 1)[1] for line in m[1].decode().splitlines()]
    return names, m[2].decode()


def remaining(root: Path) -> set:
    return {str(p.relative_to(root)) for p in root.rglob("*") if p.is_file()}


ALL = {"A/x", "B/x", "B/y", "B/z", "A/p", "B/p"}


@pytest.mark.parametrize(
    "args, dirs, answer, default, kept",
    [
        # Enter takes what --delete with the same options would keep.
        (["--keep", "newest"], ["A", "B"], "", "B/y", {"B/y"}),
        (["--keep", "oldest"], ["B", "A"], "", "A/x", {"A/x"}),
        ([], ["A", "B"], "", "A/x", {"A/x"}),  # the first DIR given
        ([], ["B"], "", "all", {"B/x", "B/y", "B/z"}),  # one DIR, no --keep: the policy keeps all
        # Numbers and ranges, whatever the default.
        (["--keep", "newest"], ["A", "B"], "1-2", None, {"A/x", "B/x"}),
        ([], ["A", "B"], "1,3-4", None, {"A/x", "B/y", "B/z"}),
        ([], ["A", "B"], "2-4", None, {"B/x", "B/y", "B/z"}),
    ],
)
def test_enter_takes_the_keep_choice_and_ranges_are_answers(cli, two_dirs, args, dirs, answer, default, kept):
    term = start(cli, *args, *[two_dirs / d for d in dirs])
    if len(dirs) == 2:  # the group of p comes first: all of it is kept
        question(term)
        term.send("s\n")
    names, offered = question(term)
    rel = [str(Path(n).relative_to(two_dirs)) for n in names]
    if default is not None:
        assert offered == (default if default == "all" else str(rel.index(default) + 1))
    term.send(answer + "\n")
    if kept != {n for n in rel}:
        confirm(term)
    assert term.finish() == 0, term.text()
    group = {n for n in rel}
    assert remaining(two_dirs) == (ALL - group) | kept


@pytest.mark.parametrize("reply", ["n", "", "no", None])  # None: end of input
def test_nothing_is_acted_on_until_the_plan_is_confirmed(cli, two_dirs, reply):
    term = start(cli, two_dirs / "A", two_dirs / "B")
    question(term)
    term.send("\n")  # A/p stays, B/p would go
    question(term)
    term.send("1\n")  # A/x stays, the three copies in B would go
    plan = confirm(term, reply) if reply is not None else None
    if reply is None:
        plan = term.expect(CONFIRM) and term.output
        os.write(term.master, b"\x04")  # Ctrl-D: end of input
    assert term.finish() == 0
    assert remaining(two_dirs) == ALL
    text = term.text()
    assert text.endswith("Nothing was changed.\n")
    # The plan names every copy that would go and what it would free.
    plan = plan.decode().replace("\r\n", "\n")
    for name in ("B/p", "B/x", "B/y", "B/z"):
        assert f"  would remove: {two_dirs / name}\n" in plan
    assert "Dry run: 4 files would be removed, 5.5 KiB would be freed" in plan
    assert re.search(r"Remove 4 files\? \[y/N\]: $", plan)


def test_the_confirmed_plan_is_carried_out(cli, two_dirs):
    term = start(cli, two_dirs / "A", two_dirs / "B")
    question(term)
    term.send("\n")
    question(term)
    term.send("1-2\n")
    confirm(term, "y")
    assert term.finish() == 0
    assert remaining(two_dirs) == {"A/x", "B/x", "A/p"}
    assert "3 files removed, 3.9 KiB freed\n" in term.text()


def test_quit_keeps_the_answers_given_and_leaves_the_rest(cli, two_dirs):
    term = start(cli, two_dirs / "A", two_dirs / "B")
    question(term)
    term.send("1\n")
    question(term)
    term.send("q\n")
    confirm(term, "y")
    assert term.finish() == 0
    assert remaining(two_dirs) == ALL - {"B/p"}


def test_a_dry_run_shows_the_plan_and_asks_nothing_more(cli, two_dirs):
    term = start(cli, "--dry-run", two_dirs / "A", two_dirs / "B")
    question(term)
    term.send("\n")
    question(term)
    term.send("\n")
    assert term.finish() == 0
    assert remaining(two_dirs) == ALL
    text = term.text()
    assert "[y/N]" not in text
    assert "Dry run: 4 files would be removed" in text


def test_times_are_shown_beside_the_names(cli, two_dirs):
    term = Terminal(["env", "TZ=UTC0", cli, "--interactive", "--quiet", "--times", two_dirs / "A",
                     two_dirs / "B"], stdin=True, stdout=True)
    question(term)
    term.send("s\n")
    names, _ = question(term)
    assert f"2020-09-13T12:26:40+00:00  {two_dirs / 'A' / 'x'}" in names
    term.proc.send_signal(signal.SIGINT)
    term.finish()
