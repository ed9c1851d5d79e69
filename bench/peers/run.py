#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times `dupfind --json DIR` against jdupes, rmlint, rdfind and fdupes on the
benchmark datasets, checks that every tool found the same duplicate sets, and
writes a Markdown report.

    bench/peers/run.py                      # everything: warm and cold, 4 datasets
    bench/peers/run.py --mode warm --datasets a,c --runs 5
    bench/peers/run.py --check-only         # correctness check, no timing

Steps: install missing peers with apt-get, generate the datasets (skipped when
up to date), build the CLI in build-bench if it is missing, compute the
brute-force answer of each dataset once (cached next to the data), then per
dataset and mode: warm-up runs, the correctness check on the outputs of the
first run, and the measured rounds. Each round runs every tool once, in an
order rotated from round to round; each run is one process whose wall time,
user and system CPU and peak RSS come from wait4() in a small fork helper
process (runone.cpp), the read byte counts from /proc/PID/io. A run during which other
processes used more than --max-noise of a core (from /proc/stat, minus the
run's own CPU) is repeated, up to three times, because the machine is shared.

Cold mode syncs and drops the page cache, dentries and inodes before every run
(needs root) and gives rmlint --without-fiemap, as in warm mode.

Floors: `find DIR -type f -printf '%s\\n'` (the metadata walk); one read of
every byte of every file that shares its size with another file; and two
single-process floors that walk the tree and then read, in inode order:
  needed: the first 4 KiB of every file that shares its size and the whole of
          every duplicate;
  exact:  what any correct answer must read: the whole of every duplicate,
          and of every other file that shares its size enough 4 KiB blocks to
          pass its first difference with each file of its size.
"""
import argparse
import datetime
import hashlib
import json
import math
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from collections import defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import gen_datasets  # noqa: E402

DATASET_NAMES = {k: v[0] for k, v in gen_datasets.DATASETS.items()}
DATASET_TITLES = {
    "a": "mixed tree (60k files, 1.5 GiB)",
    "b": "large files (400 x 1-16 MiB)",
    "c": "50k files of 4 KiB",
    "d": "copy of /usr/share + /usr/include",
}
PEERS = ["jdupes", "rmlint", "rdfind", "fdupes"]
TOOLS = ["dupfind"] + PEERS
FLOORS = ["floor_walk", "floor_samesize", "floor_needed", "floor_exact"]
FIRST_BLOCK = 4096
TRUTH_VERSION = "t3"
CLK_TCK = os.sysconf("SC_CLK_TCK")


# ---------------------------------------------------------------- commands

def tool_command(tool, root, scratch, ctx, mode):
    """(argv, stdout file, the file that holds the tool's answer). Every peer
    only reports: none is given an option that deletes or links anything."""
    out = os.path.join(scratch, tool + ".out")
    if tool == "dupfind":
        return [ctx.dupfind, "--json", root], out, out
    if tool == "jdupes":
        return ["jdupes", "-r", "-q", root], out, out
    if tool == "fdupes":
        # -n: empty files are not candidates, as in every other tool here.
        return ["fdupes", "-r", "-q", "-n", root], out, out
    if tool == "rdfind":
        res = os.path.join(scratch, "rdfind-results.txt")
        return ["rdfind", "-dryrun", "true", "-outputname", res, root], out, res
    if tool == "rmlint":
        # Duplicates only (no other lint), hidden files too, symlinks ignored
        # (as dupfind does by default), no extent mapping (slow on this disk).
        res = os.path.join(scratch, "rmlint.fdupes")
        return ["rmlint", "-T", "df", "--hidden", "-F", "--without-fiemap",
                "-o", "fdupes:" + res, root], out, res
    if tool == "floor_walk":
        return ["find", root, "-type", "f", "-printf", "%s\\n"], out, None
    if tool == "floor_samesize":
        return [ctx.readfloor, ctx.lists[root]["samesize"]], out, None
    if tool == "floor_needed":
        return [ctx.readfloor, "--walk", root, ctx.lists[root]["needed"]], out, None
    if tool == "floor_exact":
        return [ctx.readfloor, "--walk", root, ctx.lists[root]["exact"]], out, None
    raise ValueError(tool)


# ---------------------------------------------------------------- measuring

def cpu_busy_ticks():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    # user nice system idle iowait irq softirq steal
    return v[0] + v[1] + v[2] + v[5] + v[6] + v[7]


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def wait_quiet(ctx):
    """Waits until other processes use less than --max-noise of a core."""
    deadline = time.time() + ctx.quiet_timeout
    while True:
        b0 = cpu_busy_ticks()
        time.sleep(0.5)
        busy = (cpu_busy_ticks() - b0) / CLK_TCK / 0.5
        if busy <= ctx.max_noise or time.time() > deadline:
            return busy
        time.sleep(2)


def run_once(argv, stdout_path, cwd, cold, ctx):
    if cold:
        drop_caches()
    busy0 = cpu_busy_ticks()
    t0 = time.perf_counter()
    p = subprocess.run([ctx.runone, stdout_path, stdout_path + ".err", cwd] + argv,
                       capture_output=True, text=True, check=True)
    elapsed = time.perf_counter() - t0
    busy1 = cpu_busy_ticks()
    wall, user, sys_, rss, rc, rchar, syscr, disk = p.stdout.split()
    wall, user, sys_ = float(wall), float(user), float(sys_)
    cpu = user + sys_
    # CPU that others used while the run went on (the harness itself sleeps).
    other = max(0.0, (busy1 - busy0) / CLK_TCK - cpu) / max(elapsed, 1e-6)
    return {"wall": wall, "user": user, "sys": sys_, "cpu": cpu, "rss_kib": int(rss), "rc": int(rc),
            "noise": other, "rchar": int(rchar), "read_calls": int(syscr), "disk_read": int(disk)}


OK_RC = {"rmlint": (0, 1)}  # rmlint exits 1 when it found lint


def measure(tool, root, scratch, ctx, mode, timed=True):
    """One run; when timed, it starts on a quiet machine and is repeated (up
    to three times) when other work was busy during it, keeping the quietest
    attempt."""
    argv, stdout_path, _ = tool_command(tool, root, scratch, ctx, mode)
    best = None
    for attempt in range(4 if timed else 1):
        if timed:
            wait_quiet(ctx)
        r = run_once(argv, stdout_path, scratch, mode == "cold", ctx)
        if r["rc"] not in OK_RC.get(tool, (0,)):
            err = open(stdout_path + ".err", "rb").read().decode("utf-8", "replace")[-2000:]
            raise SystemExit("%s failed (exit %d) on %s:\n%s" % (" ".join(argv), r["rc"], root, err))
        r["retries"] = attempt
        if best is None or r["noise"] < best["noise"]:
            best = r
        if r["noise"] <= ctx.max_noise:
            break
    return best


# ---------------------------------------------------------------- answers

def read_all(path):
    with open(path, "rb") as f:
        return f.read()


def common_prefix(x, y):
    """Length of the common prefix of two byte strings of equal length."""
    n, k, step = len(x), 0, 1 << 16
    while k < n and x[k:k + step] == y[k:k + step]:
        k += step
    if k >= n:
        return n
    lo, hi = k, min(n, k + step)  # the first difference lies in [lo, hi)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if x[lo:mid] == y[lo:mid]:
            lo = mid
        else:
            hi = mid
    return lo if x[lo] != y[lo] else hi


def brute_force(root):
    """Duplicate groups by size, then by the complete bytes (the members of
    a size run are read whole and compared as byte strings). Regular files of
    at least one byte, symlinks not followed, hard links counted as files of
    their own. Also, per file that shares its size, the bytes that any correct
    answer must read of it: all of a duplicate, and of any other file enough
    4 KiB blocks to pass its first difference with every file of its size."""
    by_size = defaultdict(list)
    inode = {}
    n_files = 0
    path_bytes = 0
    for dp, dns, fns in os.walk(root):
        for name in fns + dns:
            p = os.path.join(dp, name)
            st = os.lstat(p)
            if not (st.st_mode & 0o170000) == 0o100000 or st.st_size < 1:
                continue
            n_files += 1
            path_bytes += len(os.fsencode(p)) + 1
            by_size[st.st_size].append(p)
            inode[p] = st.st_ino
    groups = []
    samesize = []
    for size, paths in by_size.items():
        if len(paths) < 2:
            continue
        by_content = defaultdict(list)
        for p in paths:
            by_content[read_all(p)].append(p)
        distinct = sorted(by_content)
        # In sorted order, the longest common prefix with any other content
        # is the one with a neighbour.
        for i, c in enumerate(distinct):
            members = by_content[c]
            if len(members) >= 2:
                groups.append(sorted(members))
                need = size
            else:
                lcp = max(common_prefix(c, distinct[j]) for j in (i - 1, i + 1) if 0 <= j < len(distinct))
                need = min(size, -(-(lcp + 1) // FIRST_BLOCK) * FIRST_BLOCK)
            for p in members:
                samesize.append([size, p, len(members) >= 2, need, inode[p]])
    groups.sort()
    # Inode order follows the disk layout closely on ext4: the floors read in
    # that order, the best a single reader can do with a cold cache.
    samesize.sort(key=lambda e: e[4])
    return {"groups": groups, "n_files": n_files, "path_bytes": path_bytes, "samesize": samesize}


def truth_for(key, ctx):
    name = DATASET_NAMES[key]
    root = os.path.join(ctx.data, name)
    stamp_path = os.path.join(ctx.data, "stamps", name)
    stamp = "%s %s %d" % (TRUTH_VERSION, open(stamp_path).read().strip(), os.stat(stamp_path).st_mtime_ns)
    cache = os.path.join(ctx.data, "truth", name + ".json")
    if os.path.exists(cache):
        with open(cache) as f:
            t = json.load(f)
        if t.get("stamp") == stamp:
            return t
    print("  brute force answer for %s ..." % name, flush=True)
    t = brute_force(root)
    t["stamp"] = stamp
    os.makedirs(os.path.dirname(cache), exist_ok=True)
    with open(cache + ".tmp", "w") as f:
        json.dump(t, f)
    os.rename(cache + ".tmp", cache)
    return t


def write_lists(root, truth, scratch):
    def dump(path, recs):
        with open(path, "wb") as f:
            for length, p in recs:
                f.write(str(length).encode() + b"\0" + os.fsencode(p) + b"\0")
    lists = {
        "samesize": [(-1, p) for _s, p, _d, _n, _i in truth["samesize"]],
        "needed": [(-1 if d else min(s, FIRST_BLOCK), p) for s, p, d, _n, _i in truth["samesize"]],
        "exact": [(n, p) for _s, p, _d, n, _i in truth["samesize"]],
    }
    out = {}
    for name, recs in lists.items():
        out[name] = os.path.join(scratch, name + ".list")
        dump(out[name], recs)
    return out


def floor_bytes(truth):
    ss = truth["samesize"]
    return {"samesize": sum(e[0] for e in ss),
            "needed": sum(e[0] if e[2] else min(e[0], FIRST_BLOCK) for e in ss),
            "exact": sum(e[3] for e in ss)}


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "surrogateescape")


def parse_answer(tool, path):
    """The tool's duplicate sets as lists of paths."""
    if tool == "dupfind":
        doc = json.loads(read_text(path))
        return [g["files"] for g in doc["groups"]], doc
    text = read_text(path)
    if tool in ("jdupes", "fdupes", "rmlint"):
        groups, cur = [], []
        for line in text.split("\n"):
            if line == "":
                if cur:
                    groups.append(cur)
                cur = []
            else:
                cur.append(line)
        if cur:
            groups.append(cur)
        return groups, None
    if tool == "rdfind":
        by_id = defaultdict(list)
        for line in text.split("\n"):
            if not line or line.startswith("#"):
                continue
            f = line.split(" ", 7)
            by_id[abs(int(f[1]))].append(f[7])
        return list(by_id.values()), None
    raise ValueError(tool)


def inode_sets(groups):
    """Hard links are one file to jdupes, fdupes and rdfind and several to
    dupfind and rmlint: compare the sets of inodes, dropping sets that hold
    one inode only (a file and its hard links, nothing else)."""
    out = set()
    for g in groups:
        ids = set()
        for p in g:
            st = os.lstat(p)
            ids.add((st.st_dev, st.st_ino))
        if len(ids) >= 2:
            out.add(frozenset(ids))
    return out


def check_dataset(key, root, truth, scratch, ctx, outputs):
    """Rows for the check table; raises nothing, records disagreements."""
    rows = []
    truth_paths = set(frozenset(g) for g in truth["groups"])
    truth_inodes = inode_sets(truth["groups"])
    ours_groups, doc = parse_answer("dupfind", outputs["dupfind"])
    ours_paths = [frozenset(os.path.normpath(p) for p in g) for g in ours_groups]
    problems = []
    if set(ours_paths) != truth_paths:
        problems.append("groups differ from brute force: %d missing, %d extra"
                        % (len(truth_paths - set(ours_paths)), len(set(ours_paths) - truth_paths)))
    if len(ours_paths) != len(set(ours_paths)):
        problems.append("a group is reported twice")
    if any(len(g) != len(set(g)) for g in ours_groups):
        problems.append("a path is listed twice in one group")
    wasted = 0
    for g in doc["groups"]:
        sizes = {os.lstat(p).st_size for p in g["files"]}
        if sizes != {g["size"]}:
            problems.append("group size %d does not match its files" % g["size"])
            break
        wasted += g["size"] * (len(g["files"]) - 1)
    if wasted != doc["wasted_bytes"]:
        problems.append("wasted_bytes %d, expected %d" % (doc["wasted_bytes"], wasted))
    if doc["scanned_files"] != truth["n_files"]:
        problems.append("scanned_files %d, expected %d" % (doc["scanned_files"], truth["n_files"]))
    ours_inodes = inode_sets(ours_groups)
    rows.append({"tool": "dupfind", "groups": len(ours_groups), "inode_groups": len(ours_inodes),
                 "files": sum(len(g) for g in ours_groups),
                 "verdict": "equal to brute force" if not problems else "; ".join(problems),
                 "ok": not problems})
    for tool in PEERS:
        if tool not in outputs:
            continue
        groups, _ = parse_answer(tool, outputs[tool])
        groups = [[os.path.normpath(p) for p in g] for g in groups]
        theirs = inode_sets(groups)
        if theirs == ours_inodes:
            verdict, ok = "same sets as dupfind", True
        else:
            missing = ours_inodes - theirs
            extra = theirs - ours_inodes
            verdict = "differs: %d of dupfind's sets missing, %d extra" % (len(missing), len(extra))
            verdict += "; the peer's sets are %s the brute-force answer" % (
                "equal to" if theirs == truth_inodes else "not equal to")
            ok = False
        rows.append({"tool": tool, "groups": len(groups), "inode_groups": len(theirs),
                     "files": sum(len(g) for g in groups), "verdict": verdict, "ok": ok})
    return rows


# ---------------------------------------------------------------- set-up

def ensure_peers(no_install):
    missing = [t for t in PEERS if shutil.which(t) is None]
    if missing and not no_install:
        print("installing", " ".join(missing), flush=True)
        cmd = ["apt-get", "install", "-y", "-q", "--no-install-recommends"] + missing
        if subprocess.run(cmd).returncode != 0:
            subprocess.run(["apt-get", "update", "-q"], check=True)
            subprocess.run(cmd, check=True)
    return [t for t in PEERS if shutil.which(t)]


def tool_version(tool, ctx):
    try:
        if tool == "dupfind":
            argv = [ctx.dupfind, "--version"]
        else:
            argv = [tool, "--version"]
        out = subprocess.run(argv, capture_output=True, text=True, timeout=10)
        text = (out.stdout or out.stderr).strip().splitlines()
        return text[0] if text else "?"
    except Exception:  # a missing --version must not stop the benchmark
        return "?"


def ensure_dupfind(path):
    if path and os.path.exists(path):
        return path
    build = os.path.join(REPO, "build-bench")
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release"], check=True)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "dupfind"], check=True)
    path = os.path.join(build, "cli", "dupfind")
    if not os.path.exists(path):
        raise SystemExit("no dupfind CLI at " + path)
    return path


def build_helper(scratch, name):
    exe = os.path.join(scratch, name)
    subprocess.run(["g++", "-O2", "-std=c++20", "-Wall", "-Wextra", "-pthread", "-o", exe,
                    os.path.join(HERE, name + ".cpp")], check=True)
    return exe


# ---------------------------------------------------------------- report

def fmt_s(x):
    return "%.3f" % x if x < 10 else "%.2f" % x


def summarise(samples):
    walls = [s["wall"] for s in samples]
    return {"median": statistics.median(walls), "min": min(walls), "max": max(walls),
            "cpu": statistics.median([s["cpu"] for s in samples]),
            "user": statistics.median([s["user"] for s in samples]),
            "sys": statistics.median([s["sys"] for s in samples]),
            "rss_mib": max(s["rss_kib"] for s in samples) / 1024.0,
            "read_mib": statistics.median([s["rchar"] for s in samples]) / 2**20,
            "disk_mib": statistics.median([s["disk_read"] for s in samples]) / 2**20,
            "n": len(samples), "retries": sum(s["retries"] for s in samples),
            "noise": max(s["noise"] for s in samples)}


FLOOR_LABELS = {
    "floor_walk": "floor: walk (`find`)",
    "floor_samesize": "floor: read all same-size files",
    "floor_needed": "floor: walk + first 4 KiB + whole duplicates",
    "floor_exact": "floor: walk + bytes any answer needs",
}


def geomean(xs):
    return math.exp(sum(math.log(x) for x in xs) / len(xs)) if xs else float("nan")



def scale_summary():
    """The "## Summary" section of bench/SCALE.md, as lines, so that this
    report repeats the figures measured there instead of copying them."""
    path = os.path.join(HERE, "..", "SCALE.md")
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return ["(bench/SCALE.md is missing)"]
    lines, inside = [], False
    for line in text.splitlines():
        if line.startswith("## "):
            if inside:
                break
            inside = line.strip() == "## Summary"
            continue
        if inside:
            lines.append(line)
    while lines and not lines[-1].strip():
        lines.pop()
    while lines and not lines[0].strip():
        lines.pop(0)
    return lines or ["(bench/SCALE.md has no summary)"]

def report(ctx, results, checks, info, modes, keys, syscalls):
    L = []
    L.append("# Speed against the peers")
    L.append("")
    L.append("Generated by `python3 bench/peers/run.py` (see README.md beside this file) on %s." % info["date"])
    L.append("Machine: %s, %d cores, %.0f GiB memory, kernel %s, data on %s (rotational=%s)."
             % (info["cpu"], info["cores"], info["mem_gib"], info["kernel"], info["fs"], info["rotational"]))
    L.append("Tools: " + "; ".join("%s (`%s`)" % (t, v) for t, v in info["versions"].items()) + ".")
    L.append("")
    L.append("Each figure: %d measured runs per tool after %d warm-up run(s), tools alternating round by round. "
             "Wall time: median (min, max); CPU = user+sys, median; peak RSS, max; read MiB = bytes returned "
             "by read calls, median; disk MiB = bytes fetched from the disk, median. "
             "`x dupfind` = peer median / dupfind median (above 1: dupfind is faster)."
             % (ctx.runs, ctx.warmup))
    L.append("")
    L.append("| dataset | files | GiB | files sharing a size | their MiB | first 4 KiB + whole duplicates, MiB "
             "| bytes any answer needs, MiB |")
    L.append("|---|---:|---:|---:|---:|---:|---:|")
    for k in keys:
        d = info["datasets"][k]
        fb = d["floor_bytes"]
        L.append("| %s: %s | %d | %.2f | %d | %.0f | %.0f | %.0f |" % (
            k, DATASET_TITLES[k], d["files"], d["gib"], d["samesize_files"], fb["samesize"] / 2**20,
            fb["needed"] / 2**20, fb["exact"] / 2**20))
    for mode in modes:
        cold = mode == "cold"
        L.append("")
        L.append("## %s" % ("Cold page cache (dropped before every run)" if cold else "Warm page cache"))
        L.append("")
        L.append("| dataset | tool | wall s | min | max | CPU s | peak RSS MiB | read MiB |%s x dupfind |"
                 % (" disk MiB |" if cold else ""))
        L.append("|---|---|---:|---:|---:|---:|---:|---:|%s---:|" % ("---:|" if cold else ""))
        for k in keys:
            r = results[mode][k]
            ours = r["dupfind"]["median"]
            for tool in TOOLS + FLOORS:
                if tool not in r:
                    continue
                x = r[tool]
                ratio = "%.2f" % (x["median"] / ours) if tool in PEERS else ""
                name = "**dupfind**" if tool == "dupfind" else FLOOR_LABELS.get(tool, tool)
                L.append("| %s | %s | %s | %s | %s | %s | %.1f | %.0f |%s %s |" % (
                    k, name, fmt_s(x["median"]), fmt_s(x["min"]), fmt_s(x["max"]), fmt_s(x["cpu"]),
                    x["rss_mib"], x["read_mib"], (" %.0f |" % x["disk_mib"]) if cold else "", ratio))
        L.append("")
        L.append("Targets, %s:" % mode)
        L.append("")
        vs_jdupes = []
        for k in keys:
            r = results[mode][k]
            ours = r["dupfind"]["median"]
            peers = {t: r[t]["median"] for t in PEERS if t in r}
            best = min(peers, key=peers.get) if peers else None
            lead = all(ours < v for v in peers.values())
            if "jdupes" in r:
                vs_jdupes.append(ours / r["jdupes"]["median"])
            fl = []
            for f in ("floor_needed", "floor_exact"):
                if f in r:
                    fl.append("%.2f x %s" % (ours / r[f]["median"], "the first-4-KiB floor" if f == "floor_needed"
                                             else "the any-answer floor"))
            L.append("- %s: dupfind %s s, fastest peer %s %s s: %s%s." % (
                k, fmt_s(ours), best, fmt_s(peers[best]) if best else "-",
                "**dupfind leads**" if lead else "**dupfind does not lead**",
                ("; dupfind takes " + ", ".join(fl)) if fl else ""))
        if vs_jdupes:
            L.append("- geometric mean of dupfind / jdupes: %.2f%s." % (
                geomean(vs_jdupes), " (target: at most 0.7)" if mode == "warm" else ""))
        noisy = sorted({"%s/%s" % (k, t) for k in keys for t, x in results[mode][k].items()
                        if x["noise"] > ctx.max_noise})
        retries = sum(x["retries"] for k in keys for x in results[mode][k].values())
        L.append("- machine: %d run(s) repeated because other processes were busy; %s." % (
            retries, "no run kept with other processes above %.0f%% of a core" % (ctx.max_noise * 100)
            if not noisy else "runs kept although still noisy: " + ", ".join(noisy)))
    if "warm" in modes:
        L.append("")
        L.append("## Memory")
        L.append("")
        L.append("Memory and time from 1 to 10 million files, and the rescan cache: see "
                 "[../SCALE.md](../SCALE.md) (bench/scale.sh, bench/cache.py). Its summary:")
        L.append("")
        L.extend(scale_summary())
        L.append("")
        L.append("dupfind's peak RSS (warm runs) minus its peak RSS on an empty directory (%.1f MiB), per "
                 "collected file; the target is 150 bytes plus the bytes of the file's path." % info["base_rss_mib"])
        L.append("The reading threads' buffers do not grow with the number of files (up to 8 threads for "
                 "the first blocks, one 64 KiB block each; one thread per processor, at least 2, for whole "
                 "files, each with a buffer of 1 MiB: 16 blocks of 64 KiB, or two of 256 KiB for a pair of "
                 "large files): on a tree of few files they are most of the figure.")
        L.append("")
        L.append("| dataset | files | mean path bytes | MiB above base | bytes per file above base | target |")
        L.append("|---|---:|---:|---:|---:|---:|")
        for k in keys:
            d = info["datasets"][k]
            rss = results["warm"][k]["dupfind"]["rss_mib"] - info["base_rss_mib"]
            mean_path = d["path_bytes"] / d["files"]
            L.append("| %s | %d | %.0f | %.1f | %.0f | %.0f |" % (k, d["files"], mean_path, rss,
                                                                rss * 1048576 / d["files"], 150 + mean_path))
    if syscalls:
        L.append("")
        L.append("## System calls per collected file")
        L.append("")
        L.append("From one `strace -f -c` run per tool and dataset (warm), divided by the number of regular "
                 "files of at least one byte.")
        L.append("")
        L.append("| dataset | tool | open | stat | read | getdents | close | other | total |")
        L.append("|---|---|---:|---:|---:|---:|---:|---:|---:|")
        for k in keys:
            n = info["datasets"][k]["files"]
            for tool in TOOLS:
                c = syscalls.get(k, {}).get(tool)
                if not c:
                    continue
                L.append("| %s | %s | %s | %.2f |" % (k, tool, " | ".join(
                    "%.2f" % (c[g] / n) for g in ("open", "stat", "read", "getdents", "close", "other")),
                    sum(c.values()) / n))
    L.append("")
    L.append("## Same answers")
    L.append("")
    L.append("dupfind's groups are compared path for path with a brute-force answer (files grouped by size, "
             "then by their complete bytes; regular files of at least one byte, symlinks not followed, hard "
             "links as files of their own), together with `wasted_bytes` and `scanned_files`; its output is "
             "also byte-identical across all its runs. Peers are compared with dupfind as sets of inodes: "
             "jdupes, fdupes and rdfind do not treat two hard links of one file as duplicates of each other "
             "(fdupes and rdfind report one of them; jdupes lists both when a separate copy matches them), "
             "while dupfind and rmlint list every path. A set made of one file and its own hard links only is "
             "dropped on every side.")
    L.append("")
    L.append("| dataset | tool | groups | paths | inode sets | verdict |")
    L.append("|---|---|---:|---:|---:|---|")
    for k in keys:
        for row in checks.get(k, []):
            L.append("| %s | %s | %d | %d | %d | %s |" % (k, row["tool"], row["groups"], row["files"],
                                                       row["inode_groups"], row["verdict"]))
    L.append("")
    return "\n".join(L)


SYSCALL_GROUPS = {
    "open": ("open", "openat", "openat2"),
    "stat": ("stat", "lstat", "fstat", "newfstatat", "statx", "fstatat64"),
    "read": ("read", "pread64", "readv", "preadv", "preadv2"),
    "getdents": ("getdents", "getdents64"),
    "close": ("close",),
}


def syscall_profile(tool, root, scratch, ctx):
    """Calls per syscall group from one run under strace -f -c."""
    argv, stdout_path, _ = tool_command(tool, root, scratch, ctx, "warm")
    trace = os.path.join(scratch, "strace.txt")
    with open(stdout_path, "wb") as out:
        subprocess.run(["strace", "-f", "-c", "-o", trace] + argv, stdout=out, stderr=subprocess.DEVNULL,
                       cwd=scratch)
    counts = dict.fromkeys(list(SYSCALL_GROUPS) + ["other"], 0)
    for line in open(trace):
        f = line.split()
        if len(f) < 5 or not f[3].isdigit() or f[-1] == "total":
            continue
        name, calls = f[-1], int(f[3])
        if name in ("clock_nanosleep", "nanosleep"):
            continue  # a host's polling, not work on files
        g = next((g for g, names in SYSCALL_GROUPS.items() if name in names), "other")
        counts[g] += calls
    return counts


def machine_info(ctx, keys, truths, versions):
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) / 1048576
    dev = subprocess.run(["df", "--output=source", ctx.data], capture_output=True, text=True).stdout.split()[-1]
    rot = "?"
    base = os.path.basename(dev)
    if os.path.exists("/sys/block/%s/queue/rotational" % base):
        rot = open("/sys/block/%s/queue/rotational" % base).read().strip()
    fs = subprocess.run(["df", "--output=fstype", ctx.data], capture_output=True, text=True).stdout.split()[-1]
    ds = {}
    for k in keys:
        t = truths[k]
        gib = sum(os.lstat(os.path.join(dp, f)).st_size for dp, _, fs_ in os.walk(os.path.join(ctx.data, DATASET_NAMES[k]))
                  for f in fs_ if not os.path.islink(os.path.join(dp, f))) / 2**30
        ds[k] = {"files": t["n_files"], "path_bytes": t["path_bytes"], "gib": gib,
                 "samesize_files": len(t["samesize"]), "floor_bytes": floor_bytes(t)}
    return {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "cpu": cpu, "cores": os.cpu_count(),
            "mem_gib": mem, "kernel": platform.release(), "fs": "%s %s" % (fs, dev), "rotational": rot,
            "versions": versions, "datasets": ds}


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default="/work/bench-data")
    ap.add_argument("--datasets", default="a,b,c,d")
    ap.add_argument("--mode", choices=["warm", "cold", "both"], default="both")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--warmup", type=int, default=1)
    ap.add_argument("--tools", default=",".join(TOOLS))
    ap.add_argument("--no-floors", action="store_true")
    ap.add_argument("--dupfind", default=os.path.join(REPO, "build-bench", "cli", "dupfind"))
    ap.add_argument("--max-noise", type=float, default=0.25,
                    help="repeat a run when other processes used more than this share of a core")
    ap.add_argument("--quiet-timeout", type=float, default=300,
                    help="wait at most this many seconds for a quiet machine before each run")
    ap.add_argument("--no-syscalls", action="store_true", help="skip the strace -c count of system calls")
    ap.add_argument("--check-only", action="store_true")
    ap.add_argument("--no-check", action="store_true")
    ap.add_argument("--no-install", action="store_true")
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    ap.add_argument("--raw", default=None, help="also write every sample as JSON here")
    ctx = ap.parse_args()

    keys = ctx.datasets.split(",")
    modes = ["warm", "cold"] if ctx.mode == "both" else [ctx.mode]
    available = ensure_peers(ctx.no_install)
    tools = [t for t in ctx.tools.split(",") if t == "dupfind" or t in available]
    subprocess.run([sys.executable, os.path.join(HERE, "gen_datasets.py"), "--data", ctx.data,
                    "--only", ",".join(keys)], check=True)
    ctx.dupfind = ensure_dupfind(ctx.dupfind)
    scratch_base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    scratch = tempfile.mkdtemp(prefix="dupbench-", dir=scratch_base)
    try:
        ctx.readfloor = build_helper(scratch, "readfloor")
        ctx.runone = build_helper(scratch, "runone")
        truths = {k: truth_for(k, ctx) for k in keys}
        ctx.lists = {}
        for k in keys:
            root = os.path.join(ctx.data, DATASET_NAMES[k])
            d = os.path.join(scratch, "lists-" + k)
            os.makedirs(d)
            ctx.lists[root] = write_lists(root, truths[k], d)
        versions = {t: tool_version(t, ctx) for t in tools}
        info = machine_info(ctx, keys, truths, versions)
        empty = os.path.join(scratch, "empty")
        os.makedirs(empty)
        base = [run_once([ctx.dupfind, "--json", empty], os.path.join(scratch, "base.out"), scratch, False, ctx)
                for _ in range(3)]
        info["base_rss_mib"] = min(b["rss_kib"] for b in base) / 1024.0

        checks, results, raw, syscalls = {}, {m: {} for m in modes}, {m: {} for m in modes}, {}
        all_ok = True
        for k in keys:
            root = os.path.join(ctx.data, DATASET_NAMES[k])
            tdir = {t: os.path.join(scratch, "run-" + t) for t in tools + FLOORS}
            for d in tdir.values():
                os.makedirs(d, exist_ok=True)
            # Warm-up runs; the first one's outputs are checked.
            print("[%s] warm-up and check" % DATASET_NAMES[k], flush=True)
            outputs = {}
            for w in range(max(1, ctx.warmup)):
                for t in tools:
                    r = measure(t, root, tdir[t], ctx, "warm", timed=False)
                    if w == 0:
                        res = tool_command(t, root, tdir[t], ctx, "warm")[2]
                        keep = os.path.join(scratch, "answer-%s-%s" % (k, t))
                        shutil.copyfile(res, keep)
                        outputs[t] = keep
                    print("  %-8s %.3f s" % (t, r["wall"]), flush=True)
            if not ctx.no_check:
                checks[k] = check_dataset(k, root, truths[k], scratch, ctx, outputs)
                for row in checks[k]:
                    print("  check %-8s %s" % (row["tool"], row["verdict"]), flush=True)
                    all_ok = all_ok and row["ok"]
            if ctx.check_only:
                continue
            if not ctx.no_syscalls and shutil.which("strace"):
                syscalls[k] = {t: syscall_profile(t, root, tdir[t], ctx) for t in tools}
            ours_digest = hashlib.sha256(open(outputs["dupfind"], "rb").read()).hexdigest()
            order = tools + ([] if ctx.no_floors else FLOORS)
            for mode in modes:
                samples = defaultdict(list)
                for rnd in range(ctx.runs):
                    rot = order[rnd % len(order):] + order[:rnd % len(order)]
                    for t in rot:
                        r = measure(t, root, tdir[t], ctx, mode)
                        samples[t].append(r)
                        if t == "dupfind":
                            out = tool_command(t, root, tdir[t], ctx, mode)[2]
                            if hashlib.sha256(open(out, "rb").read()).hexdigest() != ours_digest:
                                print("  dupfind's output changed between runs", flush=True)
                                all_ok = False
                    print("  [%s %s round %d] %s" % (DATASET_NAMES[k], mode, rnd + 1, " ".join(
                        "%s=%.3f" % (t, samples[t][-1]["wall"]) for t in order)), flush=True)
                results[mode][k] = {t: summarise(v) for t, v in samples.items()}
                raw[mode][k] = samples
        if ctx.check_only:
            for k in keys:
                for row in checks.get(k, []):
                    print("%s %-8s %s" % (k, row["tool"], row["verdict"]))
            return 0 if all_ok else 1
        text = report(ctx, results, checks, info, modes, keys, syscalls)
        with open(ctx.out, "w") as f:
            f.write(text)
        print("\nwrote " + ctx.out)
        if ctx.raw:
            with open(ctx.raw, "w") as f:
                json.dump({"info": info, "samples": raw, "checks": checks, "syscalls": syscalls}, f, indent=1)
        return 0 if all_ok else 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    # A terminated run still removes its scratch directory on /dev/shm.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
