// SPDX-License-Identifier: MIT
// The scanned-roots registry: the canonical roots of every scan started in
// this process, below which the guarded delete may act. It only grows.
#ifndef DUP_ROOTS_H
#define DUP_ROOTS_H

#include <cstdint>
#include <mutex>

// One registered root. A root that was a regular file when it was
// registered admits its own name only, and only while that name leads to
// the same file; any other root admits itself and everything below it.
struct dup_root_t {
    char *path;  // canonical text; null when its copy got no memory
    bool is_file;
    uint64_t dev, ino;  // the file's identity, for a file root
};

// Guards the registry. Never held while the file system is asked anything.
extern std::mutex g_roots_mu;
// The registered roots in order of registration, never shrunk or freed.
// Used only under g_roots_mu.
extern dup_root_t *g_roots;
extern int32_t g_n_roots;
extern int32_t g_cap_roots;

// The canonical form of a scan root, for the registry: only when the root
// itself exists, is not a symbolic link and resolves. Null otherwise.
// Caller frees.
char *dup_root_canonical(const char *path);
// Adds every non-null root not yet registered, each as what its canonical
// name leads to now: a regular file is registered with its identity (a
// name registered before for another file gets one more entry), anything
// else as a tree. Roots that find no memory, or whose status cannot be read
// for want of memory or handles, are left out silently; the scan carries
// on.
void dup_register_roots(char **roots, int32_t n);

// How a canonical path relates to the registry.
enum dup_admission : uint8_t {
    DUP_ADMIT_NONE,  // outside every root
    DUP_ADMIT_TREE,  // a tree root, or below one
    DUP_ADMIT_FILE,  // exactly a file root's name, and in no tree
};
dup_admission dup_root_admission(const char *canon);
// Whether canon is registered as a file root for the file (dev, ino).
bool dup_root_is_file(const char *canon, uint64_t dev, uint64_t ino);

#endif  // DUP_ROOTS_H
