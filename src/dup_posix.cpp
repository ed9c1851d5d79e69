// File status query and the tree walk.
//
// The walk turns a scan's roots into two arrays of the scan record: `files`
// (regular files at or above the size floor) and `skipped` (everything passed
// over, with a reason code). Every platform call it makes goes through the
// small functions at the top of this file, so a port replaces only those.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "dup_internal.h"

namespace {

// ---- platform layer ----------------------------------------------------------

// Identity of a file system object: equal for two paths that reach the same
// object, whichever links they pass through.
struct file_id {
    uint64_t dev;
    uint64_t ino;
};

// The status query with the object's identity as a by-product. One lstat (or
// stat when following) per call: the walk needs the identity of every
// collected file and of every directory it enters, and asking for it here
// saves a second query per entry.
int fill_status(const struct stat &raw, struct stat *st, file_id *id) {
    // Callers only ever see the type and the size of a regular file; the
    // rest is cleared so that nothing platform-specific leaks into them.
    memset(st, 0, sizeof *st);
    st->st_mode = raw.st_mode & S_IFMT;
    if (S_ISREG(raw.st_mode)) st->st_size = raw.st_size;
    if (id) {
        id->dev = static_cast<uint64_t>(raw.st_dev);
        id->ino = static_cast<uint64_t>(raw.st_ino);
    }
    return 0;
}

#ifdef O_PATH
constexpr int STEP_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;  // search permission is enough
#else
constexpr int STEP_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// A walk builds paths of any length below a deep tree, but open() and
// stat() refuse one of PATH_MAX bytes or more. Such a path is reached step
// by step: the directories along it are opened relative to each other, each
// step a run of whole components shorter than the limit. Returns the
// directory the rest of the path is relative to (AT_FDCWD when the path is
// short enough as it is) and sets *rest; -1 with errno set on failure. The
// caller closes a returned descriptor other than AT_FDCWD.
int long_path_base(const char *path, const char **rest) {
    *rest = path;
    if (strlen(path) < PATH_MAX) return AT_FDCWD;
    int dir = AT_FDCWD;
    const char *p = path;
    char step[PATH_MAX];
    while (strlen(p) >= PATH_MAX) {
        const char *cut = nullptr;  // the last '/' that keeps the step short enough
        for (const char *q = p + 1; q < p + PATH_MAX; q++)
            if (*q == '/') cut = q;
        if (!cut) {
            if (dir != AT_FDCWD) close(dir);
            errno = ENAMETOOLONG;
            return -1;
        }
        const size_t len = static_cast<size_t>(cut - p);
        memcpy(step, p, len);
        step[len] = '\0';
        const int next = openat(dir, step, STEP_FLAGS);
        const int saved = errno;
        if (dir != AT_FDCWD) close(dir);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        dir = next;
        for (p = cut + 1; *p == '/'; p++) {
        }
    }
    *rest = p;
    return dir;
}

int query_status(const char *path, struct stat *st, int follow, file_id *id) {
    if (!path || !*path) return -1;
    struct stat raw;
    const char *rest;
    const int base = long_path_base(path, &rest);
    if (base == -1) return -1;
    const int r = fstatat(base, rest, &raw, follow ? 0 : AT_SYMLINK_NOFOLLOW);
    const int saved = errno;
    if (base != AT_FDCWD) close(base);
    errno = saved;
    if (r != 0) return -1;
    return fill_status(raw, st, id);
}

bool out_of_handles(int err) { return err == EMFILE || err == ENFILE; }

// Opens a directory for listing. When the process is out of file handles
// (other scans, the pools, or the host holding them) it waits for some to
// be closed, so that a tree is not reported unreadable for what is only a
// passing shortage; after about two seconds it gives up.
DIR *open_listing(const char *path) {
    std::chrono::milliseconds pause(1);
    for (std::chrono::milliseconds waited(0);; waited += pause, pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
        DIR *d = nullptr;
        if (strlen(path) < PATH_MAX) {
            d = opendir(path);
        } else {
            const char *rest;
            const int base = long_path_base(path, &rest);
            if (base != -1) {
                const int fd = openat(base, rest, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                const int saved = errno;
                if (base != AT_FDCWD) close(base);
                d = fd >= 0 ? fdopendir(fd) : nullptr;
                if (!d && fd >= 0) close(fd);
                errno = saved;
            }
        }
        if (d || !out_of_handles(errno) || waited >= std::chrono::milliseconds(2000)) return d;
        std::this_thread::sleep_for(pause);
    }
}

// An open directory listing, closed on every path out of the scope that
// opened it.
class dir_listing {
public:
    explicit dir_listing(const char *path) : dir_(open_listing(path)) {}
    ~dir_listing() {
        if (dir_) closedir(dir_);
    }
    dir_listing(const dir_listing &) = delete;
    dir_listing &operator=(const dir_listing &) = delete;

    bool is_open() const { return dir_ != nullptr; }

    // Whether the opened directory is the object the walk's status query saw.
    // A directory swapped (for a link, or another directory) between that
    // query and the open must not be listed: its entries would be collected
    // under paths that do not lead to them.
    bool is(const file_id &expected) const {
        struct stat st;
        return fstat(dirfd(dir_), &st) == 0 && static_cast<uint64_t>(st.st_dev) == expected.dev &&
               static_cast<uint64_t>(st.st_ino) == expected.ino;
    }

    // The status query for an entry of this listing, relative to the opened
    // directory rather than to its path, so that it reaches the entry that
    // was listed even if a directory of the path is swapped meanwhile.
    int query(const char *name, struct stat *st, int follow, file_id *id) const {
        struct stat raw;
        if (fstatat(dirfd(dir_), name, &raw, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return -1;
        return fill_status(raw, st, id);
    }
    // The next name in the listing's own order, or null at the end. A read
    // error ends the listing like its end does.
    const char *next() {
        struct dirent *e = readdir(dir_);
        return e ? e->d_name : nullptr;
    }

private:
    DIR *dir_;
};

// ---- helpers -------------------------------------------------------------------

// A heap buffer released when its scope ends. The walk's join buffer and the
// display copy of an unreadable name live in one of these.
class heap_buf {
public:
    heap_buf() = default;
    ~heap_buf() { free(p_); }
    heap_buf(const heap_buf &) = delete;
    heap_buf &operator=(const heap_buf &) = delete;

    char *get() const { return p_; }
    size_t capacity() const { return cap_; }
    // Resizes to exactly n bytes. On failure the old block stays as it was.
    bool resize(size_t n) {
        char *p = static_cast<char *>(realloc(p_, n));
        if (!p) return false;
        p_ = p;
        cap_ = n;
        return true;
    }

private:
    char *p_ = nullptr;
    size_t cap_ = 0;
};

bool is_valid_utf8(const char *s) { return dup_utf8_valid(s, strlen(s)); }

// Joins a directory and an entry name into buf (of exactly `need` bytes, as
// join_length gives): "dir/name", or "/name" under the root "/". A root given
// with a trailing separator keeps it, so "/data/" gives "/data//name".
size_t join_length(const char *dir, const char *name) { return strlen(dir) + strlen(name) + 2; }

void join_path(char *buf, size_t need, const char *dir, const char *name) {
    if (strcmp(dir, "/") == 0)
        snprintf(buf, need, "/%s", name);
    else
        snprintf(buf, need, "%s/%s", dir, name);
}

// The joined path of an entry whose name is not valid UTF-8, with every byte
// that is not part of a valid sequence replaced by U+FFFD, in a new heap
// block. Null when memory runs out.
char *join_for_display(const char *dir, const char *name) {
    static const char replacement[] = "\xEF\xBF\xBD";
    size_t need = join_length(dir, name);
    heap_buf raw;
    if (!raw.resize(need)) return nullptr;
    join_path(raw.get(), need, dir, name);
    size_t len = strlen(raw.get());
    // Every byte becomes at most three.
    char *out = static_cast<char *>(malloc(3 * len + 1));
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
    int via_link;  // reached by following a link named by its own path
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
// of those paths. An open-addressing table that doubles at half load.
class dir_set {
public:
    dir_set() = default;
    ~dir_set() {
        free(ids_);
        free(used_);
    }
    dir_set(const dir_set &) = delete;
    dir_set &operator=(const dir_set &) = delete;

    // 1 when id was added, 0 when it was there already, -1 when memory ran
    // out (the set is then unchanged).
    int insert(const file_id &id) {
        if ((n_ + 1) * 2 > cap_ && !grow()) return -1;
        size_t at = slot_of(ids_, used_, cap_, id);
        if (used_[at]) return 0;
        used_[at] = 1;
        ids_[at] = id;
        n_++;
        return 1;
    }

private:
    static size_t slot_of(const file_id *ids, const unsigned char *used, size_t cap, const file_id &id) {
        uint64_t h = (id.ino ^ (id.dev * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
        size_t at = static_cast<size_t>(h ^ (h >> 31)) & (cap - 1);
        while (used[at] && !(ids[at].dev == id.dev && ids[at].ino == id.ino)) at = (at + 1) & (cap - 1);
        return at;
    }
    bool grow() {
        const size_t cap = cap_ == 0 ? 64 : cap_ * 2;
        auto *ids = static_cast<file_id *>(malloc(cap * sizeof(file_id)));
        auto *used = static_cast<unsigned char *>(calloc(cap, 1));
        if (!ids || !used) {
            free(ids);
            free(used);
            return false;
        }
        for (size_t i = 0; i < cap_; i++) {
            if (!used_[i]) continue;
            size_t at = slot_of(ids, used, cap, ids_[i]);
            used[at] = 1;
            ids[at] = ids_[i];
        }
        free(ids_);
        free(used_);
        ids_ = ids;
        used_ = used;
        cap_ = cap;
        return true;
    }

    file_id *ids_ = nullptr;
    unsigned char *used_ = nullptr;
    size_t cap_ = 0;  // a power of two, or 0
    size_t n_ = 0;
};

// What one scan's walk carries down the descent.
struct walk_state {
    dup_scan_t *scan;
    dir_set entered;
};

// Whether `dir`, just opened as `listing`, is still the directory that the
// walk's status query saw, reached the same way. A directory swapped for a
// link (or moved away and replaced by one) between that query and the open
// must not be listed: its entries would be recorded under paths that now
// lead outside the tree being walked.
bool still_reaches(const char *dir, const ancestor &expected, const dir_listing &listing) {
    struct stat st;
    file_id now;
    return listing.is(expected.id) && query_status(dir, &st, expected.via_link, &now) == 0 &&
           S_ISDIR(st.st_mode) && now.dev == expected.id.dev && now.ino == expected.id.ino;
}

bool cap_reached(const dup_scan_t *scan) {
    return scan->max_files > 0 && static_cast<int64_t>(scan->n_files) >= scan->max_files;
}

// ---- the record arrays -------------------------------------------------------------

// Appends a collected file. 0 added, 1 the cap was already reached, -1 out of
// memory; in both failures nothing is added.
int add_file(dup_scan_t *scan, const char *path, int64_t size, const file_id &id) {
    if (cap_reached(scan)) return 1;
    if (scan->n_files >= scan->cap_files) {
        int32_t old_cap = scan->cap_files;
        // A capacity that would no longer fit the 32-bit count counts as
        // memory running out.
        if (old_cap > INT32_MAX / 2) return -1;
        int32_t new_cap = old_cap == 0 ? DUP_FILES_FIRST_CAP : old_cap * 2;
        void *p = realloc(scan->files, static_cast<size_t>(new_cap) * sizeof(dup_file_t));
        if (!p) return -1;
        scan->files = static_cast<dup_file_t *>(p);
        memset(static_cast<void *>(scan->files + old_cap), 0,
               static_cast<size_t>(new_cap - old_cap) * sizeof(dup_file_t));
        scan->cap_files = new_cap;
    }
    dup_file_t &f = scan->files[scan->n_files];
    f.path = dup_strdup(path);
    if (!f.path) return -1;
    f.size = size;
    f.partial_hash = 0;
    f.full_hash = 0;
    f.partial_ok = 0;
    f.full_ok = 0;
    f.dev = id.dev;
    f.ino = id.ino;
    scan->n_files++;
    return 0;
}

// Appends a skipped path with its reason. A record that cannot be stored
// (no memory, or a null path such as a root whose copy failed) is dropped.
void add_skip(dup_scan_t *scan, const char *path, const char *reason) {
    if (scan->n_skipped >= scan->cap_skipped) {
        int32_t old_cap = scan->cap_skipped;
        if (old_cap > INT32_MAX / 2) return;
        int32_t new_cap = old_cap == 0 ? DUP_SKIPPED_FIRST_CAP : old_cap * 2;
        void *p = realloc(scan->skipped, static_cast<size_t>(new_cap) * sizeof(dup_skip_t));
        if (!p) return;
        scan->skipped = static_cast<dup_skip_t *>(p);
        scan->cap_skipped = new_cap;
    }
    char *p = dup_strdup(path);
    char *r = dup_strdup(reason);
    if (!p || !r) {
        free(p);
        free(r);
        return;
    }
    scan->skipped[scan->n_skipped].path = p;
    scan->skipped[scan->n_skipped].reason = r;
    scan->n_skipped++;
}

// ---- the walk --------------------------------------------------------------------

int walk_dir(walk_state &w, const char *dir, const ancestor *chain);

// Enters the directory `path` (identity id) unless this scan has entered it
// already, which is then recorded as "already_scanned". Same results as
// walk_dir, and -1 when the record of entered directories has no memory.
int enter_dir(walk_state &w, const char *path, const file_id &id, const ancestor *chain, int via_link) {
    const int fresh = w.entered.insert(id);
    if (fresh < 0) return -1;
    if (fresh == 0) {
        add_skip(w.scan, path, "already_scanned");
        return 0;
    }
    ancestor here{id, chain, via_link};
    return walk_dir(w, path, &here);
}

// A regular file met during the walk (directly or through a followed link):
// collected under `path` unless it is below the size floor.
int take_regular(dup_scan_t *scan, const char *path, const struct stat &st, const file_id &id) {
    if (static_cast<int64_t>(st.st_size) < scan->min_size) {
        add_skip(scan, path, "below_min_size");
        return 0;
    }
    return add_file(scan, path, static_cast<int64_t>(st.st_size), id);
}

// Handles one entry `name` of a directory listing; `path` is its joined
// path. 0 continues the listing; 1 (cancel or file cap) and -1 (out of
// memory) stop it.
int walk_entry(walk_state &w, const dir_listing &listing, const char *name, const char *path,
               const ancestor *chain) {
    dup_scan_t *scan = w.scan;
    for (int32_t i = 0; i < scan->n_exclude; i++) {
        const char *pattern = scan->exclude[i];
        if (pattern && strstr(path, pattern)) {
            add_skip(scan, path, "exclude");
            return 0;
        }
    }

    struct stat st;
    file_id id;
    if (listing.query(name, &st, 0, &id) != 0) {
        add_skip(scan, path, "lstat_failed");
        return 0;
    }
    switch (st.st_mode & S_IFMT) {
    case S_IFLNK:
        if (!scan->follow_symlinks) {
            add_skip(scan, path, "symlink");
            return 0;
        }
        if (listing.query(name, &st, 1, &id) != 0) {
            add_skip(scan, path, "symlink_stat_failed");
            return 0;
        }
        if (S_ISDIR(st.st_mode)) {
            if (is_ancestor(chain, id)) {
                add_skip(scan, path, "symlink_loop");
                return 0;
            }
            return enter_dir(w, path, id, chain, 1);
        }
        if (S_ISREG(st.st_mode)) return take_regular(scan, path, st, id);
        add_skip(scan, path, "not_regular");
        return 0;
    case S_IFREG:
        return take_regular(scan, path, st, id);
    case S_IFDIR:
        return enter_dir(w, path, id, chain, 0);
    default:
        add_skip(scan, path, "not_regular");
        return 0;
    }
}

// Walks one directory and everything below it. `chain` starts with the
// directory itself. 0 done, 1 stopped by a cancel or the file cap, -1 out of
// memory; the first non-zero result unwinds the whole descent.
int walk_dir(walk_state &w, const char *dir, const ancestor *chain) {
    dup_scan_t *scan = w.scan;
    if (dup_cancel_requested(scan)) return 1;
    dir_listing listing(dir);
    if (!listing.is_open() || !still_reaches(dir, *chain, listing)) {
        add_skip(scan, dir, "opendir_failed");
        return 0;
    }
    // One join buffer per level, reused for every entry; the levels below
    // have their own, so this one stays intact across a recursive call.
    heap_buf join;
    while (const char *name = listing.next()) {
        if (dup_cancel_requested(scan)) return 1;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (!is_valid_utf8(name)) {
            // Such a name could not be written into the results text; it is
            // reported under a readable form and not touched otherwise.
            char *shown = join_for_display(dir, name);
            add_skip(scan, shown, "invalid_utf8");
            free(shown);
            continue;
        }
        size_t need = join_length(dir, name);
        if (join.capacity() < need && !join.resize(need)) return -1;
        join_path(join.get(), need, dir, name);
        int r = walk_entry(w, listing, name, join.get(), chain);
        if (r != 0) return r;
    }
    return 0;
}

}  // namespace

int dup_fill_stat(const char *path, struct stat *st, int follow) {
    return query_status(path, st, follow, nullptr);
}

int dup_query_identity(const char *path, int follow, unsigned *type, uint64_t *dev, uint64_t *ino) {
    struct stat st;
    file_id id;
    if (query_status(path, &st, follow, &id) != 0) return -1;
    *type = static_cast<unsigned>(st.st_mode & S_IFMT);
    *dev = id.dev;
    *ino = id.ino;
    return 0;
}

int dup_path_open(const char *path, int flags) {
    const char *rest;
    const int base = long_path_base(path, &rest);
    if (base == -1) return -1;
    const int fd = openat(base, rest, flags);
    const int saved = errno;
    if (base != AT_FDCWD) close(base);
    errno = saved;
    return fd;
}

int dup_walk_collect(dup_scan_t *scan) {
    walk_state w{scan, {}};
    for (int32_t i = 0; i < scan->n_roots; i++) {
        if (dup_cancel_requested(scan)) return 1;
        const char *root = scan->roots[i];
        struct stat st;
        file_id id;
        errno = 0;
        if (query_status(root, &st, 0, &id) != 0) {
            // A null root (its copy got no memory) has no path to record. A
            // name the system refuses as too long is told apart from a
            // mistyped one: the first cannot be found by retyping it.
            add_skip(scan, root, root && errno == ENAMETOOLONG ? "name_too_long" : "root_missing");
            continue;
        }
        switch (st.st_mode & S_IFMT) {
        case S_IFLNK:
            // Roots are taken as they are: a link root is never followed.
            add_skip(scan, root, scan->follow_symlinks ? "not_directory" : "symlink");
            break;
        case S_IFDIR: {
            int r = enter_dir(w, root, id, nullptr, 0);
            if (r < 0) return -1;
            if (r > 0) {
                if (dup_cancel_requested(scan)) return 1;
                if (cap_reached(scan)) return 0;
            }
            break;
        }
        case S_IFREG:
            if (static_cast<int64_t>(st.st_size) < scan->min_size)
                add_skip(scan, root, "below_min_size");
            else
                (void)add_file(scan, root, static_cast<int64_t>(st.st_size), id);
            break;
        default:
            add_skip(scan, root, "not_directory");
            break;
        }
    }
    return 0;
}
