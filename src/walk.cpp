// SPDX-License-Identifier: MIT
// The tree walk: a scan's roots turned into two arrays of the scan record,
// `files` (regular files at or above the size floor) and `skipped`
// (everything passed over, with a reason code).
#include "walk.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "base.h"
#include "glob.h"
#include "platform/platform.h"

namespace {

// Identity of a file system object: equal for two paths that reach the same
// object, whichever links they pass through.
struct file_id {
    uint64_t dev;
    uint64_t ino;
};

file_id id_of(const dup_stat_t &st) { return file_id{st.dev, st.ino}; }

// Opens a directory for listing. When the process is out of file handles
// (other scans, the pools, or the host holding them) it waits for some to
// be closed, so that a tree is not reported unreadable for what is only a
// passing shortage; after about two seconds it gives up.
dup_dir_t *open_listing(const char *path) {
    dup_backoff wait;
    for (;;) {
        dup_dir_t *d;
        const dup_result r = dup_dir_open(path, &d);
        if (r != DUP_NO_HANDLE || wait.exhausted()) return d;
        const int64_t step = wait.take();
        std::this_thread::sleep_for(std::chrono::nanoseconds(step));
        wait.spent_ns += step;
    }
}

// An open directory listing, closed on every path out of the scope that
// opened it.
using dir_listing = std::unique_ptr<dup_dir_t, dup_closer<&dup_dir_close>>;

// ---- helpers -------------------------------------------------------------------

// A heap buffer released when its scope ends: the walk's join buffer, and
// the display copy of an unreadable name.
using heap_buf = std::unique_ptr<char, dup_free_deleter>;

// Resizes buf to exactly n bytes. False when memory ran out: the old block
// stays as it was.
bool resize(heap_buf &buf, size_t n) {
    char *p = static_cast<char *>(dup_realloc(buf.get(), n));
    if (!p) return false;
    static_cast<void>(buf.release());  // p replaces the block realloc took over
    buf.reset(p);
    return true;
}

bool is_valid_utf8(const char *s) { return dup_utf8_valid(s, strlen(s)); }

// Joins a directory and an entry name into buf (of exactly `need` bytes, as
// join_length gives): "dir/name", or "/name" under the root "/". A root given
// with a trailing separator keeps it, so "/data/" gives "/data//name".
size_t join_length(const char *dir, const char *name) { return strlen(dir) + strlen(name) + 2; }

void join_path(char *buf, size_t need, const char *dir, const char *name) {
    if (strcmp(dir, "/") == 0) snprintf(buf, need, "/%s", name);
    else snprintf(buf, need, "%s/%s", dir, name);
}

// The joined path of an entry whose name is not valid UTF-8, with every byte
// that is not part of a valid sequence replaced by U+FFFD, in a new heap
// block. Null when memory runs out.
char *join_for_display(const char *dir, const char *name) {
    static const char replacement[] = "\xEF\xBF\xBD";
    size_t need = join_length(dir, name);
    const heap_buf raw(static_cast<char *>(dup_malloc(need)));
    if (!raw) return nullptr;
    join_path(raw.get(), need, dir, name);
    size_t len = strlen(raw.get());
    // Every byte becomes at most three.
    char *out = static_cast<char *>(dup_malloc(3 * len + 1));
    if (!out) return nullptr;
    const char *end = raw.get() + len;
    char *w = out;
    for (const char *p = raw.get(); p < end;) {
        size_t n = dup_utf8_sequence_length(p, end);
        if (n == 0) {
            memcpy(w, replacement, 3);
            w += 3;
            p += 1;
        } else {
            memcpy(w, p, n);
            w += n;
            p += n;
        }
    }
    *w = '\0';
    return out;
}

// One directory of the current descent, innermost first. A followed link
// that leads back to any of them would repeat the descent without end.
struct ancestor {
    file_id id;
    const ancestor *parent;
    int via_link;   // reached by following a link named by its own path
    int64_t depth;  // levels below the root: 0 for the root itself
};

bool is_ancestor(const ancestor *chain, const file_id &id) {
    for (const ancestor *a = chain; a; a = a->parent)
        if (a->id.dev == id.dev && a->id.ino == id.ino) return true;
    return false;
}

// The directories entered so far in one scan, by identity. A directory is
// listed once however many ways lead to it: the same root given twice, a
// root inside another, a bind mount of a directory beside it, or followed
// links. Without it a tree of directories each holding two links to the
// next is walked 2^depth times, and one file is collected under every one
// of those paths.
class dir_set {
public:
    dir_set() = default;
    ~dir_set() {
        free(ids_);
        free(index_.slots);
    }
    dir_set(const dir_set &) = delete;
    dir_set &operator=(const dir_set &) = delete;

