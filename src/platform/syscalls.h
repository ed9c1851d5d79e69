// SPDX-License-Identifier: MIT
// The table of replaceable system calls that each system's file of the
// platform layer keeps (see dup_syscall_replace in platform.h): one entry
// per call, by name; an entry not replaced (null) stands for the system's
// own implementation. The table holds no pointer that needs code to set
// up, so it is ready before any constructor of another file runs (a test
// may replace an entry from one).
#ifndef DUP_PLATFORM_SYSCALLS_H
#define DUP_PLATFORM_SYSCALLS_H

#include <atomic>
#include <cstring>

#include "platform.h"

struct dup_syscall_entry {
    const char *name;
    std::atomic<dup_syscall_ptr> current;  // null: the system's own
};

// The entries every system's table holds, in this order.
enum dup_syscall_index { DUP_SYSCALL_DIR_OPEN, DUP_SYSCALL_CANONICAL_PATH, DUP_SYSCALL_COUNT };

using dup_dir_open_fn = dup_result (*)(const char *path, dup_dir_t **dir);
using dup_canonical_path_fn = char *(*)(const char *path);

// The entry as its own function type: its replacement, or the system's own.
template <class Fn>
Fn dup_syscall(dup_syscall_entry (&table)[DUP_SYSCALL_COUNT], dup_syscall_index i, Fn system) {
    const dup_syscall_ptr p = table[i].current.load(std::memory_order_acquire);
    return p ? reinterpret_cast<Fn>(p) : system;
}

inline dup_syscall_entry *dup_syscall_find(dup_syscall_entry (&table)[DUP_SYSCALL_COUNT], const char *name) {
    if (!name) return nullptr;
    for (dup_syscall_entry &e : table)
        if (strcmp(e.name, name) == 0) return &e;
    return nullptr;
}

#endif  // DUP_PLATFORM_SYSCALLS_H
