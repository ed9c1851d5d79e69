#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a tree of many small files for the scale and cache benchmarks.

The tree is a function of (--seed, --files): two runs write the same paths
with the same bytes. Files are numbered 0..N-1 and laid out in blocks of one
million (DIR/b00, DIR/b01, ...), each block with its own duplicates, so that
the first k blocks are a tree of k million files on their own: a scan of
DIR/b00 DIR/b01 is the 2-million case of the 10-million tree.

Within a block, files sit 200 to a leaf directory, 50 leaves to a middle one
(DIR/bNN/mMMM/lLL/fIIIIIII). Sizes are small and heavy-tailed (most fit in
an inode with inline data), so that many files share a size without sharing
content; about 15% of the files are copies of an earlier file of the same
block (groups of 2 to 5), and about 2% are traps: a same-size rewrite of an
earlier file that differs only in its last byte.

Usage: gen_tree.py DIR --files N [--seed S] [--force]
An existing DIR with a matching DIR/.gen_tree stamp is left alone.
"""

import argparse
import os
import random
import shutil
import sys

BLOCK = 1_000_000
PER_LEAF = 200
LEAVES_PER_MID = 50
POOL_BYTES = 1 << 20


def size_for(rng):
    r = rng.random()
    if r < 0.02:
        return 0
    if r < 0.70:
        return rng.randint(1, 120)  # stored inline on a file system that can
    if r < 0.95:
        return rng.randint(121, 1024)
    if r < 0.995:
        return rng.randint(1025, 16384)
    return rng.randint(16385, 262144)


def content(pool, key, size):
    # A slice of the shared random pool chosen by the key, with the key's
    # bytes in front: distinct keys give distinct contents from 8 bytes on,
    # while tiny files collide now and then as real ones do.
    if size == 0:
        return b""
    head = key.to_bytes(8, "little")
    off = (key * 2654435761) % (POOL_BYTES - size)
    body = head + pool[off : off + max(0, size - 8)]
    return body[:size]


def path_of(root, i):
    block, k = divmod(i, BLOCK)
    leaf_no = k // PER_LEAF
    mid, leaf = divmod(leaf_no, LEAVES_PER_MID)
    return os.path.join(root, "b%02d" % block, "m%03d" % mid, "l%02d" % leaf, "f%07d" % i)


def plan_block(seed, block, count):
    """(size, key, flip_last) per file of one block."""
    rng = random.Random(seed * 1000 + block)
    base = block * BLOCK
    plan = []
    i = 0
    while i < count:
        r = rng.random()
        if i > 0 and r < 0.06:
            # A copy group: 2 to 5 files of one earlier file's content,
            # spread over the block so that copies sit in other directories.
            src = rng.randrange(0, i)
            n = rng.randint(2, 5)
            size, key, flip = plan[src]
            for _ in range(n):
                if i >= count:
                    break
                plan.append((size, key, flip))
                i += 1
            continue
        if i > 0 and r < 0.08:
            src = rng.randrange(0, i)
            size, key, flip = plan[src]
            if size > 0:
                plan.append((size, key, not flip))
                i += 1
                continue
        plan.append((size_for(rng), base + i, False))
        i += 1
    # Shuffle so that copies are not neighbours.
    rng.shuffle(plan)
    return plan


def write_tree(root, files, seed, progress):
    pool = random.Random(seed).randbytes(POOL_BYTES)
    made_dirs = set()
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
    for block in range((files + BLOCK - 1) // BLOCK):
        count = min(BLOCK, files - block * BLOCK)
        plan = plan_block(seed, block, count)
        for k, (size, key, flip) in enumerate(plan):
            i = block * BLOCK + k
            p = path_of(root, i)
            d = os.path.dirname(p)
            if d not in made_dirs:
                os.makedirs(d, exist_ok=True)
                made_dirs.add(d)
            data = content(pool, key, size)
            if flip:
                data = data[:-1] + bytes([data[-1] ^ 0x5A])
            fd = os.open(p, flags, 0o644)
            try:
                os.write(fd, data)
            finally:
                os.close(fd)
            if progress and (i + 1) % 100_000 == 0:
                print("%d files" % (i + 1), file=sys.stderr, flush=True)
        made_dirs.clear()
        if progress:
            print("block b%02d done" % block, file=sys.stderr, flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("dir")
    ap.add_argument("--files", type=int, required=True)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--force", action="store_true", help="remove DIR first")
    ap.add_argument("--quiet", action="store_true")
    a = ap.parse_args()
    stamp = os.path.join(a.dir, ".gen_tree")
    want = "files=%d seed=%d\n" % (a.files, a.seed)
    if os.path.exists(stamp) and not a.force:
        with open(stamp) as f:
            if f.read() == want:
                print("%s: already generated" % a.dir, file=sys.stderr)
                return 0
        print("%s: generated with other settings; use --force" % a.dir, file=sys.stderr)
        return 1
    if a.force and os.path.exists(a.dir):
        shutil.rmtree(a.dir)
    os.makedirs(a.dir, exist_ok=True)
    write_tree(a.dir, a.files, a.seed, not a.quiet)
    # The stamp is a dot file, so a scan that passes over hidden names does
    # not see it; it is written last, so a partial tree has none.
    with open(stamp, "w") as f:
        f.write(want)
    return 0


if __name__ == "__main__":
    sys.exit(main())
