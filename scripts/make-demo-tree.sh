#!/bin/sh
# SPDX-License-Identifier: MIT
# Creates a small directory tree with real duplicates for trying dupfind:
#   scripts/make-demo-tree.sh DIR && dupfind DIR
# DIR must not exist yet, or be empty.
set -eu

if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi
dir=$1
if [ -e "$dir" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
    echo "$0: $dir exists and is not empty" >&2
    exit 1
fi
mkdir -p "$dir/photos/2023" "$dir/photos/backup" "$dir/documents/old" \
         "$dir/music" "$dir/downloads"

# Random content, so that only real copies compare equal.
head -c 300000 /dev/urandom > "$dir/photos/2023/beach.jpg"
head -c 180000 /dev/urandom > "$dir/photos/2023/sunset.jpg"
head -c 52000 /dev/urandom > "$dir/documents/report.pdf"
head -c 640000 /dev/urandom > "$dir/music/song.mp3"
head -c 640000 /dev/urandom > "$dir/music/song (live).mp3"   # same size, other content
printf 'shopping: milk, eggs, coffee\n' > "$dir/documents/notes.txt"
: > "$dir/documents/empty.txt"                                # too small to count

cp "$dir/photos/2023/beach.jpg" "$dir/photos/backup/beach.jpg"
cp "$dir/photos/2023/beach.jpg" "$dir/downloads/beach (1).jpg"
cp "$dir/photos/2023/sunset.jpg" "$dir/photos/backup/sunset.jpg"
cp "$dir/documents/report.pdf" "$dir/documents/old/report-final.pdf"
ln -s ../documents/report.pdf "$dir/downloads/report-link.pdf"  # links are skipped

echo "demo tree created in $dir"
