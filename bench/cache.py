#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The rescan cache of dupfind: what it costs and whether it is right.

Timing mode (default), for the trees given:
  find            `find DIR... > /dev/null`, the walk alone
  find+stat       `find DIR... -printf '%s %T@'`, the walk with a status per file
  uncached        `dupfind --json DIR...`
  cached first    `dupfind --cache=FILE --json DIR...` with no cache file yet
  cached rescan   the same again, nothing changed
  1% changed      the same after rewriting 1% of the files (chosen from
                  --seed) with their own bytes: new modification times,
                  same content, so the tree still has its groups
each --runs times, warm, and with --cold also after dropping the page cache
(as root: sync; echo 3 > /proc/sys/vm/drop_caches) before every run. The
groups of every dupfind run are compared with those of the uncached scan.

Correctness mode (--check N): writes a tree of N files with gen_tree.py into
a scratch directory (--scratch, removed afterwards), then --rounds times
applies random edits, renames, truncations, appends, deletions, new copies
and same-size rewrites whose modification time is set back to the old one,
and compares the groups of a cached rescan with those of an uncached scan.

Without --cache in `dupfind --help` the cached parts are reported as not
available and the rest is still measured. Exit status 1 when groups differ.

  python3 bench/cache.py /work/bench-data/tree1m/b00 [--cold] [--runs 3]
  python3 bench/cache.py --check 20000 --rounds 5
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def has_cache(dupfind):
    out = subprocess.run([dupfind, "--help"], capture_output=True, text=True).stdout
    return "--cache" in out


def drop_caches():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def timed(cmd, cold, out_path=None):
    """Wall seconds and peak RSS (KiB, from /usr/bin/time) of cmd."""
    if cold:
        drop_caches()
    with tempfile.NamedTemporaryFile("r", suffix=".time") as tf:
        out = open(out_path, "wb") if out_path else subprocess.DEVNULL
        try:
            t0 = time.perf_counter()
            r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", tf.name] + cmd, stdout=out)
            sec = time.perf_counter() - t0
        finally:
            if out_path:
                out.close()
        if r.returncode != 0:
            raise SystemExit("%s failed with %d" % (" ".join(cmd[:3]), r.returncode))
        return sec, int(tf.read().split()[-1])


def groups_of(path):
    with open(path) as f:
        doc = json.load(f)
    return sorted(sorted(g["files"]) for g in doc.get("groups", []))


def files_below(dirs):
    out = []
    for d in dirs:
        for root, _, names in os.walk(d):
            out.extend(os.path.join(root, n) for n in names)
    out.sort()
    return out


def touch_rewrite(paths):
    """Rewrites each file with its own bytes: a new mtime, the same content."""
    for p in paths:
        with open(p, "rb") as f:
            data = f.read()
        with open(p, "wb") as f:
            f.write(data)


