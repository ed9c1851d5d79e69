# SPDX-License-Identifier: MIT
"""The manual page and the shell completions agree with the tool's help."""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

from cli_helpers import REPO, help_options, run


COMPLETIONS = REPO / "cli" / "completions"


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
