#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs each fuzz target with libFuzzer for a given time.
#
#   tools/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default: 60, all targets)
#
# All targets are those of DUPFIND_FUZZ_TARGETS in tests/CMakeLists.txt.
# CI's clang configuration (scripts/test.sh clang) runs each for a minute;
# longer runs find more.
# Builds build-fuzz with clang 14, AddressSanitizer + UndefinedBehaviorSanitizer
# and libFuzzer (Debian: apt-get install clang-14 libclang-rt-14-dev). Each
# target starts from its seed corpus in tests/fuzz/corpus/<target>; inputs
# that libFuzzer finds worth keeping go to build-fuzz/fuzz-work/<target>/
# corpus, and a crashing input to build-fuzz/fuzz-work/<target>/. Copy an
# input into the seed corpus to make CI replay it.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-60}
[ $# -gt 0 ] && shift
CC=${CC:-clang-14}
CXX=${CXX:-clang++-14}
command -v "$CXX" >/dev/null || { echo "fuzz.sh: $CXX not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 2; }

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
    -DDUPFIND_SANITIZE=address -DDUPFIND_FUZZ=ON \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fsanitize-ignorelist=$top/tests/fuzz/ubsan-ignore.txt" >/dev/null
if [ $# -gt 0 ]; then
    targets=$*
    for t in $targets; do
        cmake --build build-fuzz -j2 --target "fuzz_$t"
    done
else
    targets=$(cat build-fuzz/fuzz_targets.txt)
    cmake --build build-fuzz -j2 --target fuzz_targets
fi

status=0
for t in $targets; do
    # Absolute paths: a target may change its working directory.
    work=$top/build-fuzz/fuzz-work/$t
    mkdir -p "$work/corpus"
    echo "=== fuzz_$t for ${seconds}s"
    # A target's own options (tests/fuzz/<target>.flags), paths in it taken
    # from the repository's top.
    flags=
    [ -f "$top/tests/fuzz/$t.flags" ] && flags=$(sed -e 's/#.*//' -e "s|@TOP@|$top|g" "$top/tests/fuzz/$t.flags")
    # shellcheck disable=SC2086  # the options are words
    if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$top/build-fuzz/tests/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 $flags \
        -artifact_prefix="$work/" "$work/corpus" "$top/tests/fuzz/corpus/$t" >"$work/log" 2>&1; then
        echo "    no crash"
    else
        echo "    FAILED: see $work/log and the crash-* input in $work/"
        tail -n 60 "$work/log" | sed 's/^/    | /'
        status=1
    fi
    grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb' "$work/log" | sed 's/^/    /'
    grep -E '^#[0-9]+.*DONE' "$work/log" | tail -1 | sed 's/^/    /' || true
done
exit $status
