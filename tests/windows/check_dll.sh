#!/bin/sh
# SPDX-License-Identifier: MIT
# Reads the export and import tables of the DLL (and the imports of
# dupfind.exe) with objdump: the DLL exports exactly the seven functions of
# the interface, and both depend on Windows system DLLs only.
set -eu
objdump=$1 dll=$2 exe=$3
expected="dupfind_cancel
dupfind_delete_file
dupfind_free_string
dupfind_last_error
dupfind_scan_progress
dupfind_scan_results
dupfind_scan_start"
# The names follow the "[Ordinal/Name Pointer] Table" heading, one per line
# as "[   0] name", up to the next blank line.
exports=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF == 0 {on=0} on {print $NF}' | sort)
if [ "$exports" != "$expected" ]; then
    echo "exports of $dll differ from the interface:"
    echo "$exports"
    exit 1
fi
status=0
ours=$(basename "$dll" | tr 'A-Z' 'a-z')
for f in "$dll" "$exe"; do
    imports=$("$objdump" -p "$f" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
    for name in $imports; do
        [ "$f" = "$exe" ] && [ "$name" = "$ours" ] && continue  # the tool loads the library
        case $name in
            kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ntdll.dll|ws2_32.dll|shell32.dll|api-ms-win-*) ;;
            *) echo "$f imports $name, which is not a Windows system DLL"; status=1 ;;
        esac
    done
    echo "$(basename "$f") imports: $(echo $imports)"
done
# The tool uses the DLL rather than a copy of the library linked in.
"$objdump" -p "$exe" | grep -qi "DLL Name: $(basename "$dll")" ||
    { echo "$exe does not load $(basename "$dll")"; status=1; }
[ $status -eq 0 ] && echo "7 exported functions; only system DLLs imported"
exit $status
