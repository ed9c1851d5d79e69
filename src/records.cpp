// SPDX-License-Identifier: MIT
// The record arrays of a scan: skipped entries and groups appended, and the
// release of everything a scan holds.
#include <cstdlib>
#include <cstring>

#include "scan.h"

namespace {

// The one table of reason names, in the order of the enum: the results text,
// the header's list and every host's comparison go by these texts.
struct reason_row {
    dup_skip_reason reason;
    const char *name;
};
constexpr reason_row REASONS[] = {
    {DUP_SKIP_ROOT_MISSING, "root_missing"},
    {DUP_SKIP_NAME_TOO_LONG, "name_too_long"},
    {DUP_SKIP_NOT_DIRECTORY, "not_directory"},
    {DUP_SKIP_SYMLINK, "symlink"},
    {DUP_SKIP_SYMLINK_STAT_FAILED, "symlink_stat_failed"},
    {DUP_SKIP_SYMLINK_LOOP, "symlink_loop"},
    {DUP_SKIP_ALREADY_SCANNED, "already_scanned"},
    {DUP_SKIP_BELOW_MIN_SIZE, "below_min_size"},
    {DUP_SKIP_ABOVE_MAX_SIZE, "above_max_size"},
    {DUP_SKIP_EXCLUDE, "exclude"},
    {DUP_SKIP_EXCLUDE_GLOB, "exclude_glob"},
    {DUP_SKIP_HIDDEN, "hidden"},
    {DUP_SKIP_OTHER_FILE_SYSTEM, "other_file_system"},
    {DUP_SKIP_MAX_DEPTH, "max_depth"},
    {DUP_SKIP_NEWER_THAN, "newer_than"},
    {DUP_SKIP_OLDER_THAN, "older_than"},
    {DUP_SKIP_NOT_INCLUDED, "not_included"},
    {DUP_SKIP_LSTAT_FAILED, "lstat_failed"},
    {DUP_SKIP_NOT_REGULAR, "not_regular"},
    {DUP_SKIP_OPENDIR_FAILED, "opendir_failed"},
    {DUP_SKIP_INVALID_UTF8, "invalid_utf8"},
    {DUP_SKIP_READ_FAILED, "read_failed"},
    {DUP_SKIP_MAX_FILES_REACHED, "max_files_reached"},
    {DUP_SKIP_CACHE_IGNORED, "cache_ignored"},
    {DUP_SKIP_CACHE_NOT_WRITTEN, "cache_not_written"},
};
static_assert(sizeof REASONS / sizeof REASONS[0] == DUP_SKIP_REASON_COUNT, "a reason without a name");

constexpr bool reasons_in_order() {
    for (size_t i = 0; i < DUP_SKIP_REASON_COUNT; i++)
        if (REASONS[i].reason != i) return false;
    return true;
}
static_assert(reasons_in_order(), "the reason table is out of the enum's order");

void free_strings(char **v, int32_t n) {
    if (!v) return;
    for (int32_t i = 0; i < n; i++) free(v[i]);
    free(v);
}

char *keep_in(dup_path_chunk **arena, const char *path) {
    if (!path) return nullptr;
    const size_t n = strlen(path) + 1;
    dup_path_chunk *c = *arena;
    if (!c || c->cap - c->used < n) {
        // Each chunk twice the last, up to the largest; a path longer than
        // that gets a chunk of its own size.
        size_t cap = c ? (c->cap >= DUP_PATH_CHUNK_MAX / 2 ? DUP_PATH_CHUNK_MAX : c->cap * 2 + sizeof *c)
                       : DUP_PATH_CHUNK_FIRST;
        if (cap < n) cap = n;
        auto *fresh = static_cast<dup_path_chunk *>(dup_malloc(sizeof(dup_path_chunk) + cap));
        if (!fresh) return nullptr;
        fresh->next = c;
        fresh->used = 0;
        fresh->cap = cap;
        *arena = c = fresh;
    }
    char *p = reinterpret_cast<char *>(c + 1) + c->used;
    memcpy(p, path, n);
    c->used += n;
    return p;
}

void free_chain(dup_path_chunk *c) {
    while (c) {
        dup_path_chunk *next = c->next;
        free(c);
        c = next;
    }
}

}  // namespace

char *dup_keep_path(dup_scan_t *scan, const char *path) { return keep_in(&scan->paths, path); }

const char *dup_skip_reason_name(dup_skip_reason reason) {
    return reason < DUP_SKIP_REASON_COUNT ? REASONS[reason].name : nullptr;
}

dup_result dup_add_skip(dup_scan_t *scan, const char *path, dup_skip_reason reason) {
    if (!path || !dup_array_reserve(scan->skipped, scan->n_skipped, scan->cap_skipped, DUP_SKIPPED_FIRST_CAP))
        return DUP_NOMEM;
    char *p = dup_strdup(path);
    if (!p) return DUP_NOMEM;
    scan->skipped[scan->n_skipped].path = p;
    scan->skipped[scan->n_skipped].reason = reason;
    scan->n_skipped++;
    return DUP_OK;
}

