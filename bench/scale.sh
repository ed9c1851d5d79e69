#!/bin/sh
# SPDX-License-Identifier: MIT
# Scan time and peak memory of dupfind as the number of files grows.
#
#   sh bench/scale.sh TREE [SIZES] [DUPFIND]
#
# TREE is a tree written by bench/gen_tree.py, in blocks of one million
# files (TREE/b00, TREE/b01, ...); SIZES lists how many blocks each run
# scans (default "1 2 5 10"; sizes beyond the blocks present are left out).
# DUPFIND defaults to build-test-release/cli/dupfind.
#
# For each size: the files and their mean path length, the time of a
# plain `find` of the same directories, the wall time and
# peak RSS (/usr/bin/time) of an uncached `dupfind --json`, and the bytes
# per file above the RSS of a scan of an empty directory. When the tool
# has --cache, the same for a first cached scan and a cached rescan of the
# unchanged tree (the cache file is written to a temporary directory).
# Runs are warm: the tree is walked once by find before each size. Set
# COLD=1 to drop the page cache before every run instead (root only): once
# a tree's inodes and blocks outgrow the machine's memory no run of it is
# warm, and only cold runs compare sizes fairly. CACHED=0 leaves out the
# cached scans.
set -eu

TREE=${1:?usage: scale.sh TREE [SIZES] [DUPFIND]}
SIZES=${2:-1 2 5 10}
DUPFIND=${3:-build-test-release/cli/dupfind}
COLD=${COLD:-0}
CACHED=${CACHED:-1}

[ -x "$DUPFIND" ] || { echo "no dupfind at $DUPFIND" >&2; exit 1; }
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

has_cache=0
if "$DUPFIND" --help 2>/dev/null | grep -q -- '--cache'; then has_cache=1; fi
[ "$CACHED" = 1 ] || has_cache=0
if [ "$has_cache" = 0 ] && [ "$CACHED" = 1 ]; then
    echo "note: this dupfind has no --cache; only the uncached scan is measured" >&2
fi

drop() {
    if [ "$COLD" = 1 ]; then sync; echo 3 > /proc/sys/vm/drop_caches; fi
}

# run ARGS...: prints "seconds peak_kib user_s system_s" of one dupfind run.
run() {
    drop
    /usr/bin/time -f '%e %M %U %S' -o "$TMP/time" "$DUPFIND" "$@" > "$TMP/out.json"
    cat "$TMP/time"
}

mkdir "$TMP/empty"
base_kib=$(run --json "$TMP/empty" | cut -d' ' -f2)
echo "dupfind: $DUPFIND"
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); cold: $COLD; base RSS (empty directory): ${base_kib} KiB"
echo
echo "| files | mean path bytes | run | seconds | seconds per million | user s | system s | peak RSS MiB | bytes per file above base |"
echo "|---:|---:|---|---:|---:|---:|---:|---:|---:|"

for k in $SIZES; do
    roots=""
    i=0
    while [ "$i" -lt "$k" ]; do
        d=$(printf '%s/b%02d' "$TREE" "$i")
        [ -d "$d" ] || { roots=""; break; }
        roots="$roots $d"
        i=$((i + 1))
    done
    if [ -z "$roots" ]; then
        echo "skipped: $k blocks, the tree has fewer" >&2
        continue
    fi
    # shellcheck disable=SC2086
    find $roots -type f -printf '%p\n' | awk '{ n++; s += length($0) } END { print n, s / n }' > "$TMP/count"
    read -r files mean < "$TMP/count"
    report() {
        awk -v f="$files" -v m="$mean" -v l="$1" -v t="$2" -v r="$3" -v u="$4" -v s="$5" -v b="$base_kib" \
            'BEGIN { printf "| %d | %.0f | %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", f, m, l, t, t * 1e6 / f, u, s, r / 1024, (r - b) * 1024 / f }'
    }
    # The walk alone, for comparison: plain, and with a status per file,
    # which a scan cannot do without.
    walk() {
        label=$1
        shift
        drop
        # shellcheck disable=SC2086
        /usr/bin/time -f '%e %U %S' -o "$TMP/time" find $roots "$@" > /dev/null
        # shellcheck disable=SC2046
        set -- $(cat "$TMP/time")
        awk -v f="$files" -v m="$mean" -v l="$label" -v t="$1" -v u="$2" -v s="$3" \
            'BEGIN { printf "| %d | %.0f | %s | %.1f | %.1f | %.1f | %.1f | - | - |\n", f, m, l, t, t * 1e6 / f, u, s }'
    }
    walk find
    walk "find + status" -printf '%s %i %T@ %C@\n'
    # shellcheck disable=SC2046,SC2086
    set -- $(run --json $roots)
    report uncached "$@"
    if [ "$has_cache" = 1 ]; then
        rm -f "$TMP/cache"
        # shellcheck disable=SC2046,SC2086
        set -- $(run --cache="$TMP/cache" --json $roots)
        report "cached, first" "$@"
        # shellcheck disable=SC2046,SC2086
        set -- $(run --cache="$TMP/cache" --json $roots)
        report "cached, rescan" "$@"
    fi
done
