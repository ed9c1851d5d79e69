// SPDX-License-Identifier: MIT
// The replaceable system calls (see dup_syscall_replace in platform.h).
// syscalls.cpp holds the table and the calls through it, the same on every
// system; each system's file gives only its own implementation of each
// entry, under the names below.
#ifndef DUP_PLATFORM_SYSCALLS_H
#define DUP_PLATFORM_SYSCALLS_H

#include "platform.h"

using dup_dir_open_fn = dup_result (*)(const char *path, dup_dir_t **dir);
using dup_canonical_path_fn = char *(*)(const char *path);
using dup_content_open_fn = dup_result (*)(const char *path, int sequential, uint64_t dev, uint64_t ino,
                                           dup_content_t *out);
using dup_content_close_fn = void (*)(dup_content_t h);
using dup_file_write_fn = dup_result (*)(dup_content_t h, const void *buf, int64_t n);

// Each system's own implementations, which the calls of platform.h reach
// unless a test replaced them.
dup_result dup_dir_open_system(const char *path, dup_dir_t **dir);
char *dup_canonical_path_system(const char *path);
dup_result dup_content_open_system(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *out);
void dup_content_close_system(dup_content_t h);
dup_result dup_file_write_system(dup_content_t h, const void *buf, int64_t n);

#endif  // DUP_PLATFORM_SYSCALLS_H
