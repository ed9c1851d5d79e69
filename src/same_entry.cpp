// SPDX-License-Identifier: MIT
// One entry under two paths.
//
// The walk can collect one directory entry more than once: a file given as
// a root and met again below another root, a followed link to a file beside
// the file itself, a path through a bind mount beside the path it mirrors.
// A group would then list one file under two names, and a host that deletes
// "the other copy" destroys the only one. So before anything is counted or
// grouped, records that name the same entry are merged, the first in walk
// order kept.
//
// Two paths name the same entry when the entry's directory is one directory
// (device and inode) and the entry's name in it is the same, whatever the
// text of the paths says. Hard links are different entries of one file and
// stay; what becomes of them is the grouping's and the host's concern.
#include "same_entry.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <xxhash.h>

#include "base.h"
#include "platform/platform.h"

namespace {

template <class T>
using tmp_array = dup_tmp_array<T>;

// Where a record's entry lives: its directory's identity and its name.
struct entry_key {
    uint64_t dir_dev;
    uint64_t dir_ino;
    char *name;   // heap; null when the entry could not be placed
    int32_t rec;  // the record's position
};

// The directory part of path with its separator ("." for a bare name, "/"
// right below the file-system root, "C:/" below a drive's) as a new heap
// string, and the name after it. The separator is kept so that the root of
// a drive stays its root rather than the drive's working directory.
char *split_path(const char *path, const char **name) {
    const char *slash = nullptr;  // the last separator, whichever the system uses
    for (const char *c = path; *c; c++)
        if (dup_path_separator(*c)) slash = c;
    *name = slash ? slash + 1 : path;
    if (!slash) return dup_strdup(".");
    const size_t n = static_cast<size_t>(slash - path) + 1;
    char *dir = static_cast<char *>(dup_malloc(n + 1));
    if (!dir) return nullptr;
    memcpy(dir, path, n);
    dir[n] = '\0';
    return dir;
}

// Places the entry that record f names now. A record reached through a
// followed link names the link's target, so the target's canonical path is
// placed instead. DUP_OK with key set, DUP_FAILED when the entry cannot be
// placed (gone, no longer the file the walk saw), DUP_NOMEM.
dup_result place_entry(const dup_file_t &f, uint64_t dev, entry_key *key) {
    dup_stat_t st;
    if (dup_fill_stat(f.path, &st, 0) != DUP_OK) return DUP_FAILED;
    std::unique_ptr<char, dup_free_deleter> canon;
    const char *target = f.path;
    if (st.type == DUP_FT_LNK) {
        if (dup_fill_stat(f.path, &st, 1) != DUP_OK || st.type != DUP_FT_REG) return DUP_FAILED;
        // Checked again below in case the path changed meanwhile.
        canon.reset(dup_canonical_path(f.path));
        if (!canon) return DUP_FAILED;
        target = canon.get();
        if (dup_fill_stat(target, &st, 0) != DUP_OK) st.type = DUP_FT_OTHER;
    }
    if (st.type != DUP_FT_REG || st.dev != dev || st.ino != f.ino) return DUP_FAILED;
    const char *name;
    std::unique_ptr<char, dup_free_deleter> dir(split_path(target, &name));
    if (!dir) return DUP_NOMEM;
    dup_stat_t dst;
    if (dup_fill_stat(dir.get(), &dst, 1) != DUP_OK || dst.type != DUP_FT_DIR) return DUP_FAILED;
    key->dir_dev = dst.dev;
    key->dir_ino = dst.ino;
    key->name = dup_strdup(name);
    return key->name ? DUP_OK : DUP_NOMEM;
}

int cmp_keys(const entry_key &a, const entry_key &b) {
    if (a.dir_dev != b.dir_dev) return a.dir_dev < b.dir_dev ? -1 : 1;
    if (a.dir_ino != b.dir_ino) return a.dir_ino < b.dir_ino ? -1 : 1;
    return strcmp(a.name, b.name);
}

// Marks in drop[] the later records of idx[s, t) (all of one identity)
// that name the entry of an earlier one. A record whose entry cannot be
// placed may be any of the others, so it is dropped too, unless none can
// be placed: then the first stands for them all. The keys are taken for
// these records only: most records share their identity with none, and an
// array of keys for every record would be the largest block of the merge.
// DUP_OK or DUP_NOMEM.
dup_result mark_same_entries(const dup_file_t *f, const uint64_t *devs, const int32_t *idx, int32_t s, int32_t t,
                             unsigned char *drop) {
    const int32_t m = t - s;
    tmp_array<entry_key> key;
    if (!key.alloc(m)) return DUP_NOMEM;
    int32_t placed = 0;
    dup_result r = DUP_OK;
    for (int32_t k = 0; k < m && r == DUP_OK; k++) {
        key[k].rec = idx[s + k];
        const dup_result pr = place_entry(f[idx[s + k]], devs[f[idx[s + k]].dev], &key[k]);
        if (pr == DUP_NOMEM) r = DUP_NOMEM;
        if (pr == DUP_OK) placed++;
    }
    if (r == DUP_OK) {
        for (int32_t k = 0; k < m; k++)
            if (!key[k].name && (placed > 0 || k > 0)) drop[key[k].rec] = 1;
        std::sort(key.p, key.p + m, [&](const entry_key &a, const entry_key &b) {
            if (!a.name || !b.name) {  // the placed ones first
                if (a.name) return true;
                if (b.name) return false;
                return a.rec < b.rec;
            }
            const int c = cmp_keys(a, b);
            return c != 0 ? c < 0 : a.rec < b.rec;
        });
        for (int32_t k = 1; k < placed; k++)
            if (cmp_keys(key[k], key[k - 1]) == 0) drop[key[k].rec] = 1;
    }
    for (int32_t k = 0; k < m; k++) free(key[k].name);
    return r;
}

}  // namespace

