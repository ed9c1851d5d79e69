// SPDX-License-Identifier: MIT
// The scanned-roots registry: the canonical roots of every scan started in
// this process, below which the guarded delete may act. It only grows.
#ifndef DUP_ROOTS_H
#define DUP_ROOTS_H

#include <cstdint>
#include <mutex>

// Guards the registry. Never held while the file system is asked anything.
extern std::mutex g_roots_mu;
// The registered roots in order of registration, never shrunk or freed. An
// entry is null when its copy got no memory. Used only under g_roots_mu.
extern char **g_roots;
extern int32_t g_n_roots;
extern int32_t g_cap_roots;

// The canonical form of a scan root, for the registry: only when the root
// itself exists, is not a symbolic link and resolves. Null otherwise.
// Caller frees.
char *dup_root_canonical(const char *path);
// Adds every non-null root not yet registered. Roots that find no memory
// are left out silently; the scan carries on.
void dup_register_roots(char **roots, int32_t n);
// Whether the canonical text canon is a registered root or lies below one.
bool dup_root_admits(const char *canon);

#endif  // DUP_ROOTS_H
