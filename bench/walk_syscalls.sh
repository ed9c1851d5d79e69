#!/bin/sh
# SPDX-License-Identifier: MIT
# Counts the status queries the tree walk makes over a generated tree.
#
# usage: bench/walk_syscalls.sh [BUILD_DIR] [DIRS] [FILES_PER_DIR] [LINKS_PER_DIR]
#
# The tree holds DIRS directories under one root, each with FILES_PER_DIR
# one-byte files and LINKS_PER_DIR links to files of the same directory. The
# defaults give 100 * (1 + 989 + 10) = 100,000 entries, 1,000 of them links.
# The walk runs twice under strace, without and with following links, and
# each run is compared with a run of the same driver that walks nothing, so
# the dynamic loader's own calls drop out. Needs strace and a build of the
# internal static library (libdupfind_internal.a) in BUILD_DIR.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
dirs=${2:-100}
files=${3:-989}
links=${4:-10}

command -v strace >/dev/null || { echo "strace is needed (apt-get install strace)" >&2; exit 2; }
[ -f "$build/libdupfind_internal.a" ] || { echo "no libdupfind_internal.a in $build" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/driver.cpp" <<'EOF'
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "walk.h"

// driver make ROOT DIRS FILES LINKS | driver walk ROOT FOLLOW | driver none ROOT FOLLOW
int main(int argc, char **argv) {
    if (argc < 4) return 2;
    std::string mode = argv[1], root = argv[2];
    if (mode == "make") {
        int dirs = atoi(argv[3]), files = atoi(argv[4]), links = atoi(argv[5]);
        if (mkdir(root.c_str(), 0755) != 0) return 1;
        for (int d = 0; d < dirs; d++) {
            std::string dir = root + "/d" + std::to_string(d);
            if (mkdir(dir.c_str(), 0755) != 0) return 1;
            for (int f = 0; f < files; f++) {
                std::string p = dir + "/f" + std::to_string(f);
                int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
                if (fd < 0 || write(fd, "x", 1) != 1) return 1;
                close(fd);
            }
            for (int l = 0; l < links; l++) {
                std::string p = dir + "/l" + std::to_string(l);
                if (symlink(("f" + std::to_string(l)).c_str(), p.c_str()) != 0) return 1;
            }
        }
        return 0;
    }
    dup_scan_t s;
    std::memset(static_cast<void *>(&s), 0, sizeof s);
    s.min_size = 1;
    s.follow_symlinks = atoi(argv[3]);
    s.roots = static_cast<char **>(malloc(sizeof(char *)));
    s.roots[0] = dup_strdup(root.c_str());
    s.n_roots = 1;
    int rc = mode == "walk" ? dup_walk_collect(&s) : 0;
    printf("rc %d files %d skipped %d\n", rc, s.n_files, s.n_skipped);
    free_scan_data(&s);
    return rc == 0 ? 0 : 1;
}
EOF

g++ -std=c++20 -O2 -I "$here/include" -I "$here/src" "$work/driver.cpp" \
    "$build/libdupfind_internal.a" -lxxhash -pthread -o "$work/driver"
"$work/driver" make "$work/tree" "$dirs" "$files" "$links"

entries=$((dirs * (1 + files + links)))
followed=$((dirs * links))
echo "tree: $entries entries below the root" \
     "($dirs directories, $((dirs * files)) files, $followed links)"

# Status calls of one run: every stat-family call strace sees, by kind.
count() {  # mode follow -> "path_nofollow path_follow by_fd"
    strace -qq -f -o "$work/log" -e trace=stat,lstat,fstat,newfstatat,statx \
        "$work/driver" "$1" "$work/tree" "$2" > "$work/out"
    nofollow=$(grep -c 'AT_SYMLINK_NOFOLLOW' "$work/log" || true)
    byfd=$(grep -c 'AT_EMPTY_PATH' "$work/log" || true)
    total=$(grep -c 'stat' "$work/log" || true)
    echo "$nofollow $((total - nofollow - byfd)) $byfd"
}

report() {  # follow
    set -- "$1" $(count none "$1") $(count walk "$1")
    follow=$1
    echo "follow_symlinks $follow: $(cat "$work/out")"
    echo "  status queries without following (lstat role): $(($5 - $2))"
    echo "  status queries following links   (stat role):  $(($6 - $3))"
    echo "  fstat of an opened directory:                   $(($7 - $4))"
}

# Besides one query per entry, each directory the walk opens is checked once
# more by path (and once by its descriptor) to make sure it is still the
# directory that was queried, not something swapped in meanwhile.
opened=$((dirs + 1))

report 0
echo "  expected: $entries entries + 1 root + $opened re-checks = $((entries + 1 + opened)) lstat, 0 stat"
report 1
echo "  expected: $((entries + 1 + opened)) lstat, $followed stat (one per followed link)"
