// Scanned-roots registry, the path tests and the guarded delete.
//
// A delete is admitted only for a regular file inside the canonical root of a
// scan started in this process. The checks look at the path the caller gave;
// the removal then acts on a directory held open, so that a directory of the
// path swapped for a link between the checks and the removal cannot send it
// somewhere else. Every platform call goes through the small functions at the
// top of this file, so a port replaces only those.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <xxhash.h>

#include "dup_internal.h"

pthread_mutex_t g_roots_mu = PTHREAD_MUTEX_INITIALIZER;
char **g_roots = nullptr;
int32_t g_n_roots = 0;
int32_t g_cap_roots = 0;

namespace {

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

// ---- platform layer ----------------------------------------------------------

// An open directory that names are looked up in. Holding it pins the
// directory itself: renaming or replacing the path that led to it does not
// change what later lookups in it reach.
using dir_handle = int;
constexpr dir_handle DIR_NONE = -1;

// What an entry of an open directory is, without following a link.
struct entry_status {
    unsigned type;  // S_IFMT bits
    uint64_t dev;
    uint64_t ino;
};

// Opens the directory at path, following links on the way (the canonical
// form of the path resolves them too). Only search permission on the path is
// needed: the directory is never listed.
dir_handle dir_open(const char *path) {
    int fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? fd : DIR_NONE;
}

void dir_close(dir_handle dir) {
    if (dir != DIR_NONE) close(dir);
}

// The canonical form of the open directory itself, as the kernel names it
// now: absolute, without links, without a trailing '/' (except "/"). Not the
// canonical form of the text that opened it, which may since lead elsewhere.
// NULL when there is none (the directory was removed, /proc is not mounted,
// no memory). Caller frees.
char *dir_canonical(dir_handle dir) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
    size_t cap = 256;
    char *buf = nullptr;
    for (;;) {
        buf = static_cast<char *>(malloc(cap));
        if (!buf) return nullptr;
        ssize_t n = readlink(link, buf, cap);
        if (n < 0) {
            free(buf);
            return nullptr;
        }
        if (static_cast<size_t>(n) < cap) {
            buf[n] = '\0';
            break;
        }
        free(buf);
        if (cap >= (static_cast<size_t>(1) << 20)) return nullptr;
        cap *= 2;
    }
    // A removed directory keeps a name with " (deleted)" appended, and one
    // outside this process's root has no absolute name: neither is a place
    // the registry can vouch for.
    struct stat st;
    if (buf[0] != '/' || fstat(dir, &st) != 0 || st.st_nlink == 0) {
        free(buf);
        return nullptr;
    }
    return buf;
}

int entry_query(dir_handle dir, const char *name, entry_status *out) {
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    out->type = static_cast<unsigned>(st.st_mode & S_IFMT);
    out->dev = static_cast<uint64_t>(st.st_dev);
    out->ino = static_cast<uint64_t>(st.st_ino);
    return 0;
}

// Removes the entry name of the open directory: the entry itself, never
// what a link stands for.
int entry_remove(dir_handle dir, const char *name) {
    return unlinkat(dir, name, 0) == 0 ? 0 : -1;
}

// ---- guards --------------------------------------------------------------------

// Holds g_roots_mu for one scope.
struct roots_lock {
    roots_lock() { pthread_mutex_lock(&g_roots_mu); }
    ~roots_lock() { pthread_mutex_unlock(&g_roots_mu); }
    roots_lock(const roots_lock &) = delete;
    roots_lock &operator=(const roots_lock &) = delete;
};

struct dir_guard {
    explicit dir_guard(dir_handle d) : dir(d) {}
    ~dir_guard() { dir_close(dir); }
    dir_guard(const dir_guard &) = delete;
    dir_guard &operator=(const dir_guard &) = delete;
    dir_handle dir;
};

struct heap_str {
    explicit heap_str(char *s) : p(s) {}
    ~heap_str() { free(p); }
    heap_str(const heap_str &) = delete;
    heap_str &operator=(const heap_str &) = delete;
    char *p;
};

// ---- helpers -------------------------------------------------------------------

// 1 when the canonical text canon is a registered root or lies below one.
// The caller computed canon before, so no file system work happens under
// the lock. Each of canon's leading components is looked up in the index:
// "/photos/x/y.jpg" asks for "/photos/x/y.jpg", "/photos/x" and "/photos",
// so "/photos" never admits "/photos2". Only the file-system root "/" ends
// in '/', and everything absolute lies below it.
int canonical_under_any_root(const char *canon) {
    roots_lock lock;
    const size_t n = strlen(canon);
    if (canon[0] == '/' && index_find("/", 1) >= 0) return 1;
    for (size_t i = 1; i <= n; i++)
        if ((i == n || canon[i] == '/') && index_find(canon, i) >= 0) return 1;
    return 0;
}

// dir + "/" + name as a new heap string, without doubling the '/' of "/".
char *join_path(const char *dir, const char *name) {
    size_t ld = strlen(dir), ln = strlen(name);
    bool slash = ld == 0 || dir[ld - 1] != '/';
    char *out = static_cast<char *>(malloc(ld + (slash ? 1 : 0) + ln + 1));
    if (!out) return nullptr;
    memcpy(out, dir, ld);
    if (slash) out[ld++] = '/';
    memcpy(out + ld, name, ln + 1);
    return out;
}

