#!/bin/sh
# Builds and tests the library in the configurations CI runs:
#   release  optimised build
#   asan     Debug with AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     Debug with ThreadSanitizer
#   windows  64-bit Windows, cross-compiled with mingw-w64, tests under Wine
# Usage: scripts/test.sh [release|asan|tsan|windows ...]   (default: the
# three Linux ones)
# Warnings are errors in every configuration.
set -eu
cd "$(dirname "$0")/.."
configs=${*:-release asan tsan}
jobs=$(nproc 2>/dev/null || echo 2)
wineserver=/usr/lib/wine/wineserver

# The Windows configuration: the DLL, dupfind.exe and the test programs,
# built for Windows and run by ctest under Wine in a prefix of the build's
# own. One wineserver is kept alive for the whole run, so each test program
# starts in about half a second instead of four. The Linux dupfind of the
# release configuration is built too, for the comparison of dupfind.exe's
# groups with it.
run_windows() {
    dir=build-test-windows
    linux=build-test-release
    echo "=== windows: configure, build, test in $dir (under Wine)"
    if [ ! -x "$linux/cli/dupfind" ]; then
        cmake -S . -B "$linux" -DDUPFIND_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$linux" -j "$jobs" --target dupfind
    fi
    WINEPREFIX="$PWD/$dir/wineprefix"
    WINEDEBUG=-all
    WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
        -DDUPFIND_WERROR=ON "-DDUPFIND_LINUX_CLI=$PWD/$linux/cli/dupfind" >/dev/null
    cmake --build "$dir" -j "$jobs"
    mkdir -p "$WINEPREFIX"
    # Creating the prefix complains of its missing 32-bit part; it works all the same.
    [ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
    "$wineserver" -p || true  # (one may run already for this prefix)
    status=0
    (cd "$dir" && ctest --output-on-failure -j "$jobs") || status=$?
    "$wineserver" -k || true
    return $status
}

for cfg in $configs; do
    case $cfg in
        release) flags="-DCMAKE_BUILD_TYPE=Release" ;;
        asan)    flags="-DCMAKE_BUILD_TYPE=Debug -DDUPFIND_SANITIZE=address" ;;
        tsan)    flags="-DCMAKE_BUILD_TYPE=Debug -DDUPFIND_SANITIZE=thread" ;;
        windows) run_windows; continue ;;
        *) echo "unknown configuration: $cfg" >&2; exit 2 ;;
    esac
    dir=build-test-$cfg
    echo "=== $cfg: configure, build, test in $dir"
    # shellcheck disable=SC2086
    cmake -S . -B "$dir" -DDUPFIND_WERROR=ON $flags >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
