# SPDX-License-Identifier: MIT
"""Small trees with known duplicates, shared by the binding's tests and the
command-line tool's end-to-end tests."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List

# Contents. PHOTO is longer than the 64 KiB that the quick fingerprint reads;
# PHOTO_TWIN agrees with it there and in size and differs only in its last
# byte, so that only a full comparison tells them apart.
REPORT = (b"quarterly report, all figures in thousands\n" * 100)[:3000]
PHOTO = bytes((i * 7 + i // 251) % 256 for i in range(70000))
PHOTO_TWIN = PHOTO[:-1] + bytes([PHOTO[-1] ^ 0xFF])
UNIQUE = b"a file like no other\n"

# What a scan with the default options finds in the tree.
WASTED_BYTES = 2 * len(REPORT) + len(PHOTO)
SCANNED_FILES = 7  # three reports, two photos, the twin, the unique file
SKIPPED = 3  # two empty files (below_min_size) and a link (symlink)


@dataclass
class Tree:
    root: Path
    reports: List[Path] = field(default_factory=list)
    photos: List[Path] = field(default_factory=list)
    twin: Path = Path()
    unique: Path = Path()
    empties: List[Path] = field(default_factory=list)
    link: Path = Path()

    def groups(self) -> Dict[int, set]:
        """The expected groups: size -> set of paths (as strings)."""
        return {
            len(REPORT): {str(p) for p in self.reports},
            len(PHOTO): {str(p) for p in self.photos},
        }

    def untouched(self) -> Dict[Path, bytes]:
        """Files that no removal may touch, with their contents."""
        return {self.twin: PHOTO_TWIN, self.unique: UNIQUE, **{e: b"" for e in self.empties}}


def _write(path: Path, data: bytes) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def build_tree(base: Path) -> Tree:
    """Creates the tree under base/tree and describes it.

    tree/docs/report.txt, tree/docs/old/report.txt, tree/backup/report-copy.txt
        three copies of REPORT (the shortest path is docs/report.txt)
    tree/photos/img.bin, tree/backup/photos/img.bin
        two copies of PHOTO (the shortest path is photos/img.bin)
    tree/photos/twin.bin      PHOTO_TWIN
    tree/notes/unique.txt     UNIQUE
    tree/notes/empty1.txt, tree/notes/empty2.txt   empty
    tree/docs/link.txt        symbolic link to report.txt
    """
    root = base / "tree"
    t = Tree(root=root)
    t.reports = [
        _write(root / "docs" / "report.txt", REPORT),
        _write(root / "docs" / "old" / "report.txt", REPORT),
        _write(root / "backup" / "report-copy.txt", REPORT),
    ]
    t.photos = [
        _write(root / "photos" / "img.bin", PHOTO),
        _write(root / "backup" / "photos" / "img.bin", PHOTO),
    ]
    t.twin = _write(root / "photos" / "twin.bin", PHOTO_TWIN)
    t.unique = _write(root / "notes" / "unique.txt", UNIQUE)
    t.empties = [_write(root / "notes" / "empty1.txt", b""), _write(root / "notes" / "empty2.txt", b"")]
    t.link = root / "docs" / "link.txt"
    os.symlink("report.txt", t.link)
    return t


def build_slow_tree(base: Path, count: int = 64, size: int = 32 << 20) -> Path:
    """A tree that takes a while to compare: `count` sparse files of one size
    that agree in their first 64 KiB and differ in their last bytes, so every
    one is read whole. Sparse files cost no disk space."""
    root = base / "slow"
    root.mkdir()
    for i in range(count):
        with open(root / f"part{i:03d}.bin", "wb") as f:
            f.truncate(size)
            f.seek(size - 8)
            f.write(i.to_bytes(8, "little"))
    return root
