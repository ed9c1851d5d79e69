# SPDX-License-Identifier: MIT
"""The tool on a terminal: the progress bar, Ctrl-C and --interactive."""

from __future__ import annotations

import re
import signal

import pytest

from cli_helpers import CONFIRM, PROMPT, _linked_pair, ask, confirm
from fixture_tree import PHOTO, REPORT, build_slow_tree
from terminal import Terminal


def test_ctrl_c_cancels_the_scan_and_exits_130(cli, tmp_path):
    term = Terminal([cli, build_slow_tree(tmp_path)], stderr=True)
    term.expect(r"\[[#.]{30}\] +\d+% comparing")  # the progress bar, on the terminal
    term.proc.send_signal(signal.SIGINT)
    assert term.finish() == 130
    assert "dupfind: interrupted during the scan; nothing was changed\n" in term.text()
    assert term.proc.stdout.read() == b""


def test_progress_bar_on_a_terminal_unless_quiet(cli, tmp_path):
    root = build_slow_tree(tmp_path, count=16, size=16 << 20)
    term = Terminal([cli, root], stderr=True)
    assert term.finish() == 0
    text = term.text()
    bars = re.findall(r"(.{0,4})\[[#.]{30}\] +\d+% (?:starting|walking|comparing|writing results), \d+:\d\d elapsed",
                      text)
    assert bars
    # Every redraw clears the line first, so that no letters of a longer
    # line before are left behind.
    assert all(b == "\r\x1b[K" for b in bars), bars
    assert text.endswith("\r\x1b[K")  # the bar's line is cleared at the end

    for quiet in ("--quiet", "-q"):
        term = Terminal([cli, quiet, root], stderr=True)
        assert term.finish() == 0
        assert term.output == b"", quiet


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
    confirm(term)
    assert term.finish() == 0

    assert [p.exists() for p in reports] == [True, False, True]
    assert all(p.read_bytes() == PHOTO for p in photos)
    assert reports[0].read_bytes() == REPORT and reports[2].read_bytes() == REPORT
    assert "1 file removed, 2.9 KiB freed\n" in term.text()
    assert "because of a problem" not in term.text()


def test_interactive_rechecks_each_copy_before_removing(cli, tree):
    term = Terminal([cli, "--interactive", "--quiet", tree.root], stdin=True, stdout=True)
    reports = ask(term, "1/2", "2.9 KiB", 3)
    term.send("1\n")
    photos = ask(term, "2/2", "68.4 KiB", 2)
    term.send("1\n")
    term.expect(CONFIRM)
    # After the plan was shown: one copy changes within its size, and the
    # file to be kept goes away, leaving one copy.
    reports[2].write_bytes(REPORT[:-1] + b"!")
    photos[0].unlink()
    term.send("y\n")
    assert term.finish() == 1

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
    if survivors != {"m-copy", "z-copy"}:  # a plan with something to remove asks first
        confirm(term)
    assert term.finish() == (1 if reasons else 0)

    assert link.is_symlink() and outside.read_bytes() == REPORT
    assert {n for n in ("m-copy", "z-copy") if (root / n).exists()} == survivors
    assert all((root / n).read_bytes() == REPORT for n in survivors)
    out = term.text()
    for name, why in reasons.items():
        assert f"  {root / name}: {why.format(**{'a-link': link})}\n" in out
    if reasons:
        assert re.search(f"{len(reasons)} file{'' if len(reasons) == 1 else 's'} (would be )?kept because of a problem",
                         out)
    else:
        assert "because of a problem" not in out


def test_interactive_asks_nothing_when_the_question_cannot_be_shown(cli, tree, full_output):
    term = Terminal([cli, "--interactive", "--quiet", tree.root], stdin=True, stdout=full_output)
    term.send("1\n1\n")  # typed ahead: answers to questions never shown
    assert term.finish() == 1
    assert term.proc.stderr.read() == b"dupfind: write error: No space left on device\n"
    assert all(p.read_bytes() == REPORT for p in tree.reports)
    assert all(p.read_bytes() == PHOTO for p in tree.photos)


@pytest.mark.parametrize("at", ["question", "confirmation"])
def test_interactive_ctrl_c_before_the_confirmation_changes_nothing(cli, tree, at):
    term = Terminal([cli, "--interactive", "--quiet", tree.root], stdin=True, stdout=True)
    reports = ask(term, "1/2", "2.9 KiB", 3)
    term.send("2\n")
    ask(term, "2/2", "68.4 KiB", 2)
    if at == "confirmation":
        term.send("1\n")
        term.expect(CONFIRM)
    term.proc.send_signal(signal.SIGINT)
    assert term.finish() == 130
    assert all(p.read_bytes() == REPORT for p in reports)
    assert all(p.read_bytes() == PHOTO for p in tree.photos)
    assert "removed:" not in term.text()


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
    # Nothing to remove: no confirmation is asked for.
    assert "0 files would be removed" in term.text() and term.text().endswith("Nothing was changed.\n")
