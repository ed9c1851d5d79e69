#!/bin/sh
# Builds and tests the library in the three configurations CI runs:
#   release  optimised build
#   asan     Debug with AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     Debug with ThreadSanitizer
# Usage: scripts/test.sh [release|asan|tsan ...]   (default: all three)
# Warnings are errors in every configuration.
set -eu
cd "$(dirname "$0")/.."
configs=${*:-release asan tsan}
jobs=$(nproc 2>/dev/null || echo 2)
for cfg in $configs; do
    case $cfg in
        release) flags="-DCMAKE_BUILD_TYPE=Release" ;;
        asan)    flags="-DCMAKE_BUILD_TYPE=Debug -DDUPFIND_SANITIZE=address" ;;
        tsan)    flags="-DCMAKE_BUILD_TYPE=Debug -DDUPFIND_SANITIZE=thread" ;;
        *) echo "unknown configuration: $cfg" >&2; exit 2 ;;
    esac
    dir=build-test-$cfg
    echo "=== $cfg: configure, build, test in $dir"
    # shellcheck disable=SC2086
    cmake -S . -B "$dir" -DDUPFIND_WERROR=ON $flags >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
