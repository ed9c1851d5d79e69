# SPDX-License-Identifier: MIT
"""Runs a command with some of its standard streams on a pseudo-terminal, for
the parts of the tool that behave differently on a terminal."""

from __future__ import annotations

import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import termios
import time
from typing import IO, Sequence, Union


class Terminal:
    def __init__(self, argv: Sequence[str], *, stdin: bool = False, stdout: Union[bool, IO] = False,
                 stderr: bool = False):
        """A stream given as True is on the terminal; stdout may also be an
        open file."""
        self.master, slave = pty.openpty()
        # Wide enough that no line of the tool wraps.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 250, 0, 0))
        self.proc = subprocess.Popen(
            [str(a) for a in argv],
            stdin=slave if stdin else subprocess.DEVNULL,
            stdout=slave if stdout is True else (stdout or subprocess.PIPE),
            stderr=slave if stderr else subprocess.PIPE,
        )
        os.close(slave)
        self.output = b""  # everything the terminal received
        self._pos = 0
        self._eof = False

    def _read(self, timeout: float) -> bool:
        """Waits up to timeout for output; True when some was read."""
        if self._eof or not select.select([self.master], [], [], timeout)[0]:
            return False
        try:
            data = os.read(self.master, 65536)
        except OSError:  # EIO once the last writer has gone
            data = b""
        if not data:
            self._eof = True
            return False
        self.output += data
        return True

    def expect(self, pattern: Union[str, bytes], timeout: float = 120) -> re.Match:
        """Waits for the pattern in output not yet matched and moves past it."""
        rx = re.compile(pattern.encode() if isinstance(pattern, str) else pattern, re.S)
        deadline = time.monotonic() + timeout
        while True:
            m = rx.search(self.output, self._pos)
            if m:
                self._pos = m.end()
                return m
            left = deadline - time.monotonic()
            if self._eof or left <= 0:
                raise AssertionError(f"no {pattern!r} on the terminal; it shows: {self.output!r}")
            self._read(min(left, 0.5))

    def send(self, text: str) -> None:
        os.write(self.master, text.encode())

    def finish(self, timeout: float = 120) -> int:
        """Waits for the command to end and collects the rest of its output.
        Returns its exit status."""
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            self._read(0.1)
        while self._read(0.1):
            pass
        try:
            rc = self.proc.wait(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        finally:
            os.close(self.master)
        return rc

    def text(self) -> str:
        """The terminal's output with its line ends as the tool wrote them."""
        return self.output.decode("utf-8", "replace").replace("\r\n", "\n")
