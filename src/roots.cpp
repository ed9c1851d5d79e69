// SPDX-License-Identifier: MIT
// The scanned-roots registry and its index.
#include "roots.h"

#include <cstdlib>
#include <cstring>

#include <xxhash.h>

#include "base.h"
#include "platform/platform.h"

std::mutex g_roots_mu;
char **g_roots = nullptr;
int32_t g_n_roots = 0;
int32_t g_cap_roots = 0;

namespace {

constexpr int32_t ROOTS_FIRST_CAP = 8;

// ---- index of the registry -------------------------------------------------------

// An index over g_roots by content: a scan may name 100,000 roots, and
// comparing each new root with every registered one, or each path to
// delete with every root, would cost time quadratic in them. Null entries
// of g_roots are not in it. Used only under g_roots_mu; like the registry
// it is never freed.
dup_index_t g_index;

uint64_t text_hash(const char *s, size_t n) { return XXH64(s, n, 0); }

// Whether the root s[0..n) is registered.
bool registered(const char *s, size_t n) {
    int32_t k;
    return dup_index_find(
        g_index, text_hash(s, n), [&](int32_t i) { return strlen(g_roots[i]) == n && memcmp(g_roots[i], s, n) == 0; },
        &k);
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

// Each of canon's leading components is looked up in the index:
// "/photos/x/y.jpg" asks for "/photos/x/y.jpg", "/photos/x" and "/photos",
// so "/photos" never admits "/photos2". Only the file-system root "/" ends
// in '/', and everything absolute lies below it.
bool dup_root_admits(const char *canon) {
    std::lock_guard<std::mutex> lock(g_roots_mu);
    const size_t n = strlen(canon);
    if (canon[0] == '/' && registered("/", 1)) return true;
    for (size_t i = 1; i <= n; i++)
        if ((i == n || canon[i] == '/') && registered(canon, i)) return true;
    return false;
}

void dup_register_roots(char **roots, int32_t n) {
    if (!roots || n <= 0) return;
    std::lock_guard<std::mutex> lock(g_roots_mu);
    for (int32_t i = 0; i < n; i++) {
        const char *root = roots[i];
        if (!root || registered(root, strlen(root))) continue;
        // Without room the rest of this call's roots go unregistered; the
        // scan itself carries on.
        if (!dup_array_reserve(g_roots, g_n_roots, g_cap_roots, ROOTS_FIRST_CAP) ||
            !dup_index_reserve(g_index, [](int32_t k) { return text_hash(g_roots[k], strlen(g_roots[k])); }))
            return;
        // A failed copy leaves a null entry that lookups pass over; the same
        // root can then be registered again by a later scan.
        char *copy = dup_strdup(root);
        g_roots[g_n_roots] = copy;
        if (copy) dup_index_put(g_index, text_hash(copy, strlen(copy)), g_n_roots);
        g_n_roots++;
    }
}
