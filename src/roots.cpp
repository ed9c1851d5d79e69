// SPDX-License-Identifier: MIT
// The scanned-roots registry and its index.
#include "roots.h"

#include <cstdlib>
#include <cstring>

#include <xxhash.h>

#include "base.h"
#include "platform/platform.h"

std::mutex g_roots_mu;
dup_root_t *g_roots = nullptr;
int32_t g_n_roots = 0;
int32_t g_cap_roots = 0;

namespace {

constexpr int32_t ROOTS_FIRST_CAP = 8;

// ---- index of the registry -------------------------------------------------------

// An index over g_roots by text: a scan may name 100,000 roots, and
// comparing each new root with every registered one, or each path to
// delete with every root, would cost time quadratic in them. Entries with
// a null text are not in it; the entries of one text (a tree, or files
// that held the name in turn) share its hash. Used only under g_roots_mu;
// like the registry it is never freed.
dup_index_t g_index;

uint64_t text_hash(const char *s, size_t n) { return XXH64(s, n, 0); }

// Whether an entry with the text s[0..n) for which also(entry) holds is
// registered.
template <class Also>
bool registered(const char *s, size_t n, Also also) {
    int32_t k;
    return dup_index_find(
        g_index, text_hash(s, n),
        [&](int32_t i) {
            const char *p = g_roots[i].path;
            return strlen(p) == n && memcmp(p, s, n) == 0 && also(g_roots[i]);
        },
        &k);
}

bool is_tree(const char *s, size_t n) {
    return registered(s, n, [](const dup_root_t &r) { return !r.is_file; });
}

}  // namespace

char *dup_root_canonical(const char *path) {
    // Deletes are admitted only below trees that a scan really walks: not
    // below the nearest ancestor of a mistyped root, and not below the target
    // of a link root, which the walk never enters.
    dup_stat_t st;
    if (!path || dup_fill_stat(path, &st, 0) != DUP_OK || st.type == DUP_FT_LNK) return nullptr;
    return dup_canonical_path(path);
}

// Each of canon's leading components is looked up among the trees:
// "/photos/x/y.jpg" asks for "/photos/x/y.jpg", "/photos/x" and "/photos",
// so "/photos" never admits "/photos2". Only the file-system root "/" ends
// in '/', and everything absolute lies below it. A file root is never a
// leading component of what it admits: a directory put in its place later
// was not scanned.
dup_admission dup_root_admission(const char *canon) {
    std::lock_guard<std::mutex> lock(g_roots_mu);
    const size_t n = strlen(canon);
    if (canon[0] == '/' && is_tree("/", 1)) return DUP_ADMIT_TREE;
    for (size_t i = 1; i <= n; i++)
        if ((i == n || canon[i] == '/') && is_tree(canon, i)) return DUP_ADMIT_TREE;
    return registered(canon, n, [](const dup_root_t &r) { return r.is_file; }) ? DUP_ADMIT_FILE : DUP_ADMIT_NONE;
}

bool dup_root_is_file(const char *canon, uint64_t dev, uint64_t ino) {
    std::lock_guard<std::mutex> lock(g_roots_mu);
    return registered(canon, strlen(canon),
                      [&](const dup_root_t &r) { return r.is_file && r.dev == dev && r.ino == ino; });
}

void dup_register_roots(char **roots, int32_t n) {
    if (!roots || n <= 0) return;
    for (int32_t i = 0; i < n; i++) {
        const char *root = roots[i];
        if (!root) continue;
        // The canonical name has no link left to resolve: what it leads to
        // now is what the walk that follows starts from. Asked before the
        // lock is taken. A root that could not be examined (no memory, no
        // handle) might be a file: it is left out rather than admit
        // whatever takes its name. One that is not there is registered as
        // a tree, as it always was.
        dup_stat_t st;
        const dup_result seen = dup_fill_stat(root, &st, 0);
        if (seen != DUP_OK && seen != DUP_FAILED) continue;
        dup_root_t entry{nullptr, seen == DUP_OK && st.type == DUP_FT_REG, 0, 0};
        if (entry.is_file) {
            entry.dev = st.dev;
            entry.ino = st.ino;
        }
        std::lock_guard<std::mutex> lock(g_roots_mu);
        if (registered(root, strlen(root), [&](const dup_root_t &r) {
                return r.is_file == entry.is_file && r.dev == entry.dev && r.ino == entry.ino;
            }))
            continue;
        // Without room the rest of this call's roots go unregistered; the
        // scan itself carries on.
        if (!dup_array_reserve(g_roots, g_n_roots, g_cap_roots, ROOTS_FIRST_CAP) ||
            !dup_index_reserve(g_index, [](int32_t k) { return text_hash(g_roots[k].path, strlen(g_roots[k].path)); }))
            return;
        // A failed copy leaves an entry without text that lookups pass
        // over; the same root can then be registered again by a later scan.
        entry.path = dup_strdup(root);
        g_roots[g_n_roots] = entry;
        if (entry.path) dup_index_put(g_index, text_hash(entry.path, strlen(entry.path)), g_n_roots);
        g_n_roots++;
    }
}