// The directory part of path as a new heap string: "." for a bare name, "/"
// for a name right below the file-system root.
char *parent_of(const char *path) {
    const char *slash = strrchr(path, '/');
    if (!slash) return dup_strdup(".");
    if (slash == path) return dup_strdup("/");
    size_t n = static_cast<size_t>(slash - path);
    char *out = static_cast<char *>(malloc(n + 1));
    if (!out) return nullptr;
    memcpy(out, path, n);
    out[n] = '\0';
    return out;
}

// The refusal for an object of the given type, or NULL for a regular file.
const char *type_refusal(unsigned type) {
    if (type == S_IFLNK) return "refused: symlink";
    if (type == S_IFDIR) return "refused: directory";
    if (type != S_IFREG) return "refused: not a regular file";
    return nullptr;
}

int refuse(const char *msg) {
    dup_set_error("%s", msg);
    return 0;
}

int fail(const char *msg) {
    dup_set_error("%s", msg);
    return -1;
}

// The root test and the removal of a path that the checks found to be a
// regular file. The parent directory is opened once; the entry is examined,
// placed and removed through that one handle. Without a race every check
// here agrees with the checks already made on the path, so the outcome is
// the root test's or the removal's.
int remove_checked(const char *path) {
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;

    // No handle on the directory means no canonical form for the path: it
    // counts as outside every root.
    dir_handle dir;
    {
        heap_str parent(parent_of(path));
        dir = parent.p ? dir_open(parent.p) : DIR_NONE;
    }
    dir_guard guard(dir);
    if (dir == DIR_NONE) return refuse("refused: outside scanned roots");

    // The entry the directory holds now may not be the one the path led to.
    entry_status seen;
    if (entry_query(dir, name, &seen) != 0) return fail("path not found");
    if (const char *msg = type_refusal(seen.type)) return refuse(msg);

    int inside = 0;
    {
        heap_str dir_canon(dir_canonical(dir));
        if (dir_canon.p) {
            heap_str canon(join_path(dir_canon.p, name));
            if (canon.p) inside = canonical_under_any_root(canon.p);
        }
    }
    if (!inside) return refuse("refused: outside scanned roots");

    // The name may have been pointed at another object since it was
    // examined; remove only the regular file that passed.
    entry_status now;
    if (entry_query(dir, name, &now) != 0 || now.type != S_IFREG || now.dev != seen.dev ||
        now.ino != seen.ino)
        return fail("unlink failed");
    if (entry_remove(dir, name) != 0) return fail("unlink failed");
    return 1;
}

}  // namespace

// ---- registry ------------------------------------------------------------------

void dup_register_roots(char **roots, int32_t n) {
    if (!roots || n <= 0) return;
    roots_lock lock;
    for (int32_t i = 0; i < n; i++) {
        const char *root = roots[i];
        if (!root || index_find(root, strlen(root)) >= 0) continue;
        if (g_cap_roots <= g_n_roots) {
            if (g_cap_roots > INT32_MAX / 2) return;
            int32_t cap = g_cap_roots == 0 ? DUP_ROOTS_FIRST_CAP : g_cap_roots * 2;
            void *grown = realloc(g_roots, static_cast<size_t>(cap) * sizeof(char *));
            // Without room the rest of this call's roots go unregistered;
            // the scan itself carries on.
            if (!grown) return;
            g_roots = static_cast<char **>(grown);
            g_cap_roots = cap;
        }
        if (!index_reserve()) return;
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

// ---- path tests ----------------------------------------------------------------

int dup_path_has_dotdot(const char *path) {
    if (!path) return 1;
    const char *piece = path;
    for (;;) {
        const char *end = strchr(piece, '/');
        size_t len = end ? static_cast<size_t>(end - piece) : strlen(piece);
        if (len == 2 && piece[0] == '.' && piece[1] == '.') return 1;
        if (!end) return 0;
        piece = end + 1;
    }
}

int dup_is_under_any_root(const char *path) {
    if (!path) return 0;
    heap_str canon(dup_realpath_dup(path));
    if (!canon.p) return 0;
    return canonical_under_any_root(canon.p);
}

int dup_path_is_symlink(const char *path) {
    struct stat st;
    return path && dup_fill_stat(path, &st, 0) == 0 && (st.st_mode & S_IFMT) == S_IFLNK;
}

int dup_path_is_dir(const char *path) {
    struct stat st;
    return path && dup_fill_stat(path, &st, 1) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
}

// ---- the delete ------------------------------------------------------------------

extern "C" DUPFIND_API int dupfind_delete_file(const char *path) noexcept {
    dup_clear_error();
    if (!path || !*path) return fail("NULL or empty path");
    // Looks at the text only, before anything touches the file system.
    if (dup_path_has_dotdot(path)) return refuse("refused: path contains ..");

    // Both queries report a link as a link, so a dangling link is refused as
    // a link rather than reported missing.
    struct stat st;
    if (dup_fill_stat(path, &st, 0) == 0 && (st.st_mode & S_IFMT) == S_IFLNK)
        return refuse("refused: symlink");
    if (dup_fill_stat(path, &st, 0) != 0) return fail("path not found");
    if (const char *msg = type_refusal(static_cast<unsigned>(st.st_mode & S_IFMT)))
        return refuse(msg);

    return remove_checked(path);
}
