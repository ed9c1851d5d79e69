// The guarded delete.
//
// A delete is admitted only for a regular file inside the canonical root of a
// scan started in this process. The checks look at the path the caller gave;
// the removal then acts on the directory that holds the entry, held open, so
// that a directory of the path swapped for a link between the checks and the
// removal cannot send it somewhere else.
#include "remove.h"

#include <cstdlib>
#include <cstring>

#include "base.h"
#include "platform/platform.h"
#include "roots.h"

namespace {

constexpr dup_delete_outcome refuse(const char *msg) { return {0, msg}; }
constexpr dup_delete_outcome fail(const char *msg) { return {-1, msg}; }

// The refusal for an object of the given type, or null for a regular file.
const char *type_refusal(dup_ftype type) {
    if (type == DUP_FT_LNK) return "refused: symlink";
    if (type == DUP_FT_DIR) return "refused: directory";
    if (type != DUP_FT_REG) return "refused: not a regular file";
    return nullptr;
}

// Holds the directory of the entry for one scope.
struct parent_guard {
    dup_parent_t *dir;
    explicit parent_guard(dup_parent_t *d) : dir(d) {}
    ~parent_guard() { dup_parent_close(dir); }
    parent_guard(const parent_guard &) = delete;
    parent_guard &operator=(const parent_guard &) = delete;
};

// dir + "/" + name as a new heap string, without doubling the '/' of "/".
char *join_path(const char *dir, const char *name) {
    const size_t ld = strlen(dir), ln = strlen(name);
    const bool slash = ld == 0 || dir[ld - 1] != '/';
    char *out = static_cast<char *>(malloc(ld + (slash ? 1 : 0) + ln + 1));
    if (!out) return nullptr;
    memcpy(out, dir, ld);
    size_t at = ld;
    if (slash) out[at++] = '/';
    memcpy(out + at, name, ln + 1);
    return out;
}

// The root test and the removal of a path that the checks found to be a
// regular file. The parent directory is opened once; the entry is examined,
// placed and removed through that one handle. Without a race every check
// here agrees with the checks already made on the path, so the outcome is
// the root test's or the removal's.
dup_delete_outcome remove_checked(const char *path) {
    // No handle on the directory means no canonical form for the path: it
    // counts as outside every root.
    const char *name;
    parent_guard dir(dup_parent_open(path, &name));
    if (!dir.dir) return refuse("refused: outside scanned roots");

    // The entry the directory holds now may not be the one the path led to.
    dup_stat_t seen;
    if (dup_parent_stat(dir.dir, name, &seen) != 0) return fail("path not found");
    if (const char *msg = type_refusal(seen.type)) return refuse(msg);

    bool inside = false;
    {
        dup_heap_str dir_canon(dup_parent_canonical(dir.dir));
        if (dir_canon.p) {
            dup_heap_str canon(join_path(dir_canon.p, name));
            if (canon.p) inside = dup_root_admits(canon.p);
        }
    }
    if (!inside) return refuse("refused: outside scanned roots");

    // The name may have been pointed at another object since it was
    // examined; remove only the regular file that passed.
    dup_stat_t now;
    if (dup_parent_stat(dir.dir, name, &now) != 0 || now.type != DUP_FT_REG || now.dev != seen.dev ||
        now.ino != seen.ino)
        return fail("unlink failed");
    if (dup_parent_remove(dir.dir, name) != 0) return fail("unlink failed");
    return {1, nullptr};
}

}  // namespace

int dup_path_has_dotdot(const char *path) {
    if (!path) return 1;
    // Every character the system takes as a separator ends a component: on
    // Windows "C:\data\..\x" climbs out as surely as "/data/../x".
    const char *piece = path;
    for (;;) {
        const char *end = piece;
        while (*end && !dup_path_separator(*end)) end++;
        if (end - piece == 2 && piece[0] == '.' && piece[1] == '.') return 1;
        if (!*end) return 0;
        piece = end + 1;
    }
}

dup_delete_outcome dup_delete_guarded(const char *path) {
    if (!path || !*path) return fail("NULL or empty path");
    // Looks at the text only, before anything touches the file system.
    if (dup_path_has_dotdot(path)) return refuse("refused: path contains ..");

    // Both queries report a link as a link, so a dangling link is refused as
    // a link rather than reported missing.
    dup_stat_t st;
    if (dup_fill_stat(path, &st, 0) != 0) return fail("path not found");
    if (st.type == DUP_FT_LNK) return refuse("refused: symlink");
    if (const char *msg = type_refusal(st.type)) return refuse(msg);

    return remove_checked(path);
}
