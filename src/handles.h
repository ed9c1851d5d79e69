// SPDX-License-Identifier: MIT
// File handles for reading content: how many the library may hold, and
// waiting for one when the process runs short.
//
// Handles are the process's, not the library's: a few scans reading at full
// width would otherwise take every one, and then the host's own files, and
// the directories other scans are walking, could not be opened at all. So
// content reading holds at most half of the process's limit, over all
// scans together, and a reader that finds no handle free waits for one
// instead of taking the file for unreadable.
#ifndef DUP_HANDLES_H
#define DUP_HANDLES_H

#include <cstdint>

#include "platform/platform.h"
#include "scan.h"

// Opens a file's content (see dup_content_open) into *h as one of the
// handles reading may hold. DUP_OK; DUP_FAILED when it is missing,
// unreadable or not the recorded file; DUP_NO_HANDLE when the process has
// none free or reading holds its share (worth trying again once one is
// closed). *h is DUP_CONTENT_NONE unless DUP_OK.
dup_result dup_open_counted(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *h);
// Closes a handle of dup_open_counted and wakes a reader waiting for one.
// Accepts DUP_CONTENT_NONE.
void dup_close_counted(dup_content_t h);

// Reads the process's limit of open files now: reading may hold half.
void dup_handles_set_budget(void);

// Waiting for a handle. A reader that got DUP_NO_HANDLE while it holds
// no content handle itself keeps one of these while it waits and tries
// again: pause() waits until any content handle is closed, or a short while
// (1 ms, doubling up to 50 ms), and answers false once the wait is over.
// Handles the library holds come free in time, so only the time spent while
// it holds none (the shortage is the host's or the limit's) counts, up to
// about 2 s. Readers that hold handles never wait, and only the waiting ones
// are counted by dup_handle_waiters.
class dup_handle_wait {
public:
    dup_handle_wait();
    ~dup_handle_wait();
    dup_handle_wait(const dup_handle_wait &) = delete;
    dup_handle_wait &operator=(const dup_handle_wait &) = delete;
    bool pause();

private:
    dup_backoff backoff_;  // counts only the time spent while the library held no handle
    uint64_t closes_;      // closes seen before the last try
};
int32_t dup_handle_waiters(void);

// Calls attempt() until it answers something else than DUP_NO_HANDLE and
// returns that answer; DUP_FAILED when no handle came free in time, and
// DUP_CANCELLED when a cancel ended the wait. Readers already waiting go
// first: a handle that comes free is theirs.
template <class F>
dup_result dup_retry_for_handle(const dup_scan_t *scan, F attempt) {
    if (dup_handle_waiters() == 0) {
        const dup_result r = attempt();
        if (r != DUP_NO_HANDLE) return r;
    }
    dup_handle_wait w;
    for (;;) {
        if (!w.pause()) return DUP_FAILED;
        if (dup_cancel_requested(scan)) return DUP_CANCELLED;
        const dup_result r = attempt();
        if (r != DUP_NO_HANDLE) return r;
    }
}

#endif  // DUP_HANDLES_H
