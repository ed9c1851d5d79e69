# SPDX-License-Identifier: MIT
"""How dupfind --ui starts and ends: the options it refuses, Ctrl-C and the
idle time-out."""

import signal
import subprocess

import pytest

from conftest import start_ui


@pytest.mark.parametrize("args,message", [
    (["--no-browser"], "--no-browser needs --ui"),
    (["--idle-timeout", "5"], "--idle-timeout needs --ui"),
    (["--ui", "--delete"], "cannot be combined with --delete"),
    (["--ui", "--link"], "cannot be combined with --link"),
    (["--ui", "--interactive"], "cannot be combined with --interactive"),
    (["--ui", "--dry-run", "--reflink"], "cannot be combined with --dry-run"),
    (["--ui", "--format", "csv"], "cannot be combined with --format csv"),
    (["--ui", "--summary"], "cannot be combined with --summary"),
    (["--ui", "--idle-timeout", "soon"], "invalid count for --idle-timeout"),
])
def test_usage_errors(cli, tree, args, message):
    r = subprocess.run([cli, *args, str(tree.root)], capture_output=True, text=True, timeout=30)
    assert r.returncode == 2 and message in r.stderr, r.stderr
    assert r.stdout == ""


def test_ctrl_c_ends_it_with_the_interrupted_status(cli, tree):
    ui = start_ui(cli, str(tree.root))
    ui.proc.send_signal(signal.SIGINT)
    assert ui.proc.wait(timeout=30) == 130


def test_the_idle_time_out_ends_it(cli, tree):
    ui = start_ui(cli, "--idle-timeout", "1", str(tree.root))
    assert ui.proc.wait(timeout=30) == 0
    assert "idle time-out" in ui.proc.stderr.read()