def timing(a):
    dupfind = a.dupfind
    cached = has_cache(dupfind)
    if not cached:
        print("note: %s has no --cache: the cached runs are not available" % dupfind, file=sys.stderr)
    scratch = tempfile.mkdtemp(prefix="dupfind-cache-bench.")
    cache = os.path.join(scratch, "cache")
    out = os.path.join(scratch, "out.json")
    rows = []
    bad = False
    try:
        files = files_below(a.dirs)
        rng = random.Random(a.seed)
        changed = rng.sample(files, max(1, len(files) // 100)) if files else []
        modes = [False] + ([True] if a.cold else [])
        for cold in modes:
            temp = "cold" if cold else "warm"
            if not cold:
                timed(["find"] + a.dirs, False)  # fill the cache of the walk once
            for run in range(a.runs):
                t, _ = timed(["find"] + a.dirs, cold)
                rows.append((temp, "find", t, None))
                t, _ = timed(["find"] + a.dirs + ["-printf", "%s %T@\n"], cold)
                rows.append((temp, "find+stat", t, None))
                t, rss = timed([dupfind, "--json"] + a.dirs, cold, out)
                rows.append((temp, "uncached", t, rss))
                want = groups_of(out)
                if not cached:
                    continue
                if os.path.exists(cache):
                    os.remove(cache)
                for label in ("cached first", "cached rescan"):
                    t, rss = timed([dupfind, "--cache=" + cache, "--json"] + a.dirs, cold, out)
                    rows.append((temp, label, t, rss))
                    if groups_of(out) != want:
                        print("groups differ: %s, %s run %d" % (label, temp, run), file=sys.stderr)
                        bad = True
                touch_rewrite(changed)
                t, rss = timed([dupfind, "--cache=" + cache, "--json"] + a.dirs, cold, out)
                rows.append((temp, "1%% changed (%d files)" % len(changed), t, rss))
                if groups_of(out) != want:
                    print("groups differ: 1%% changed, %s run %d" % (temp, run), file=sys.stderr)
                    bad = True
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print("trees: %s (%d files); dupfind: %s; %s" % (" ".join(a.dirs), len(files), dupfind,
                                                     time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
    print()
    print("| page cache | run | median seconds | x find | peak RSS MiB |")
    print("|---|---|---:|---:|---:|")
    for temp in ("warm", "cold"):
        base = None
        labels = []
        for r in rows:
            if r[0] == temp and r[1] not in labels:
                labels.append(r[1])
        for label in labels:
            ts = sorted(r[2] for r in rows if r[0] == temp and r[1] == label)
            med = ts[len(ts) // 2]
            if label == "find":
                base = med
            rss = [r[3] for r in rows if r[0] == temp and r[1] == label and r[3] is not None]
            ratio = "%.2f" % (med / base) if base else "-"
            print("| %s | %s | %.2f | %s | %s |" % (temp, label, med, ratio,
                                                  "%.1f" % (max(rss) / 1024) if rss else "-"))
    return 1 if bad else 0


def mutate(rng, root, files, log):
    """One random change of the tree; returns the new list of files."""
    p = rng.choice(files)
    kind = rng.choice(["edit", "rename", "truncate", "append", "delete", "copy", "same_size_back"])
    st = os.stat(p)
    if kind == "edit" and st.st_size > 0:
        with open(p, "r+b") as f:
            f.seek(rng.randrange(st.st_size))
            f.write(bytes([rng.randrange(256)]))
    elif kind == "rename":
        q = os.path.join(os.path.dirname(rng.choice(files)), "renamed-%d" % rng.randrange(1 << 30))
        if os.path.exists(q):
            return files
        os.rename(p, q)
        files = [x for x in files if x != p] + [q]
    elif kind == "truncate" and st.st_size > 0:
        os.truncate(p, rng.randrange(st.st_size))
    elif kind == "append":
        with open(p, "ab") as f:
            f.write(b"x")
    elif kind == "delete":
        os.remove(p)
        files = [x for x in files if x != p]
    elif kind == "copy":
        src = rng.choice(files)
        q = src + ".copy%d" % rng.randrange(1 << 30)
        shutil.copyfile(src, q)
        files = files + [q]
    elif kind == "same_size_back" and st.st_size > 0:
        # The same size and, set back, the same modification time: only the
        # content tells that the file changed.
        data = bytearray(open(p, "rb").read())
        data[rng.randrange(len(data))] ^= 0xFF
        with open(p, "wb") as f:
            f.write(data)
        os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns))
    else:
        return files
    log.append("%s %s" % (kind, os.path.relpath(p, root)))
    return files


def check(a):
    dupfind = a.dupfind
    if not has_cache(dupfind):
        print("%s has no --cache: the cached rescan cannot be checked" % dupfind, file=sys.stderr)
        return 2
    scratch = tempfile.mkdtemp(prefix="dupfind-cache-check.", dir=a.scratch)
    bad = False
    try:
        root = os.path.join(scratch, "tree")
        subprocess.run([sys.executable, os.path.join(HERE, "gen_tree.py"), root, "--files", str(a.check),
                        "--seed", str(a.seed), "--quiet"], check=True)
        dirs = [os.path.join(root, d) for d in sorted(os.listdir(root)) if not d.startswith(".")]
        cache = os.path.join(scratch, "cache")
        out = os.path.join(scratch, "out.json")
        rng = random.Random(a.seed)
        files = files_below(dirs)
        subprocess.run([dupfind, "--cache=" + cache, "--json"] + dirs, stdout=subprocess.DEVNULL)
        for rnd in range(a.rounds):
            log = []
            for _ in range(a.changes):
                files = mutate(rng, root, files, log)
            subprocess.run([dupfind, "--json"] + dirs, stdout=open(out, "wb"))
            want = groups_of(out)
            subprocess.run([dupfind, "--cache=" + cache, "--json"] + dirs, stdout=open(out, "wb"))
            got = groups_of(out)
            status = "same groups" if got == want else "GROUPS DIFFER"
            print("round %d: %d changes, %d groups: %s" % (rnd + 1, len(log), len(want), status))
            if got != want:
                bad = True
                gs, ws = set(map(tuple, got)), set(map(tuple, want))
                for g in sorted(ws - gs)[:5]:
                    print("  missing from the cached rescan:", list(g))
                for g in sorted(gs - ws)[:5]:
                    print("  only in the cached rescan:", list(g))
                print("  changes:", "; ".join(log[:20]))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if bad else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("dirs", nargs="*")
    ap.add_argument("--dupfind", default="build-test-release/cli/dupfind")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cold", action="store_true", help="also cold runs (root)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--check", type=int, metavar="N", help="correctness mode on a scratch tree of N files")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--changes", type=int, default=50, help="random changes per round")
    ap.add_argument("--scratch", default=None, help="where the scratch tree goes (default: the system's temp)")
    a = ap.parse_args()
    if not os.access(a.dupfind, os.X_OK):
        ap.error("no dupfind at %s" % a.dupfind)
    if a.check:
        return check(a)
    if not a.dirs:
        ap.error("give the trees to time, or --check N")
    return timing(a)


if __name__ == "__main__":
    sys.exit(main())