dup_result dup_merge_same_entries(dup_scan_t *scan) {
    dup_file_t *f = scan->files;
    const int32_t n = scan->n_files;
    if (n < 2) return DUP_OK;
    tmp_array<unsigned char> drop;
    if (!drop.alloc(n)) return DUP_NOMEM;

    // Identical path strings always name one entry; no query is needed. The
    // paths' hashes are kept in the records' fingerprint fields, which
    // nothing has filled yet, rather than in an array beside them. The sort
    // is of the hashes' first 33 bits with the record's position below them,
    // in one word: a sort of positions that looks each hash up in its
    // record waits on memory at every comparison, which on a walk of a
    // million files was most of the merge's time. Identical paths share the
    // word's high bits, and only the few records that do are compared in
    // full.
    {
        constexpr int POS_BITS = 31;  // n_files is an int32_t
        constexpr uint64_t POS_MASK = (uint64_t{1} << POS_BITS) - 1;
        tmp_array<uint64_t> key;
        if (!key.alloc(n)) return DUP_NOMEM;
        for (int32_t i = 0; i < n; i++) {
            f[i].full_hash = XXH64(f[i].path, strlen(f[i].path), 0);
            key[i] = (f[i].full_hash & ~POS_MASK) | static_cast<uint64_t>(i);
        }
        std::sort(key.p, key.p + n);
        const auto pos = [](uint64_t k) { return static_cast<int32_t>(k & POS_MASK); };
        for (int32_t s = 0; s < n;) {
            int32_t t = s + 1;
            while (t < n && (key[t] >> POS_BITS) == (key[s] >> POS_BITS)) t++;
            if (t - s >= 2) {
                std::sort(key.p + s, key.p + t, [&](uint64_t ka, uint64_t kb) {
                    const int32_t a = pos(ka), b = pos(kb);
                    if (f[a].full_hash != f[b].full_hash) return f[a].full_hash < f[b].full_hash;
                    int c = strcmp(f[a].path, f[b].path);
                    return c != 0 ? c < 0 : a < b;
                });
                for (int32_t k = s + 1; k < t; k++) {
                    const int32_t a = pos(key[k - 1]), b = pos(key[k]);
                    if (f[a].full_hash == f[b].full_hash && strcmp(f[a].path, f[b].path) == 0) drop[b] = 1;
                }
            }
            s = t;
        }
    }
    tmp_array<int32_t> idx;
    if (!idx.alloc(n)) return DUP_NOMEM;

    // Different paths can name one entry only when they reach one file, so
    // entries are placed only for records that the walk saw with the same
    // identity: hard links and the cases above, a small share of a tree.
    int32_t m = 0;
    for (int32_t i = 0; i < n; i++)
        if (!drop[i]) idx[m++] = i;
    std::sort(idx.p, idx.p + m, [&](int32_t a, int32_t b) {
        if (f[a].dev != f[b].dev) return f[a].dev < f[b].dev;
        if (f[a].ino != f[b].ino) return f[a].ino < f[b].ino;
        return a < b;
    });
    for (int32_t s = 0; s < m;) {
        int32_t t = s + 1;
        while (t < m && f[idx[t]].dev == f[idx[s]].dev && f[idx[t]].ino == f[idx[s]].ino) t++;
        if (t - s >= 2) {
            if (!scan->hard_links) {
                // Names of one file count as that file: the first met stands
                // for them all.
                for (int32_t k = s + 1; k < t; k++) drop[idx[k]] = 1;
            } else if (mark_same_entries(f, scan->devs, idx.p, s, t, drop.p) != DUP_OK) {
                return DUP_NOMEM;
            }
        }
        s = t;
    }

    // A dropped record's path stays in the arena until the files are freed.
    int32_t w = 0;
    for (int32_t i = 0; i < n; i++) {
        f[i].full_hash = 0;
        if (!drop[i]) f[w++] = f[i];
    }
    if (w < n) memset(static_cast<void *>(f + w), 0, sizeof(dup_file_t) * static_cast<size_t>(n - w));
    scan->n_files = w;
    return DUP_OK;
}
