#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix and builds a C consumer against
# it through pkg-config alone, as a project using the installed package would.
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
