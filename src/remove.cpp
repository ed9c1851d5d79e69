// SPDX-License-Identifier: MIT
// The guarded delete.
//
// A delete is admitted only for a regular file inside the canonical root of a
// scan started in this process; a root that is a file admits only that file,
// under its own name. The checks look at the path the caller gave;
// the removal then acts on the directory that holds the entry, held open, so
// that a directory of the path swapped for a link between the checks and the
// removal cannot send it somewhere else.
#include "remove.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base.h"
#include "platform/platform.h"
#include "roots.h"

namespace {

// The refusal for an object of the given type, or DUP_OK for a regular file.
dup_result type_refusal(dup_ftype type) {
    if (type == DUP_FT_LNK) return DUP_REFUSED_SYMLINK;
    if (type == DUP_FT_DIR) return DUP_REFUSED_DIRECTORY;
    if (type != DUP_FT_REG) return DUP_REFUSED_NOT_REGULAR;
    return DUP_OK;
}

// Closes the directory of the entry when its scope ends.
using parent_owner = std::unique_ptr<dup_parent_t, dup_closer<&dup_parent_close>>;

// dir + "/" + name as a new heap string, without doubling the '/' of "/".
char *join_path(const char *dir, const char *name) {
    const size_t ld = strlen(dir), ln = strlen(name);
    const bool slash = ld == 0 || dir[ld - 1] != '/';
    char *out = static_cast<char *>(dup_malloc(ld + (slash ? 1 : 0) + ln + 1));
    if (!out) return nullptr;
    memcpy(out, dir, ld);
    size_t at = ld;
    if (slash) out[at++] = '/';
    memcpy(out + at, name, ln + 1);
    return out;
}

// The canonical form of the entry `name` of the open directory, or null.
char *entry_canonical(const dup_parent_t *dir, const char *name) {
    std::unique_ptr<char, dup_free_deleter> dir_canon(dup_parent_canonical(dir));
    return dir_canon ? join_path(dir_canon.get(), name) : nullptr;
}

// Removes a file that a scan was given as a root of its own, which its root
// admits only while the name still leads to that very file. The entry is
// first put out of reach of renames by others, then checked and removed
// there, so a file renamed over the name at any moment is never the one
// removed; one that fails the check gets its name back. `path` is the
// caller's, to tell where an entry stays that could not get its name back.
dup_result remove_file_root(const dup_parent_t *dir, const char *name, const char *canon, const dup_stat_t &seen,
                            const char *path, char *why, size_t why_size) {
    // Another file under the name already: nothing is touched.
    if (!dup_root_is_file(canon, seen.dev, seen.ino)) return DUP_REFUSED_OUTSIDE;
    char taken[64];
    if (dup_parent_take(dir, name, taken, sizeof taken, why, why_size) != DUP_OK) return DUP_E_UNLINK;
    dup_stat_t now;
    dup_result outcome = DUP_REFUSED_OUTSIDE;
    if (dup_parent_stat(dir, taken, &now) == DUP_OK && now.type == DUP_FT_REG &&
        dup_root_is_file(canon, now.dev, now.ino)) {
        if (dup_parent_remove(dir, taken, why, why_size) == DUP_OK) return DUP_OK;
        outcome = DUP_E_UNLINK;
    }
    char back[256];
    if (dup_parent_give_back(dir, taken, name, back, sizeof back) == DUP_OK) return outcome;
    // The entry is kept, under the private name: the caller learns which.
    const int dir_len = static_cast<int>(name - path);
    if (why_size > 0) snprintf(why, why_size, "it stays under the name %.*s%s: %s", dir_len, path, taken, back);
    return DUP_E_UNLINK;
}

// The root test and the removal of a path that the checks found to be a
// regular file. The parent directory is opened once; the entry is examined,
// placed and removed through that one handle. Without a race every check
// here agrees with the checks already made on the path, so the outcome is
// the root test's or the removal's.
dup_result remove_checked(const char *path, char *why, size_t why_size) {
    // No handle on the directory means no canonical form for the path: it
    // counts as outside every root.
    const char *name;
    dup_parent_t *opened;
    if (dup_parent_open(path, &opened, &name) != DUP_OK) return DUP_REFUSED_OUTSIDE;
    const parent_owner dir(opened);

    // The entry the directory holds now may not be the one the path led to.
    dup_stat_t seen;
    if (dup_parent_stat(dir.get(), name, &seen) != DUP_OK) return DUP_E_NOT_FOUND;
    if (const dup_result refused = type_refusal(seen.type); refused != DUP_OK) return refused;
    std::unique_ptr<char, dup_free_deleter> canon(entry_canonical(dir.get(), name));
    const dup_admission admitted = canon ? dup_root_admission(canon.get()) : DUP_ADMIT_NONE;
    if (admitted == DUP_ADMIT_NONE) return DUP_REFUSED_OUTSIDE;
    if (admitted == DUP_ADMIT_FILE) return remove_file_root(dir.get(), name, canon.get(), seen, path, why, why_size);

    // The name may have been pointed at another object since it was
    // examined; remove only the regular file that passed.
    dup_stat_t now;
    if (dup_parent_stat(dir.get(), name, &now) != DUP_OK || now.type != DUP_FT_REG || now.dev != seen.dev ||
        now.ino != seen.ino)
        return DUP_E_UNLINK;
    if (dup_parent_remove(dir.get(), name, why, why_size) != DUP_OK) return DUP_E_UNLINK;
    return DUP_OK;
}

}  // namespace

bool dup_path_has_dotdot(const char *path) {
    if (!path) return true;
    // Every character the system takes as a separator ends a component: on
    // Windows "C:\data\..\x" climbs out as surely as "/data/../x".
    const char *piece = path;
    for (;;) {
        const char *end = piece;
        while (*end && !dup_path_separator(*end)) end++;
        if (end - piece == 2 && piece[0] == '.' && piece[1] == '.') return true;
        if (!*end) return false;
        piece = end + 1;
    }
}

dup_result dup_delete_guarded(const char *path, char *why, size_t why_size) {
    if (why_size > 0) why[0] = '\0';
    if (!path || !*path) return DUP_E_EMPTY_PATH;
    // Looks at the text only, before anything touches the file system.
    if (dup_path_has_dotdot(path)) return DUP_REFUSED_DOTDOT;

    // The query reports a link as a link, so a dangling link is refused as
    // a link rather than reported missing.
    // Memory running out says nothing of whether the file is there: a path
    // that could not be examined is refused as one that cannot be placed
    // (as below), never reported missing.
    dup_stat_t st;
    if (const dup_result r = dup_fill_stat(path, &st, 0); r != DUP_OK)
        return r == DUP_NOMEM ? DUP_REFUSED_OUTSIDE : DUP_E_NOT_FOUND;
    if (const dup_result refused = type_refusal(st.type); refused != DUP_OK) return refused;

    return remove_checked(path, why, why_size);
}
