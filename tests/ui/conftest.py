# SPDX-License-Identifier: MIT
"""The page of dupfind --ui: a tree with real images, text and files that
must never be shown inline, and a running `dupfind --ui --no-browser` on it
whose printed address (with its secret) the tests read."""

import os
import re
import signal
import struct
import subprocess
import zlib
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import urlsplit, parse_qs

import pytest


def png(width: int, height: int, rgb: tuple[int, int, int]) -> bytes:
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    rows = b"".join(b"\0" + bytes(rgb) * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def bmp(width: int, height: int, bgr: tuple[int, int, int]) -> bytes:
    row = bytes(bgr) * width
    row += b"\0" * ((4 - len(row) % 4) % 4)
    pixels = row * height
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(pixels), 0, 0, 14 + len(header)) + header + pixels


def wav() -> bytes:
    """A tenth of a second of a 440 Hz tone, 8-bit mono."""
    import math
    samples = bytes(int(128 + 60 * math.sin(2 * math.pi * 440 * i / 8000)) for i in range(800))
    fmt = struct.pack("<HHIIHH", 1, 1, 8000, 8000, 1, 8)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(samples)) + samples
    return b"RIFF" + struct.pack("<I", len(body)) + body


@dataclass
class UiTree:
    root: Path
    images: int  # image files in groups: each must show as a thumbnail
    groups: int


def make_tree(root: Path) -> UiTree:
    """photos/ holds the originals, backup/ a copy of each."""
    files = {
        "sunset.png": png(64, 48, (250, 120, 30)),
        "forest.png": png(40, 60, (20, 140, 40)),
        "sea.bmp": bmp(50, 30, (200, 90, 10)),
        "chime.wav": wav(),
        "notes.txt": b"<script>document.title='owned'</script>\n<b>bold?</b>\nthird line\n",
        # Markup that must never be rendered: an SVG and a page named as an image.
        "drawing.svg": b'<svg xmlns="http://www.w3.org/2000/svg"><script>alert(1)</script></svg>',
        "fake.png": b"<html><script>alert(1)</script></html>",
    }
    for sub in ("photos", "backup"):
        (root / sub).mkdir(parents=True)
        for name, data in files.items():
            (root / sub / name).write_bytes(data)
    return UiTree(root, images=6, groups=len(files))


@dataclass
class Ui:
    proc: subprocess.Popen
    url: str
    port: int
    key: str
    cookie: str  # "dupfind_<port>=<key>"


def start_ui(cli: str, *args: str) -> Ui:
    proc = subprocess.Popen([cli, "--ui", "--no-browser", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    line = proc.stdout.readline()
    m = re.search(r"(http://\S+)", line)
    if not m:
        proc.kill()
        raise AssertionError(f"no address printed: {line!r} {proc.stderr.read()!r}")
    url = m.group(1)
    port = urlsplit(url).port
    key = parse_qs(urlsplit(url).query)["key"][0]
    return Ui(proc, url, port, key, f"dupfind_{port}={key}")


def stop_ui(ui: Ui) -> None:
    if ui.proc.poll() is None:
        ui.proc.send_signal(signal.SIGINT)
        try:
            ui.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            ui.proc.kill()
            ui.proc.wait()


@pytest.fixture(scope="session")
def cli() -> str:
    path = os.environ.get("DUPFIND_CLI", "")
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"dupfind executable not found at {path!r}; set DUPFIND_CLI")
    return path


@pytest.fixture
def tree(tmp_path: Path) -> UiTree:
    return make_tree(tmp_path / "t")


@pytest.fixture
def ui(cli, tree):
    u = start_ui(cli, "--keep", "first", str(tree.root / "photos"), str(tree.root / "backup"))
    yield u
    stop_ui(u)