    // Adds id unless it is there already; *added tells which. DUP_OK, or
    // DUP_NOMEM with the set unchanged.
    dup_result insert(const file_id &id, bool *added) {
        *added = false;
        int32_t k;
        if (dup_index_find(
                index_, hash(id), [&](int32_t i) { return ids_[i].dev == id.dev && ids_[i].ino == id.ino; }, &k))
            return DUP_OK;
        if (!dup_array_reserve(ids_, n_, cap_, 64) ||
            !dup_index_reserve(index_, [&](int32_t i) { return hash(ids_[i]); }))
            return DUP_NOMEM;
        ids_[n_] = id;
        dup_index_put(index_, hash(id), n_);
        n_++;
        *added = true;
        return DUP_OK;
    }

private:
    static uint64_t hash(const file_id &id) {
        const uint64_t h = (id.ino ^ (id.dev * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
        return h ^ (h >> 31);
    }

    file_id *ids_ = nullptr;  // in the order entered
    int32_t n_ = 0, cap_ = 0;
    dup_index_t index_;
};

// What one scan's walk carries down the descent.
struct walk_state {
    dup_scan_t *scan;
    dir_set entered;
    const char *root = nullptr;  // the root being walked, as given
    uint64_t root_dev = 0;       // its device
};

// Whether `dir`, just opened as `listing`, is still the directory that the
// walk's status query saw, reached the same way. A directory swapped for a
// link (or moved away and replaced by one) between that query and the open
// must not be listed: its entries would be recorded under paths that now
// lead outside the tree being walked.
bool still_reaches(const char *dir, const ancestor &expected, const dup_dir_t *listing) {
    dup_stat_t now;
    return dup_dir_is(listing, expected.id.dev, expected.id.ino) &&
           dup_fill_stat(dir, &now, expected.via_link) == DUP_OK && now.type == DUP_FT_DIR &&
           now.dev == expected.id.dev && now.ino == expected.id.ino;
}

bool cap_reached(const dup_scan_t *scan) {
    return scan->max_files > 0 && static_cast<int64_t>(scan->n_files) >= scan->max_files;
}

// ---- the collected files ------------------------------------------------------------

// Appends a collected file. DUP_OK added, DUP_STOPPED the cap was already
// reached, DUP_NOMEM; in both failures nothing is added. The file the cap
// leaves out is recorded: the cap counts names, while the results count
// files, so a host could not otherwise tell a walk that stopped here from
// one that found fewer files than the cap.
dup_result add_file(dup_scan_t *scan, const char *path, const dup_stat_t &st) {
    if (cap_reached(scan)) {
        if (dup_add_skip(scan, path, DUP_SKIP_MAX_FILES_REACHED) != DUP_OK) return DUP_NOMEM;
        return DUP_STOPPED;
    }
    // A capacity that would no longer fit the 32-bit count counts as
    // memory running out.
    if (!dup_array_reserve(scan->files, scan->n_files, scan->cap_files, DUP_FILES_FIRST_CAP, false)) return DUP_NOMEM;
    uint32_t dev = 0;
    char *copy = dup_dev_slot(scan, st.dev, &dev) ? dup_keep_path(scan, path) : nullptr;
    if (!copy) return DUP_NOMEM;
    dup_file_t &f = scan->files[scan->n_files];
    f = dup_file_t{};  // the array's spare records are not zeroed
    f.path = copy;
    f.size = st.size;
    f.dev = dev & 0xFFFFFFu;  // dup_dev_slot keeps it below DUP_MAX_DEVS
    f.ino = st.ino;
    if (scan->cache_path) {
        // The path stays in the arena, freed with the scan that this ends.
        if (!dup_array_reserve(scan->states, scan->n_states, scan->cap_states, DUP_FILES_FIRST_CAP, false))
            return DUP_NOMEM;
        f.state = scan->n_states;
        dup_file_state &fs = scan->states[scan->n_states++];
        fs = dup_file_state{};
        fs.walk.mtime_ns = st.mtime_ns;
        fs.walk.ctime_ns = st.ctime_ns;
    }
    scan->n_files++;
    return DUP_OK;
}

// ---- the walk --------------------------------------------------------------------

dup_result walk_dir(walk_state &w, const char *dir, const ancestor *chain);

// Enters the directory `path` (identity id) unless this scan has entered it
// already, which is then recorded as already scanned. Same results as
// walk_dir, and DUP_NOMEM when the record of entered directories has none.
dup_result enter_dir(walk_state &w, const char *path, const file_id &id, const ancestor *chain, int via_link) {
    const dup_scan_t *scan = w.scan;
    const int64_t depth = chain ? chain->depth + 1 : 0;
    // Neither marks the directory entered: another way in may still pass.
    // "max_depth" counts the levels of entries collected, as find -maxdepth
    // does: a directory at depth d holds entries at d + 1.
    if (scan->max_depth >= 0 && depth >= scan->max_depth) {
        return dup_add_skip(w.scan, path, DUP_SKIP_MAX_DEPTH);
    }
    if (scan->one_file_system && chain && id.dev != w.root_dev) {
        return dup_add_skip(w.scan, path, DUP_SKIP_OTHER_FILE_SYSTEM);
    }
    bool fresh;
    if (w.entered.insert(id, &fresh) != DUP_OK) return DUP_NOMEM;
    if (!fresh) return dup_add_skip(w.scan, path, DUP_SKIP_ALREADY_SCANNED);
    ancestor here{id, chain, via_link, depth};
    return walk_dir(w, path, &here);
}

// A regular file met during the walk (directly or through a followed link):
// collected under `path` unless it is below the size floor.
dup_result take_regular(dup_scan_t *scan, const char *path, const dup_stat_t &st) {
    if (st.size < scan->min_size) {
        return dup_add_skip(scan, path, DUP_SKIP_BELOW_MIN_SIZE);
    }
    if (scan->max_size >= 0 && st.size > scan->max_size) {
        return dup_add_skip(scan, path, DUP_SKIP_ABOVE_MAX_SIZE);
    }
    if (scan->has_newer_than && st.mtime < scan->newer_than) return dup_add_skip(scan, path, DUP_SKIP_NEWER_THAN);
    if (scan->has_older_than && st.mtime >= scan->older_than) return dup_add_skip(scan, path, DUP_SKIP_OLDER_THAN);
    return add_file(scan, path, st);
}

// Whether an "exclude_glob" pattern leaves out the entry `name` at `path`:
// with dir false, the patterns that match any entry, tried before its
// status is read; with dir true, those that end in '/' and match
// directories only, tried once the entry is known to be one.
bool glob_excluded(const walk_state &w, const char *name, const char *path, bool dir) {
    const dup_scan_t *scan = w.scan;
    if (scan->n_exclude_glob == 0) return false;
    const char *relative = path + strlen(w.root);
    while (*relative == '/') relative++;
    for (int32_t i = 0; i < scan->n_exclude_glob; i++) {
        const char *pattern = scan->exclude_glob[i];
        if (dup_glob_dir_only(pattern) == dir && dup_glob_excludes(pattern, name, relative, scan->glob_ignore_case))
            return true;
    }
    return false;
}

// Whether "include_glob" leaves out the regular file `name` at `path`: it
// does when it holds patterns and none of them matches.
bool not_included(const walk_state &w, const char *name, const char *path) {
    const dup_scan_t *scan = w.scan;
    if (scan->n_include_glob == 0) return false;
    const char *relative = path + strlen(w.root);
    while (*relative == '/') relative++;
    for (int32_t i = 0; i < scan->n_include_glob; i++)
        if (dup_glob_excludes(scan->include_glob[i], name, relative, scan->glob_ignore_case)) return false;
    return true;
}

// A regular file met in a directory: collected unless a filter leaves it out.
dup_result take_listed_file(walk_state &w, const char *name, const char *path, const dup_stat_t &st) {
    if (not_included(w, name, path)) return dup_add_skip(w.scan, path, DUP_SKIP_NOT_INCLUDED);
    return take_regular(w.scan, path, st);
}

// Handles one entry `name` of a directory listing; `path` is its joined
// path. DUP_OK continues the listing; DUP_STOPPED (cancel or file cap) and
// DUP_NOMEM stop it.
dup_result walk_entry(walk_state &w, const dup_dir_t *listing, const char *name, const char *path,
                      const ancestor *chain) {
    dup_scan_t *scan = w.scan;
    for (int32_t i = 0; i < scan->n_exclude; i++)
        if (scan->exclude[i] && strstr(path, scan->exclude[i])) return dup_add_skip(scan, path, DUP_SKIP_EXCLUDE);
    if (scan->skip_hidden && name[0] == '.') return dup_add_skip(scan, path, DUP_SKIP_HIDDEN);
    if (glob_excluded(w, name, path, false)) return dup_add_skip(scan, path, DUP_SKIP_EXCLUDE_GLOB);

    // A status query that ran out of memory says nothing of the entry: the
    // walk fails rather than record a readable entry as unreadable.
    dup_stat_t st;
    if (const dup_result r = dup_dir_stat(listing, name, &st, 0); r != DUP_OK) {
        return r == DUP_NOMEM ? DUP_NOMEM : dup_add_skip(scan, path, DUP_SKIP_LSTAT_FAILED);
    }
    switch (st.type) {
    case DUP_FT_LNK:
        if (!scan->follow_symlinks) {
            return dup_add_skip(scan, path, DUP_SKIP_SYMLINK);
        }
        if (const dup_result r = dup_dir_stat(listing, name, &st, 1); r != DUP_OK) {
            return r == DUP_NOMEM ? DUP_NOMEM : dup_add_skip(scan, path, DUP_SKIP_SYMLINK_STAT_FAILED);
        }
        if (st.type == DUP_FT_DIR) {
            if (glob_excluded(w, name, path, true)) return dup_add_skip(scan, path, DUP_SKIP_EXCLUDE_GLOB);
            if (is_ancestor(chain, id_of(st))) {
                return dup_add_skip(scan, path, DUP_SKIP_SYMLINK_LOOP);
            }
            return enter_dir(w, path, id_of(st), chain, 1);
        }
        if (st.type == DUP_FT_REG) return take_listed_file(w, name, path, st);
        return dup_add_skip(scan, path, DUP_SKIP_NOT_REGULAR);
    case DUP_FT_REG: return take_listed_file(w, name, path, st);
    case DUP_FT_DIR:
        if (glob_excluded(w, name, path, true)) return dup_add_skip(scan, path, DUP_SKIP_EXCLUDE_GLOB);
        return enter_dir(w, path, id_of(st), chain, 0);
    default: return dup_add_skip(scan, path, DUP_SKIP_NOT_REGULAR);
    }
}

// Walks one directory and everything below it. `chain` starts with the
// directory itself. DUP_OK done, DUP_STOPPED by a cancel or the file cap,
// DUP_NOMEM; the first other than DUP_OK unwinds the whole descent.
dup_result walk_dir(walk_state &w, const char *dir, const ancestor *chain) {
    dup_scan_t *scan = w.scan;
    if (dup_cancel_requested(scan)) return DUP_STOPPED;
    const dir_listing listing(open_listing(dir));
    if (!listing || !still_reaches(dir, *chain, listing.get())) {
        return dup_add_skip(scan, dir, DUP_SKIP_OPENDIR_FAILED);
    }
    // One join buffer per level, reused for every entry; the levels below
    // have their own, so this one stays intact across a recursive call.
    heap_buf join;
    size_t join_cap = 0;
    while (const char *name = dup_dir_next(listing.get())) {
        if (dup_cancel_requested(scan)) return DUP_STOPPED;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (!is_valid_utf8(name)) {
            // Such a name could not be written into the results text; it is
            // reported under a readable form and not touched otherwise.
            char *shown = join_for_display(dir, name);
            const dup_result r = dup_add_skip(scan, shown, DUP_SKIP_INVALID_UTF8);
            free(shown);
            if (r != DUP_OK) return r;
            continue;
        }
        size_t need = join_length(dir, name);
        if (join_cap < need) {
            if (!resize(join, need)) return DUP_NOMEM;
            join_cap = need;
        }
        join_path(join.get(), need, dir, name);
        const dup_result r = walk_entry(w, listing.get(), name, join.get(), chain);
        if (r != DUP_OK) return r;
    }
    return DUP_OK;
}

}  // namespace

dup_result dup_walk_collect(dup_scan_t *scan) {
    walk_state w{scan, {}};
    for (int32_t i = 0; i < scan->n_roots; i++) {
        if (dup_cancel_requested(scan)) return DUP_STOPPED;
        const char *root = scan->roots[i];
        if (!root) return DUP_NOMEM;  // a copy that got no memory: no path to walk or record
        dup_stat_t st;
        if (const dup_result why = dup_fill_stat(root, &st, 0); why != DUP_OK) {
            if (why == DUP_NOMEM) return DUP_NOMEM;  // not a missing root
            // A name the system refuses as too long is told apart from a
            // mistyped one: the first cannot be found by retyping it.
            if (dup_add_skip(scan, root, why == DUP_NAME_TOO_LONG ? DUP_SKIP_NAME_TOO_LONG : DUP_SKIP_ROOT_MISSING) !=
                DUP_OK)
                return DUP_NOMEM;
            continue;
        }
        switch (st.type) {
        case DUP_FT_LNK:
            // Roots are taken as they are: a link root is never followed.
            if (dup_add_skip(scan, root, scan->follow_symlinks ? DUP_SKIP_NOT_DIRECTORY : DUP_SKIP_SYMLINK) != DUP_OK)
                return DUP_NOMEM;
            break;
        case DUP_FT_DIR: {
            w.root = root;
            w.root_dev = st.dev;
            const dup_result r = enter_dir(w, root, id_of(st), nullptr, 0);
            if (r == DUP_NOMEM) return DUP_NOMEM;
            if (r == DUP_STOPPED) {
                if (dup_cancel_requested(scan)) return DUP_STOPPED;
                if (cap_reached(scan)) return DUP_OK;
            }
            break;
        }
        case DUP_FT_REG:
            // A full cap changes nothing for the next root; a file that could
            // not be recorded would vanish from the results without a word.
            if (take_regular(scan, root, st) == DUP_NOMEM) return DUP_NOMEM;
            break;
        default:
            if (dup_add_skip(scan, root, DUP_SKIP_NOT_DIRECTORY) != DUP_OK) return DUP_NOMEM;
            break;
        }
    }
    return DUP_OK;
}
