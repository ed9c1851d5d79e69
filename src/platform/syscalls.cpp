// SPDX-License-Identifier: MIT
// The table of replaceable system calls and the calls that go through it,
// the same on every system: each system's file gives only its own
// implementation of each entry (syscalls.h).
#include "syscalls.h"

#include <atomic>
#include <cstring>

namespace {

// What each entry holds: its replacement, or null for the system's own.
// Nothing here needs code to set up, so the table is ready before any
// constructor of another file runs (a test may replace an entry from one).
constinit std::atomic<dup_syscall_ptr> g_dir_open{nullptr};
constinit std::atomic<dup_syscall_ptr> g_canonical_path{nullptr};
constinit std::atomic<dup_syscall_ptr> g_content_open{nullptr};
constinit std::atomic<dup_syscall_ptr> g_content_close{nullptr};
constinit std::atomic<dup_syscall_ptr> g_file_write{nullptr};

struct entry {
    const char *name;
    std::atomic<dup_syscall_ptr> *current;
};

constinit const entry g_table[] = {
    {"dir_open", &g_dir_open},         {"canonical_path", &g_canonical_path},
    {"content_open", &g_content_open}, {"content_close", &g_content_close},
    {"file_write", &g_file_write},     {"alloc", &dup_alloc_entry},  // read by base.cpp, which cannot include this
                                                                     // layer
};

const entry *find(const char *name) {
    if (!name) return nullptr;
    for (const entry &e : g_table)
        if (strcmp(e.name, name) == 0) return &e;
    return nullptr;
}

// The entry's replacement as its own function type, or the system's own.
template <class Fn>
Fn pick(const std::atomic<dup_syscall_ptr> &current, Fn system) {
    const dup_syscall_ptr p = current.load(std::memory_order_acquire);
    return p ? reinterpret_cast<Fn>(p) : system;
}

}  // namespace

bool dup_syscall_replace(const char *name, dup_syscall_ptr fn) {
    const entry *e = find(name);
    if (!e) return false;
    e->current->store(fn, std::memory_order_release);
    return true;
}

dup_syscall_ptr dup_syscall_default(const char *name) {
    const entry *e = find(name);
    if (!e) return nullptr;
    if (e->current == &g_dir_open) return reinterpret_cast<dup_syscall_ptr>(&dup_dir_open_system);
    if (e->current == &g_canonical_path) return reinterpret_cast<dup_syscall_ptr>(&dup_canonical_path_system);
    if (e->current == &g_content_open) return reinterpret_cast<dup_syscall_ptr>(&dup_content_open_system);
    if (e->current == &g_content_close) return reinterpret_cast<dup_syscall_ptr>(&dup_content_close_system);
    if (e->current == &g_file_write) return reinterpret_cast<dup_syscall_ptr>(&dup_file_write_system);
    return reinterpret_cast<dup_syscall_ptr>(&dup_alloc_system);
}

dup_result dup_dir_open(const char *path, dup_dir_t **dir) {
    return pick<dup_dir_open_fn>(g_dir_open, &dup_dir_open_system)(path, dir);
}

char *dup_canonical_path(const char *path) {
    return pick<dup_canonical_path_fn>(g_canonical_path, &dup_canonical_path_system)(path);
}

dup_result dup_content_open(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *out) {
    return pick<dup_content_open_fn>(g_content_open, &dup_content_open_system)(path, sequential, dev, ino, out);
}

void dup_content_close(dup_content_t h) { pick<dup_content_close_fn>(g_content_close, &dup_content_close_system)(h); }

dup_result dup_file_write(dup_content_t h, const void *buf, int64_t n) {
    return pick<dup_file_write_fn>(g_file_write, &dup_file_write_system)(h, buf, n);
}
