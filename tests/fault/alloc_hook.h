// SPDX-License-Identifier: MIT
// Allocation-failure injection for the process that links alloc_hook.cpp.
//
// alloc_hook.cpp alone puts the countdown in the library's one allocation
// function, the platform layer's replaceable "alloc" entry: every block the
// library allocates is counted, on every system, and nothing else is.
// Linked with ALLOCHOOK_WHOLE_PROCESS defined and alloc_hook_process.cpp
// beside it (Linux), the countdown sits in the process's malloc family
// instead, so the allocations made inside the C library on the library's
// behalf (opendir, realpath, pthread_create) fail in turn as well.
//
// Only the thread that armed the hook is affected: a scan's worker thread
// started meanwhile allocates normally.
#ifndef DUPFIND_ALLOC_HOOK_H
#define DUPFIND_ALLOC_HOOK_H

#include <atomic>
#include <cstdint>

namespace allochook {

// Makes the nth allocation from now on (n >= 1) on the calling thread return
// null; every other allocation succeeds. Counting starts at zero.
void arm(long n);
// Stops counting and failing on the calling thread.
void disarm();
// Allocations seen since arm() on this thread, the failed one included.
long count();
// Whether the armed failure has been delivered.
bool hit();

// While set, the value it points to is recorded at the moment the failure is
// delivered (the scan's progress tells which stage was running).
void watch(const std::atomic<int32_t> *value);
int32_t watched_at_hit();

// Counts one allocation of the calling thread; true when it is the one to
// fail (errno is then ENOMEM). Safe to call from inside malloc.
bool fail_this_one();

}  // namespace allochook

#endif
