#!/bin/sh
# SPDX-License-Identifier: MIT
# Compares the dynamic symbols that the shared library defines with the
# seven functions of the public interface.
set -eu
lib=$1
expected="dupfind_cancel
dupfind_delete_file
dupfind_free_string
dupfind_last_error
dupfind_scan_progress
dupfind_scan_results
dupfind_scan_start"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVviu]$/ {print $3}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the interface:"
  echo "$actual"
  exit 1
fi
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libbrennic-filedup-find.so.1" ] || { echo "unexpected SONAME: $soname"; exit 1; }
echo "7 exported functions, SONAME $soname"
