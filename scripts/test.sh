#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds and tests the library in the configurations CI runs:
#   release  optimised build
#   asan     Debug with AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     Debug with ThreadSanitizer
#   windows  64-bit Windows, cross-compiled with mingw-w64, tests under Wine
#   clang    built with clang and tested; then each libFuzzer target runs for
#            a minute from its seed corpus (tools/fuzz.sh)
#   lint     clang-format and clang-tidy over the tree (no build)
#   package  the Debian packages: built with cpack, checked with lintian,
#            installed with dpkg -i and apt-get install -f, used, removed
# Usage: scripts/test.sh [release|asan|tsan|windows|clang|lint|package ...]
# (default: the three Linux ones)
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
    # The zip for Windows users: the DLL, its import library, the header, dupfind.exe.
    rm -rf "$dir/packages"
    (cd "$dir" && cpack -G ZIP) || status=1
    python3 -m zipfile -l "$dir"/packages/*.zip || status=1
    return $status
}

# The formatter over every C and C++ file that git tracks but third_party/'s,
# which stays as its authors wrote it (each must be as
# clang-format-14 writes it: .clang-format pins the project's layout), and
# clang-tidy over every file of the Linux build (.clang-tidy, cli/.clang-tidy
# and tests/.clang-tidy say which checks).
run_lint() {
    dir=build-lint
    echo "=== lint: clang-format, then clang-tidy with $dir's compile commands"
    status=0
    for f in $(git ls-files '*.c' '*.cpp' '*.h' ':!:third_party/*'); do
        clang-format-14 --dry-run --Werror "$f" || status=1
    done
    [ $status -eq 0 ] || echo "lint: clang-format: reformat with clang-format-14 -i FILE" >&2
    CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
    python3 -c 'import json, sys; print("\n".join(sorted({e["file"] for e in json.load(open(sys.argv[1]))})))' \
        "$dir/compile_commands.json" | xargs -P "$jobs" -n 1 clang-tidy-14 -p "$dir" --quiet >"$dir/tidy.log" 2>&1 ||
        status=1
    # (less the count of the system headers' warnings, which are not shown)
    grep -v 'warnings\{0,1\} generated\.$' "$dir/tidy.log" || true
    [ $status -eq 0 ] || echo "lint: failed (see above)" >&2
    return $status
}

# The Debian packages, built as a distribution would (prefix /usr, no search
# path in the tool), must pass lintian without an error, install on this
# machine with dpkg -i (apt-get install -f fetching what they depend on), and
# work installed: dupfind, its manual page, and consumers through pkg-config
# and find_package. They are removed again at the end, so that the
# configurations run after this one see the machine as before.
run_package() {
    dir=build-package
    echo "=== package: build, check, install and remove the Debian packages in $dir/packages"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDUPFIND_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr \
        -DDUPFIND_INSTALL_RPATH=OFF -DDUPFIND_BUILD_TESTS=OFF -DDUPFIND_BUILD_BENCH=OFF >/dev/null
    cmake --build "$dir" -j "$jobs"
    rm -rf "$dir/packages"
    (cd "$dir" && cpack -G DEB)
    debs=$(ls "$dir"/packages/*.deb)
    for deb in $debs; do
        echo "--- $deb"
        dpkg-deb -I "$deb" control
        dpkg-deb -c "$deb"
    done
    echo "--- lintian"
    lintian --fail-on error --tag-display-limit 0 $debs
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    names=$(for deb in $debs; do dpkg-deb -f "$deb" Package; done)
    trap '$sudo dpkg -P $names >/dev/null || true' EXIT
    # shellcheck disable=SC2086
    $sudo dpkg -i $debs || true
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq >/dev/null
    for name in $names; do
        dpkg-query -W -f '${Package} ${Version} ${Status}\n' "$name" | grep -q ' install ok installed$' ||
            { echo "package: $name is not installed" >&2; return 1; }
    done
    want="dupfind $(sed -n 's/^#define DUPFIND_VERSION_STRING "\(.*\)"$/\1/p' include/dupfind.h)"
    got=$(/usr/bin/dupfind --version)
    [ "$got" = "$want" ] || { echo "package: dupfind --version says '$got', not '$want'" >&2; return 1; }
    echo "installed: $got"
    man -w dupfind
    pkg-config --modversion brennic-filedup-find
    # The consumer scans the directory given and expects the one header.
    work=$(mktemp -d)
    mkdir "$work/include" && cp /usr/include/dupfind.h "$work/include/"
    ${CC:-cc} -std=c99 -Wall -Wextra -pedantic -Werror tests/c/consumer.c \
        $(pkg-config --cflags --libs brennic-filedup-find) -o "$work/consumer"
    "$work/consumer" "$work/include" >/dev/null
    cmake -S tests/consumer -B "$work/fp" >/dev/null
    cmake --build "$work/fp" >/dev/null
    "$work/fp/consumer" "$work/include" >/dev/null
    rm -rf "$work"
    echo "installed packages: the tool, its manual page, pkg-config and find_package consumers work"
    # shellcheck disable=SC2086
    $sudo dpkg -P $names
    trap - EXIT
}

# clang builds the project and runs its tests, then tools/fuzz.sh builds the
# libFuzzer targets (ASan + UBSan) and runs each for a minute.
run_clang() {
    dir=build-test-clang
    echo "=== clang: configure, build, test in $dir"
    CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DDUPFIND_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
    echo "=== clang: each libFuzzer target for 60 s (tools/fuzz.sh)"
    sh tools/fuzz.sh 60
}

for cfg in $configs; do
    case $cfg in
        release) flags="-DCMAKE_BUILD_TYPE=Release" ;;
        asan)    flags="-DCMAKE_BUILD_TYPE=Debug -DDUPFIND_SANITIZE=address" ;;
        tsan)    flags="-DCMAKE_BUILD_TYPE=Debug -DDUPFIND_SANITIZE=thread" ;;
        windows) run_windows; continue ;;
        clang)   run_clang; continue ;;
        lint)    run_lint; continue ;;
        package) run_package; continue ;;
        *) echo "unknown configuration: $cfg" >&2; exit 2 ;;
    esac
    dir=build-test-$cfg
    echo "=== $cfg: configure, build, test in $dir"
    # shellcheck disable=SC2086
    cmake -S . -B "$dir" -DDUPFIND_WERROR=ON $flags >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
