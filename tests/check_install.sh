#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix and builds a C consumer against it
# as projects using the library would: through pkg-config alone, through
# find_package, and with the library's sources added as a subproject.
set -eu
build=$1
src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name brennic-filedup-find.pc)
export PKG_CONFIG_PATH=$(dirname "$pc")
${CC:-cc} -std=c99 -Wall -Wextra -pedantic -Werror "$src/tests/c/consumer.c" \
    $(pkg-config --cflags --libs brennic-filedup-find) -o "$prefix/consumer"
libdir=$(pkg-config --variable=libdir brennic-filedup-find)
LD_LIBRARY_PATH=$libdir "$prefix/consumer" "$prefix/include" >/dev/null
"$prefix/bin/dupfind" --version >/dev/null
echo "installed package builds and runs a pkg-config consumer"

# find_package: the imported target carries the include directory and the
# library, and the build tree's RPATH finds it under the prefix.
cmake -S "$src/tests/consumer" -B "$prefix/fp" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -pedantic -Werror" >/dev/null
cmake --build "$prefix/fp" >/dev/null
"$prefix/fp/consumer" "$prefix/include" >/dev/null
echo "installed package builds and runs a find_package consumer"

# A subproject: only the library is built, without GoogleTest or CLI11.
cmake -S "$src/tests/consumer" -B "$prefix/sub" -DDUPFIND_SOURCE_DIR="$src" \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
cmake --build "$prefix/sub" -j2 >/dev/null
"$prefix/sub/consumer" "$prefix/include" >/dev/null
echo "the sources build and run a consumer as a subproject"
