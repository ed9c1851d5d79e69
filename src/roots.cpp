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

// An open-addressing table over g_roots by content: a scan may name 100,000
// roots, and comparing each new root with every registered one, or each
// path to delete with every root, would cost time quadratic in them. Slots
// hold an index into g_roots, or -1. Null entries of g_roots are not in it.
// Used only under g_roots_mu; like the registry it is never freed.
int32_t *g_index = nullptr;
size_t g_index_cap = 0;  // a power of two, or 0
size_t g_index_used = 0;

size_t text_hash(const char *s, size_t n) { return static_cast<size_t>(XXH64(s, n, 0)); }

// The index of the registered root equal to s[0..n), or -1.
int32_t index_find(const char *s, size_t n) {
    if (g_index_cap == 0) return -1;
    for (size_t at = text_hash(s, n) & (g_index_cap - 1);; at = (at + 1) & (g_index_cap - 1)) {
        const int32_t k = g_index[at];
        if (k < 0) return -1;
        if (strlen(g_roots[k]) == n && memcmp(g_roots[k], s, n) == 0) return k;
    }
}

void index_put(int32_t *table, size_t cap, int32_t k) {
    size_t at = text_hash(g_roots[k], strlen(g_roots[k])) & (cap - 1);
    while (table[at] >= 0) at = (at + 1) & (cap - 1);
    table[at] = k;
}

// Room for one more entry at a load of at most one half. False when memory
// ran out; the index is then unchanged.
bool index_reserve() {
    if ((g_index_used + 1) * 2 <= g_index_cap) return true;
    const size_t cap = g_index_cap == 0 ? 16 : g_index_cap * 2;
    auto *table = static_cast<int32_t *>(malloc(cap * sizeof(int32_t)));
    if (!table) return false;
    for (size_t i = 0; i < cap; i++) table[i] = -1;
    for (size_t i = 0; i < g_index_cap; i++)
        if (g_index[i] >= 0) index_put(table, cap, g_index[i]);
    free(g_index);
    g_index = table;
    g_index_cap = cap;
    return true;
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
    if (canon[0] == '/' && index_find("/", 1) >= 0) return true;
    for (size_t i = 1; i <= n; i++)
        if ((i == n || canon[i] == '/') && index_find(canon, i) >= 0) return true;
    return false;
}

void dup_register_roots(char **roots, int32_t n) {
    if (!roots || n <= 0) return;
    std::lock_guard<std::mutex> lock(g_roots_mu);
    for (int32_t i = 0; i < n; i++) {
        const char *root = roots[i];
        if (!root || index_find(root, strlen(root)) >= 0) continue;
        // Without room the rest of this call's roots go unregistered; the
        // scan itself carries on.
        if (!dup_array_reserve(g_roots, g_n_roots, g_cap_roots, ROOTS_FIRST_CAP) || !index_reserve()) return;
        // A failed copy leaves a null entry that lookups pass over; the same
        // root can then be registered again by a later scan.
        char *copy = dup_strdup(root);
        g_roots[g_n_roots] = copy;
        if (copy) {
            index_put(g_index, g_index_cap, g_n_roots);
            g_index_used++;
        }
        g_n_roots++;
    }
}