dup_result dup_append_group(dup_scan_t *scan, uint64_t hash, int64_t size, char *const *list, int32_t cnt,
                            int32_t distinct) {
    if (!dup_array_reserve(scan->groups, scan->n_groups, scan->cap_groups, DUP_GROUPS_FIRST_CAP)) return DUP_NOMEM;
    char **files = static_cast<char **>(dup_calloc(static_cast<size_t>(cnt), sizeof(char *)));
    if (!files) return DUP_NOMEM;
    for (int32_t t = 0; t < cnt; t++) files[t] = list[t];
    dup_group_t &g = scan->groups[scan->n_groups];
    g.hash = hash;
    g.size = size;
    g.files = files;
    g.n_files = cnt;
    g.packed = 1;
    scan->n_groups++;
    scan->wasted_bytes += size * static_cast<int64_t>(distinct - 1);
    return DUP_OK;
}

void dup_scan_defaults(dup_scan_t *scan) {
    scan->min_size = 1;
    scan->follow_symlinks = 0;
    scan->max_files = 0;
    scan->hard_links = 1;
    scan->max_size = -1;
    scan->skip_hidden = 0;
    scan->one_file_system = 0;
    scan->max_depth = -1;
    scan->has_newer_than = scan->has_older_than = 0;
    scan->newer_than = scan->older_than = 0;
    scan->glob_ignore_case = 0;
    scan->cache_keep_scans = DUP_CACHE_KEEP_SCANS;
}

bool dup_dev_slot(dup_scan_t *scan, uint64_t dev, uint32_t *slot) {
    // A walk meets few devices (one per file system it enters), so they are
    // searched in turn, the latest first.
    for (int32_t k = scan->n_devs - 1; k >= 0; k--)
        if (scan->devs[k] == dev) {
            *slot = static_cast<uint32_t>(k);
            return true;
        }
    // A record holds the position in 24 bits; a walk over more file systems
    // than that counts as memory running out.
    if (scan->n_devs >= DUP_MAX_DEVS || !dup_array_reserve(scan->devs, scan->n_devs, scan->cap_devs, 4)) return false;
    scan->devs[scan->n_devs] = dev;
    *slot = static_cast<uint32_t>(scan->n_devs++);
    return true;
}

namespace {

// The records of the collected files and their cache states; their paths
// and devices stay.
void free_records(dup_scan_t *scan) {
    free(scan->files);
    scan->files = nullptr;
    scan->n_files = scan->cap_files = 0;
    free(scan->states);
    scan->states = nullptr;
    scan->n_states = scan->cap_states = 0;
}

}  // namespace

dup_result dup_settle_groups(dup_scan_t *scan) {
    free_records(scan);
    for (int32_t g = 0; g < scan->n_groups; g++) {
        dup_group_t &grp = scan->groups[g];
        for (int32_t t = 0; grp.packed && t < grp.n_files; t++) {
            // On failure the copies made so far stay, beside the files'
            // paths that the others still point into: both arenas go with
            // the scan.
            char *c = grp.files[t] ? keep_in(&scan->group_paths, grp.files[t]) : nullptr;
            if (grp.files[t] && !c) return DUP_NOMEM;
            grp.files[t] = c;
        }
    }
    dup_free_files(scan);
    return DUP_OK;
}

void dup_free_files(dup_scan_t *scan) {
    free_records(scan);
    free_chain(scan->paths);
    scan->paths = nullptr;
    free(scan->devs);
    scan->devs = nullptr;
    scan->n_devs = scan->cap_devs = 0;
}

void free_scan_data(dup_scan_t *scan) {
    free_strings(scan->roots, scan->n_roots);
    free_strings(scan->real_roots, scan->n_real_roots);
    free_strings(scan->exclude, scan->n_exclude);
    free_strings(scan->exclude_glob, scan->n_exclude_glob);
    free_strings(scan->include_glob, scan->n_include_glob);
    dup_free_files(scan);
    if (scan->skipped) {
        for (int32_t i = 0; i < scan->n_skipped; i++) free(scan->skipped[i].path);
        free(scan->skipped);
    }
    if (scan->groups) {
        for (int32_t i = 0; i < scan->n_groups; i++) {
            if (scan->groups[i].packed) free(scan->groups[i].files);
            else free_strings(scan->groups[i].files, scan->groups[i].n_files);
        }
        free(scan->groups);
    }
    free_chain(scan->group_paths);
    scan->group_paths = nullptr;
    free(scan->results_json);
    free(scan->cache_path);
    scan->cache_path = nullptr;

    scan->roots = scan->real_roots = scan->exclude = scan->exclude_glob = nullptr;
    scan->n_roots = scan->n_real_roots = scan->n_exclude = scan->n_exclude_glob = 0;
    scan->include_glob = nullptr;
    scan->n_include_glob = 0;
    scan->skipped = nullptr;
    scan->n_skipped = scan->cap_skipped = 0;
    scan->groups = nullptr;
    scan->n_groups = scan->cap_groups = 0;
    scan->results_json = nullptr;
    scan->wasted_bytes = 0;
    scan->scanned_files = 0;
}
