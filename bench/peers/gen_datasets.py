#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Deterministic generator of the four benchmark datasets.

    gen_datasets.py [--data DIR] [--only a,b,c,d] [--force]

Datasets (each a directory under DIR, default /work/bench-data):
  a_mixed  ~60,000 files in nested directories, heavy-tailed sizes (~1.5 GiB),
           ~15% exact copies in groups of 2-10, and traps: same size with a
           difference past the first 64 KiB, same size and same first 4 KiB with
           a later difference, empty files, symlinks, hard links, names with
           spaces, non-ASCII and leading dots.
  b_large  ~400 files of 1-16 MiB (~3 GiB), ~30% duplicates, pairs that differ
           only in their last byte, same-size files that differ early or late.
  c_4k     50,000 files of exactly 4096 bytes, ~10% duplicates.
  d_usr    a copy of /usr/share and /usr/include (~1 GiB; depends on the
           machine image, so it is the one dataset that is not seeded).

Everything but d_usr is a pure function of the seed: the same files with the
same bytes on every run. Content comes from one seeded random pool that files
take slices of (so writing runs at disk speed), with a per-file id in the first
eight bytes that keeps unrelated files apart, as real files usually are.

A dataset is built under NAME.tmp and renamed when complete; a stamp file
(DIR/stamps/NAME) records the generator version, so a rerun skips finished
datasets unless --force is given.
"""
import argparse
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import time

GEN_VERSION = "1"
SEED = 20240607
KiB = 1024
MiB = 1024 * 1024
POOL_SIZE = 64 * MiB


class Writer:
    """Writes files whose content is an 8-byte id followed by a pool slice,
    with optional single-byte patches; counts files and bytes."""

    def __init__(self, rng):
        self.rng = rng
        self.pool = memoryview(rng.randbytes(POOL_SIZE))
        self.files = 0
        self.bytes = 0

    def content(self, ident, size, off=None):
        """A content recipe: (ident, size, off, patches). The same recipe always
        gives the same bytes."""
        if off is None:
            off = self.rng.randrange(0, POOL_SIZE - size + 1) if size < POOL_SIZE else 0
        return [ident, size, off, []]

    def write(self, path, recipe):
        ident, size, off, patches = recipe
        head = struct.pack("<Q", ident)[: min(8, size)]
        chunks = [head]
        if size > 8:
            chunks.append(self.pool[off + 8: off + size])
        if patches:
            # Materialise only the blocks that carry a patch.
            data = bytearray(b"".join(bytes(c) for c in chunks)) if size <= 4 * MiB else None
            if data is not None:
                for pos, val in patches:
                    data[pos] = val
                chunks = [data]
            else:
                chunks = self._patched_chunks(head, off, size, patches)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            for c in chunks:
                mv = memoryview(c)
                while len(mv):
                    n = os.write(fd, mv)
                    mv = mv[n:]
        finally:
            os.close(fd)
        self.files += 1
        self.bytes += size

    def _patched_chunks(self, head, off, size, patches):
        # Large file with patches: split the pool slice around each patched byte.
        out = [head]
        pos = 8
        for p, val in sorted(patches):
            if p < 8:
                raise ValueError("patch inside the id")
            out.append(self.pool[off + pos: off + p])
            out.append(bytes([val]))
            pos = p + 1
        out.append(self.pool[off + pos: off + size])
        return out


def flip(recipe, writer, pos):
    """A copy of recipe whose byte at pos differs from the original."""
    ident, size, off, patches = recipe
    orig = writer.pool[off + pos] if pos >= 8 else struct.pack("<Q", ident)[pos]
    return [ident, size, off, patches + [(pos, orig ^ 0x5A)]]


def make_dirs(rng, root, n_dirs, max_depth):
    """A nested tree: each new directory hangs below a random earlier one,
    favouring recent ones, which gives deep chains and bushy levels."""
    dirs = [(root, 0)]
    words = ["src", "lib", "docs", "img", "data", "cache", "build", "test", "res", "old",
             "backup", "photos", "music", "notes", "tmp", "work", "archive", "share"]
    for i in range(n_dirs):
        while True:
            k = len(dirs) - 1 - int(len(dirs) * (rng.random() ** 3))
            parent, depth = dirs[max(0, k)]
            if depth < max_depth:
                break
        name = "%s_%d" % (rng.choice(words), i)
        if i % 97 == 0:
            name = "dir with space %d" % i
        elif i % 89 == 0:
            name = "r\u00e9pertoire_%d" % i
        elif i % 211 == 0:
            name = ".hidden_%d" % i
        d = os.path.join(parent, name)
        os.mkdir(d)
        dirs.append((d, depth + 1))
    return [d for d, _ in dirs]


def file_name(rng, i, exts):
    name = "f%06d%s" % (i, rng.choice(exts))
    if i % 101 == 0:
        name = "file %06d copy.txt" % i
    elif i % 103 == 0:
        name = "\u65e5\u672c_%06d.txt" % i
    elif i % 307 == 0:
        name = ".dot_%06d" % i
    return name


def heavy_tail_size(rng):
    # Most files are small (log-normal around 2.5 KiB); one in 40 comes from a
    # Pareto tail from 64 KiB up to 24 MiB.
    if rng.random() < 0.025:
        s = int(64 * KiB * (1.0 - rng.random()) ** (-1.0 / 0.9))
        return min(s, 24 * MiB)
    s = int(math.exp(rng.gauss(math.log(2500), 1.5)))
    return max(1, min(s, 2 * MiB))


def group_size(rng):
    # 2 to 10 members, small groups far more common.
    weights = [1.0 / (k ** 1.6) for k in range(2, 11)]
    return rng.choices(range(2, 11), weights=weights)[0]


def gen_a(root, rng, final_root):
    w = Writer(rng)
    dirs = make_dirs(rng, root, 2500, 9)
    exts = [".txt", ".c", ".h", ".jpg", ".png", ".json", ".log", ".bin", ".md", ".py", ""]
    ident = 0
    placed = []     # paths of regular files written so far

    def pick_dir():
        return dirs[int(len(dirs) * (rng.random() ** 1.5))]

    def put(recipe):
        nonlocal ident
        p = os.path.join(pick_dir(), file_name(rng, ident, exts))
        ident += 1
        w.write(p, recipe)
        placed.append(p)
        return p

    # Exact copies: ~15% of the 60,000 files are members of groups of 2 to 10.
    members = 0
    while members < 9000:
        k = group_size(rng)
        r = w.content(ident, heavy_tail_size(rng))
        for _ in range(k):
            put(r)
        members += k
    # Trap 1: same size, difference past the first 64 KiB (sets of 2 or 3, some
    # with two identical members so that a real group hides among them).
    for t in range(160):
        size = rng.randrange(80 * KiB, 2 * MiB)
        base = w.content(ident, size)
        pos = size - 1 if t % 4 == 0 else rng.randrange(64 * KiB, size)
        put(base)
        put(flip(base, w, pos))
        if t % 3 == 0:
            put(base)
    # Trap 2: same size, same first 4 KiB, a later difference (inside 64 KiB
    # for most, so the partial fingerprint already separates them).
    for t in range(300):
        size = rng.randrange(5 * KiB, 60 * KiB) if t % 5 else rng.randrange(70 * KiB, 200 * KiB)
        base = w.content(ident, size)
        put(base)
        put(flip(base, w, rng.randrange(4 * KiB, size)))
        if t % 7 == 0:
            put(flip(base, w, rng.randrange(4 * KiB, size)))
    # Empty files.
    for _ in range(300):
        put(w.content(ident, 0, 0))
    # The rest: files with their own content (sizes still collide often).
    while w.files < 60000:
        put(w.content(ident, heavy_tail_size(rng)))
    # Hard links to random files (some to copies, some to unique files).
    for i in range(300):
        target = rng.choice(placed)
        os.link(target, os.path.join(pick_dir(), "hardlink_%04d" % i))
    # Symlinks: to files (absolute and relative), to directories, dangling.
    for i in range(400):
        d = pick_dir()
        link = os.path.join(d, "symlink_%04d" % i)
        if i % 20 == 0:
            os.symlink(os.path.join(d, "no_such_target_%d" % i), link)
        elif i % 20 == 1:
            os.symlink(os.path.relpath(pick_dir(), d), link)
        elif i % 2:
            # Absolute links name the tree where it ends up, not the .tmp one.
            os.symlink(final_root + rng.choice(placed)[len(root):], link)
        else:
            os.symlink(os.path.relpath(rng.choice(placed), d), link)
    return w


def gen_b(root, rng, _final_root):
    w = Writer(rng)
    for d in range(8):
        os.mkdir(os.path.join(root, "set%d" % d))
    ident = 0
    n = 0

    def put(recipe):
        nonlocal ident, n
        p = os.path.join(root, "set%d" % rng.randrange(8), "large_%04d.bin" % n)
        n += 1
        ident += 1
        w.write(p, recipe)

    def rand_size():
        return rng.randrange(1 * MiB, 16 * MiB + 1)

    # Duplicates: 45 pairs and 10 triples (120 files, 30%).
    for k in [2] * 45 + [3] * 10:
        r = w.content(ident, rand_size())
        for _ in range(k):
            put(r)
    # Pairs that differ only in their last byte.
    for _ in range(20):
        r = w.content(ident, rand_size())
        put(r)
        put(flip(r, w, r[1] - 1))
    # Pairs of one size that differ in the middle.
    for _ in range(10):
        r = w.content(ident, rand_size())
        put(r)
        put(flip(r, w, r[1] // 2))
    # Files of round sizes that share the size but differ from the start.
    for i in range(30):
        put(w.content(ident, (4 + 4 * (i % 3)) * MiB))
    while n < 400:
        put(w.content(ident, rand_size()))
    return w


def gen_c(root, rng, _final_root):
    w = Writer(rng)
    for d in range(50):
        os.mkdir(os.path.join(root, "d%02d" % d))
    ident = 0
    n = 0

    def put(recipe):
        nonlocal ident, n
        p = os.path.join(root, "d%02d" % rng.randrange(50), "p%05d.dat" % n)
        n += 1
        ident += 1
        w.write(p, recipe)

    members = 0
    while members < 5000:
        k = rng.choices([2, 3, 4, 5], weights=[70, 20, 6, 4])[0]
        r = w.content(ident, 4096)
        for _ in range(k):
            put(r)
        members += k
    while n < 50000:
        put(w.content(ident, 4096))
    return w


def gen_d(root, _rng, _final_root):
    # cp -a keeps symlinks as links and hard links as links.
    for src in ["/usr/share", "/usr/include"]:
        subprocess.run(["cp", "-a", src, os.path.join(root, os.path.basename(src))], check=True)

    class Count:
        files = 0
        bytes = 0
    c = Count()
    for dp, _dn, fn in os.walk(root):
        for f in fn:
            st = os.lstat(os.path.join(dp, f))
            if not os.path.islink(os.path.join(dp, f)):
                c.files += 1
                c.bytes += st.st_size
    return c


DATASETS = {"a": ("a_mixed", gen_a), "b": ("b_large", gen_b), "c": ("c_4k", gen_c), "d": ("d_usr", gen_d)}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default="/work/bench-data")
    ap.add_argument("--only", default="a,b,c,d")
    ap.add_argument("--force", action="store_true")
    args = ap.parse_args()
    os.makedirs(os.path.join(args.data, "stamps"), exist_ok=True)
    for key in args.only.split(","):
        name, fn = DATASETS[key]
        final = os.path.join(args.data, name)
        stamp = os.path.join(args.data, "stamps", name)
        want = "%s seed=%d\n" % (GEN_VERSION, SEED)
        if not args.force and os.path.isdir(final) and os.path.exists(stamp) and open(stamp).read() == want:
            print("%s: up to date" % name)
            continue
        tmp = final + ".tmp"
        for p in (tmp, final):
            if os.path.lexists(p):
                shutil.rmtree(p)
        if os.path.exists(stamp):
            os.remove(stamp)
        os.makedirs(tmp)
        t = time.time()
        # One generator per dataset, so each is reproducible on its own.
        rng = random.Random("%d/%s" % (SEED, name))
        w = fn(tmp, rng, final)
        os.rename(tmp, final)
        with open(stamp, "w") as f:
            f.write(want)
        print("%s: %d files, %.2f GiB in %.1f s" % (name, w.files, w.bytes / 2**30, time.time() - t))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
