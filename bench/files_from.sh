#!/bin/sh
# SPDX-License-Identifier: MIT
# Times the tool on a list of files (--files-from) against a scan of the
# directory that holds them, so that a cost that grows faster than the
# number of roots shows as a gap between the two.
#
# usage: bench/files_from.sh [DUPFIND] [FILES] [RUNS]
#
# DUPFIND is the built tool (default build/cli/dupfind); FILES small files
# (default 100,000) lie in 100 directories, every two with one content. Each
# way runs RUNS times (default 3); the best wall time of each is printed,
# with the ratio, after a check that both runs list the same groups.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-$here/build/cli/dupfind}
files=${2:-100000}
runs=${3:-3}
[ -x "$tool" ] || { echo "no dupfind at $tool" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work/tree" "$files" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for d in range(100):
    os.makedirs(f"{root}/d{d:02}")
for i in range(n):
    with open(f"{root}/d{i % 100:02}/f{i:06}", "w") as f:
        f.write(f"content {i // 2:06}\n")
PY
find "$work/tree" -type f -print0 > "$work/list0"

# The best of RUNS wall times, in seconds, of the command given.
best() {
    python3 - "$runs" "$@" <<'PY'
import subprocess, sys, time
runs, cmd = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(runs):
    t = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    times.append(time.perf_counter() - t)
print(f"{min(times):.3f}")
PY
}

"$tool" -q --format fdupes "$work/tree" | sort > "$work/by_dir"
"$tool" -q --format fdupes --files-from "$work/list0" --from0 | sort > "$work/by_list"
cmp -s "$work/by_dir" "$work/by_list" || { echo "the two ways list different groups" >&2; exit 1; }

dir=$(best "$tool" -q --format fdupes "$work/tree")
list=$(best "$tool" -q --format fdupes --files-from "$work/list0" --from0)
echo "files: $files"
echo "scan of their directory: ${dir} s"
echo "--files-from list:       ${list} s"
python3 -c "print(f'ratio: {$list / $dir:.2f}')"
