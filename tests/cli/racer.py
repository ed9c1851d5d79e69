# SPDX-License-Identifier: MIT
"""A program that races the tool: it watches a directory with inotify and,
at the moment the tool opens a chosen file for the N-th time and reads or
closes it, renames another file over that file's name, as an editor, a sync
tool or a package manager saving by rename would.

    python3 racer.py DIR NAME DECOY N EVENT

EVENT is "access" (while the file is being read), "close" (right after) or
"moved" (right after the file was renamed away from NAME) or "created"
(right after the tool made a temporary name beside it); N is not used by
the last two.
Prints "ready" once it watches, and "fired" after the rename, then exits.
With EVENT "count" it renames nothing: it counts the opens of NAME until its
standard input closes and prints the number.
"""

import ctypes
import os
import select
import struct
import sys

IN_ACCESS = 0x001
IN_CLOSE_NOWRITE = 0x010
IN_OPEN = 0x020
IN_MOVED_FROM = 0x040
IN_CREATE = 0x100


def main() -> int:
    directory, name, decoy, nth, event = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
    trigger = {"access": IN_ACCESS, "close": IN_CLOSE_NOWRITE, "moved": IN_MOVED_FROM,
               "created": IN_CREATE}.get(event, 0)
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(0)
    if fd < 0 or libc.inotify_add_watch(fd, os.fsencode(directory), IN_ACCESS | IN_CLOSE_NOWRITE | IN_OPEN | IN_MOVED_FROM | IN_CREATE) < 0:
        print("inotify failed", ctypes.get_errno(), flush=True)
        return 1
    target = os.path.join(directory, name)
    print("ready", flush=True)
    opens = 0
    while True:
        if event == "count":
            ready, _, _ = select.select([fd, sys.stdin], [], [])
            if fd not in ready:
                print(opens, flush=True)
                return 0
        data = os.read(fd, 65536)
        pos = 0
        while pos < len(data):
            _, mask, _, length = struct.unpack_from("iIII", data, pos)
            event_name = data[pos + 16:pos + 16 + length].rstrip(b"\0").decode()
            pos += 16 + length
            if event == "created" and mask & IN_CREATE and event_name.startswith(".dupfind-"):
                os.rename(decoy, target)
                print("fired", flush=True)
                return 0
            if event_name != name:
                continue
            if mask & IN_OPEN:
                opens += 1
            elif mask & trigger and (opens >= nth or event == "moved"):
                os.rename(decoy, target)
                print("fired", flush=True)
                return 0


if __name__ == "__main__":
    sys.exit(main())
