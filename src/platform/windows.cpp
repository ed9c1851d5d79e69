// SPDX-License-Identifier: MIT
// The platform layer on 64-bit Windows.
//
// Every call is a wide (UTF-16) one: the narrow calls of the C runtime go
// through the ANSI code page, which cannot name most files. Paths arrive as
// UTF-8, are converted strictly (an ill-formed byte is refused, never
// replaced) and are made absolute and extended-length ("\\?\C:\..."), so
// that paths of any length work and no name is reinterpreted by the Win32
// path rules (trailing dots, device names such as "nul"). Both '/' and '\'
// separate components.
//
// Identity: (volume serial number, file index), so that two paths reaching
// one object compare equal as device and inode do on POSIX. Junctions and
// symbolic links (the name-surrogate reparse points) are links; the delete
// refuses every reparse point.
#include "platform.h"
#include "syscalls.h"
#include "wide.h"

#include <windows.h>
#include <process.h>

#include <bit>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the object itself (follow = 0: a link as a link) for the given
// access; directories too. INVALID_HANDLE_VALUE with *why on failure.
HANDLE open_object(const wchar_t *w, DWORD access, DWORD share, int follow, dup_result *why) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE h = CreateFileW(w, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) dup_set_why(why, dup_result_of_error(GetLastError()));
    return h;
}

// The status of an open object. `as_link` says which reparse points count
// as links: none (the handle followed them), the name surrogates
// (junctions, symbolic links) or every one.
enum class links { followed, surrogates, every_reparse_point };

dup_result stat_handle(HANDLE h, dup_stat_t *st, links as_link) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return DUP_FAILED;
    st->dev = info.dwVolumeSerialNumber;
    st->ino = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    st->size = 0;
    st->mtime = dup_unix_seconds(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    st->mtime_ns = st->ctime_ns = 0;  // only the fingerprint cache reads them, and it is off here
    if (as_link != links::followed && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        bool link = as_link == links::every_reparse_point;
        if (!link) {
            FILE_ATTRIBUTE_TAG_INFO tag;
            if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) return DUP_FAILED;
            link = IsReparseTagNameSurrogate(tag.ReparseTag);
        }
        if (link) {
            st->type = DUP_FT_LNK;
            return DUP_OK;
        }
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        st->type = DUP_FT_DIR;
        return DUP_OK;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        st->type = DUP_FT_OTHER;  // a device or a pipe
        return DUP_OK;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) return DUP_FAILED;
    st->type = DUP_FT_REG;
    st->size = size.QuadPart;
    return DUP_OK;
}

// The status query on a system path: the attributes first (no handle
// needed to learn that nothing is there), then the object itself.
dup_result stat_sys_path(const dup_sys_path &p, dup_stat_t *st, int follow) {
    const int through = follow || p.dir_only;
    if (GetFileAttributesW(p.w) == INVALID_FILE_ATTRIBUTES) return dup_result_of_error(GetLastError());
    dup_result why = DUP_FAILED;
    HANDLE h = open_object(p.w, 0, SHARE_ALL, through, &why);
    if (h == INVALID_HANDLE_VALUE) return why;
    const dup_result r = stat_handle(h, st, through ? links::followed : links::surrogates);
    CloseHandle(h);
    if (r != DUP_OK) return DUP_FAILED;
    if (p.dir_only && st->type != DUP_FT_DIR) return DUP_FAILED;
    return DUP_OK;
}

// The system's final name of an open object as the library writes paths:
// "//?/X:/a/b", no trailing '/' (a drive's root is "//?/X:"). Null on failure.
char *final_name(HANDLE h) {
    DWORD cap = MAX_PATH;
    for (int tries = 0; tries < 4; tries++) {
        auto *buf = static_cast<wchar_t *>(dup_malloc(cap * sizeof(wchar_t)));
        if (!buf) return nullptr;
        const DWORD n = GetFinalPathNameByHandleW(h, buf, cap, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) {
            free(buf);
            return nullptr;
        }
        if (n < cap) {
            char *s = dup_utf8_from_wide(buf, n);
            free(buf);
            if (!s) return nullptr;
            size_t len = strlen(s);
            for (size_t i = 0; i < len; i++)
                if (s[i] == '\\') s[i] = '/';
            while (len > 0 && s[len - 1] == '/') s[--len] = '\0';
            return s;
        }
        free(buf);
        cap = n + 1;
    }
    return nullptr;
}

}  // namespace

// ---- status ---------------------------------------------------------------------------

dup_result dup_fill_stat(const char *path, dup_stat_t *st, int follow) {
    dup_sys_path p;
    dup_result why = DUP_FAILED;
    if (!dup_sys_path_of(path, &p, &why)) return why;
    return stat_sys_path(p, st, follow);
}

// ---- directory listing --------------------------------------------------------------

struct dup_dir_t {
    // Held without FILE_SHARE_DELETE while the listing lasts: the directory
    // can then be neither renamed nor removed, and no directory above it
    // renamed, so its path keeps leading to it and entry queries reach its
    // own entries.
    HANDLE pin;
    HANDLE find;
    wchar_t *path;  // the directory's system path, for entry queries
    bool have;      // `data` holds an entry not yet handed out
    WIN32_FIND_DATAW data;
    char name[4 * MAX_PATH];
};

dup_result dup_dir_open_system(const char *path, dup_dir_t **dir) {
    *dir = nullptr;
    dup_sys_path p;
    dup_result r = DUP_FAILED;
    dup_result *why = &r;
    if (!dup_sys_path_of(path, &p, why)) return r;
    HANDLE pin = open_object(p.w, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, 1,
                             why);
    // Another program that holds it with delete access (renaming it, say)
    // leaves only a shared hold; the walk's identity check still applies.
    if (pin == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        pin = open_object(p.w, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, SHARE_ALL, 1, why);
    if (pin == INVALID_HANDLE_VALUE) return r;
    dup_stat_t st;
    if (stat_handle(pin, &st, links::followed) != DUP_OK || st.type != DUP_FT_DIR) {
        CloseHandle(pin);
        return DUP_FAILED;
    }
    auto *d = static_cast<dup_dir_t *>(dup_calloc(1, sizeof(dup_dir_t)));
    dup_wide_text pattern;
    pattern.put(p.w);
    if (!pattern.ends_with_sep()) pattern.put(L'\\');
    pattern.put(L'*');
    wchar_t *pat = pattern.release();
    if (!d || !pat) {
        free(d);
        free(pat);
        CloseHandle(pin);
        return DUP_NOMEM;
    }
    d->pin = pin;
    d->find = FindFirstFileExW(pat, FindExInfoBasic, &d->data, FindExSearchNameMatch, nullptr,
                               FIND_FIRST_EX_LARGE_FETCH);
    const DWORD err = GetLastError();
    free(pat);
    if (d->find == INVALID_HANDLE_VALUE && err != ERROR_FILE_NOT_FOUND) {
        CloseHandle(pin);
        free(d);
        return dup_result_of_error(err);
    }
    d->have = d->find != INVALID_HANDLE_VALUE;
    d->path = p.w;
    p.w = nullptr;
    *dir = d;
    return DUP_OK;
}

void dup_dir_close(dup_dir_t *dir) {
    if (!dir) return;
    if (dir->find != INVALID_HANDLE_VALUE) FindClose(dir->find);
    CloseHandle(dir->pin);
    free(dir->path);
    free(dir);
}

bool dup_dir_is(const dup_dir_t *dir, uint64_t dev, uint64_t ino) {
    dup_stat_t st;
    return stat_handle(dir->pin, &st, links::followed) == DUP_OK && st.dev == dev && st.ino == ino;
}

const char *dup_dir_next(dup_dir_t *dir) {
    if (!dir->have) return nullptr;
    // Converted in place, without an allocation: a name that could not be
    // copied would end the listing, and its remaining entries would be lost
    // without a word.
    static_assert(sizeof dir->name >= 3 * (sizeof dir->data.cFileName / sizeof(wchar_t)) + 1, "room for any name");
    dup_utf8_from_wide_into(dir->data.cFileName, wcsnlen(dir->data.cFileName, MAX_PATH), dir->name);
    dir->have = FindNextFileW(dir->find, &dir->data) != 0;
    return dir->name;
}

dup_result dup_dir_stat(const dup_dir_t *dir, const char *name, dup_stat_t *st, int follow) {
    wchar_t *wname = dup_wide_from_utf8(name);
    if (!wname) return dup_utf8_valid(name, strlen(name)) ? DUP_NOMEM : DUP_FAILED;
    dup_wide_text t;
    t.put(dir->path);
    if (!t.ends_with_sep()) t.put(L'\\');
    t.put(wname);
    free(wname);
    dup_sys_path p;
    p.w = t.release();
    if (!p.w) return t.failure();
    return stat_sys_path(p, st, follow);
}

// ---- content ------------------------------------------------------------------------

dup_result dup_content_open_system(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *out) {
    *out = DUP_CONTENT_NONE;
    dup_sys_path p;
    dup_result why = DUP_FAILED;
    if (!dup_sys_path_of(path, &p, &why)) return why;
    if (p.dir_only) return DUP_FAILED;  // "file/" names no regular file
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0);
    // With the right to write attributes the read can be kept from moving
    // the access time; where that right is refused, the file is read anyway.
    HANDLE h = CreateFileW(p.w, GENERIC_READ | FILE_WRITE_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    const bool keep_atime = h != INVALID_HANDLE_VALUE;
    if (!keep_atime && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileW(p.w, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return dup_result_of_error(GetLastError());
    if (keep_atime) {
        FILETIME keep = {0xFFFFFFFF, 0xFFFFFFFF};  // "do not update" for this handle
        (void)SetFileTime(h, nullptr, &keep, nullptr);
    }
    // Only the regular file the walk recorded is read: not a device or
    // directory put in its place, nor another file under its name.
    dup_stat_t st;
    if (stat_handle(h, &st, links::followed) != DUP_OK || st.type != DUP_FT_REG ||
        ((dev != 0 || ino != 0) && (st.dev != dev || st.ino != ino))) {
        CloseHandle(h);
        return DUP_FAILED;
    }
    *out = reinterpret_cast<dup_content_t>(h);
    return DUP_OK;
}

namespace {

// One ReadFile call: fewer bytes than asked from a regular file means its
// end was reached at that moment (*got 0 at the end).
dup_result read_once(dup_content_t h, void *buf, int64_t n, int64_t *got) {
    const DWORD want = n > (int64_t{1} << 30) ? DWORD{1} << 30 : static_cast<DWORD>(n);
    DWORD done = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(h), buf, want, &done, nullptr)) return DUP_FAILED;
    *got = done;
    return DUP_OK;
}

}  // namespace

dup_result dup_content_read(dup_content_t h, void *buf, int64_t n, int64_t *got) {
    auto *p = static_cast<unsigned char *>(buf);
    *got = 0;
    while (*got < n) {
        int64_t r = 0;
        if (read_once(h, p + *got, n - *got, &r) != DUP_OK) return DUP_FAILED;
        if (r == 0) break;  // end of file
        *got += r;
    }
    return DUP_OK;
}

dup_result dup_content_read_end(dup_content_t h, void *buf, int64_t n, int room, int64_t *got) {
    if (room) {
        // One call for the n bytes and the one past them, where it fits.
        if (dup_content_read(h, buf, n + 1, got) != DUP_OK) return DUP_FAILED;
        if (*got > n) *got = n + 1;
        return DUP_OK;
    }
    // No scatter read here: the n bytes, then one byte more into a byte of
    // its own, which must find the end.
    if (dup_content_read(h, buf, n, got) != DUP_OK) return DUP_FAILED;
    if (*got != n) return DUP_OK;
    unsigned char extra;
    int64_t more = 0;
    if (read_once(h, &extra, 1, &more) != DUP_OK) return DUP_FAILED;
    *got = more == 0 ? n : n + 1;
    return DUP_OK;
}

void dup_content_close_system(dup_content_t h) {
    if (h != DUP_CONTENT_NONE) CloseHandle(reinterpret_cast<HANDLE>(h));
}

// ---- canonical paths ----------------------------------------------------------------

char *dup_canonical_path_system(const char *path) {
    dup_sys_path p;
    if (!dup_sys_path_of(path, &p, nullptr)) return nullptr;
    HANDLE h = open_object(p.w, 0, SHARE_ALL, 1, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    dup_stat_t st;
    char *name = nullptr;
    if (!p.dir_only || (stat_handle(h, &st, links::followed) == DUP_OK && st.type == DUP_FT_DIR)) name = final_name(h);
    CloseHandle(h);
    return name;
}

// ---- the delete's steps ---------------------------------------------------------------

// Windows acts on the entry through a handle of the entry itself: opened
// without following, with delete access, and without FILE_SHARE_DELETE, so
// that nobody can rename, replace or remove it (or rename a directory above
// it) while it is held. Its status, its place and its removal all go
// through that one handle.
struct dup_parent_t {
    HANDLE h;      // INVALID_HANDLE_VALUE when the entry could not be opened
    DWORD denied;  // 0 when opened with delete access, else the system's reason
};

dup_result dup_parent_open(const char *path, dup_parent_t **parent, const char **name) {
    *parent = nullptr;
    const char *last = path;
    for (const char *c = path; *c; c++)
        if (dup_path_separator(*c)) last = c + 1;
    *name = last;
    auto *d = static_cast<dup_parent_t *>(dup_malloc(sizeof(dup_parent_t)));
    if (!d) return DUP_NOMEM;
    *d = dup_parent_t{INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE};
    dup_sys_path p;
    dup_result why = DUP_FAILED;
    if (!dup_sys_path_of(path, &p, &why) && why == DUP_NOMEM) {
        // Not an entry that is missing: the caller must not say it is.
        free(d);
        return DUP_NOMEM;
    }
    if (p.w) {
        d->h = open_object(p.w, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, nullptr);
        d->denied = d->h != INVALID_HANDLE_VALUE ? 0 : GetLastError();
        // Without delete access (a file held open by others, or one this
        // user may not remove) the entry is still examined and placed, so
        // that the answer says why it stays.
        if (d->denied != 0) d->h = open_object(p.w, FILE_READ_ATTRIBUTES, SHARE_ALL, 0, nullptr);
    }
    // An entry that could not be opened is held as none: its status query
    // then fails, as the directory's query of a missing entry does.
    *parent = d;
    return DUP_OK;
}

void dup_parent_close(dup_parent_t *dir) {
    if (!dir) return;
    if (dir->h != INVALID_HANDLE_VALUE) CloseHandle(dir->h);
    free(dir);
}

dup_result dup_parent_stat(const dup_parent_t *dir, const char *, dup_stat_t *st) {
    if (dir->h == INVALID_HANDLE_VALUE) return DUP_FAILED;
    return stat_handle(dir->h, st, links::every_reparse_point);
}

char *dup_parent_canonical(const dup_parent_t *dir) {
    if (dir->h == INVALID_HANDLE_VALUE) return nullptr;
    char *name = final_name(dir->h);
    if (!name) return nullptr;
    char *cut = strrchr(name, '/');
    if (!cut || cut == name) {
        free(name);
        return nullptr;
    }
    *cut = '\0';
    return name;
}

dup_result dup_parent_remove(const dup_parent_t *dir, const char *, char *why, size_t why_size) {
    // The entry goes when the handle closes; a read-only file is refused
    // here, as the system refuses to remove it by name.
    FILE_DISPOSITION_INFO info;
    info.DeleteFile = TRUE;
    if (dir->denied == 0 && SetFileInformationByHandle(dir->h, FileDispositionInfo, &info, sizeof info)) return DUP_OK;
    dup_system_text(dir->denied == 0 ? GetLastError() : dir->denied, why, why_size);
    return DUP_FAILED;
}

// The held entry can be neither renamed nor replaced while the handle is
// open: it keeps its name, and what its handle reaches is what is removed.
dup_result dup_parent_take(const dup_parent_t *, const char *name, char *taken, size_t taken_size, char *why,
                           size_t why_size) {
    if (why_size > 0) why[0] = '\0';
    if (taken_size > 0) snprintf(taken, taken_size, "%s", name);
    return DUP_OK;
}

dup_result dup_parent_give_back(const dup_parent_t *, const char *, const char *, char *why, size_t why_size) {
    if (why_size > 0) why[0] = '\0';
    return DUP_OK;
}

// ---- threads ----------------------------------------------------------------------

namespace {

struct spawn_args {
    void (*fn)(void *);
    void *arg;
};

unsigned __stdcall spawn_entry(void *p) {
    spawn_args a = *static_cast<spawn_args *>(p);
    free(p);
    a.fn(a.arg);
    return 0;
}

// The worker descends directory trees recursively; it gets the stack that
// POSIX threads get by default rather than the host program's (often 1 MiB).
constexpr unsigned WORKER_STACK = 8u << 20;

HANDLE start_thread(void (*fn)(void *), void *arg, unsigned stack) {
    auto *a = static_cast<spawn_args *>(dup_malloc(sizeof(spawn_args)));
    if (!a) return nullptr;
    a->fn = fn;
    a->arg = arg;
    const uintptr_t t = _beginthreadex(nullptr, stack, spawn_entry, a, stack ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0,
                                       nullptr);
    if (t == 0) {
        free(a);
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(t);
}

}  // namespace

dup_result dup_thread_spawn(void (*fn)(void *), void *arg) {
    HANDLE t = start_thread(fn, arg, WORKER_STACK);
    if (!t) return DUP_FAILED;
    CloseHandle(t);
    return DUP_OK;
}

struct dup_thread_t {
    HANDLE t;
};

dup_result dup_thread_start(void (*fn)(void *), void *arg, dup_thread_t **t) {
    *t = nullptr;
    auto *h = static_cast<dup_thread_t *>(dup_malloc(sizeof(dup_thread_t)));
    if (!h) return DUP_FAILED;
    h->t = start_thread(fn, arg, 0);
    if (!h->t) {
        free(h);
        return DUP_FAILED;
    }
    *t = h;
    return DUP_OK;
}

void dup_thread_join(dup_thread_t *t) {
    if (!t) return;
    WaitForSingleObject(t->t, INFINITE);
    CloseHandle(t->t);
    free(t);
}

int64_t dup_open_file_limit(void) {
    // Handles of a Windows process are bounded by memory, not by a limit
    // of the process that reading could use up.
    return -1;
}

int32_t dup_processors(void) {
    DWORD_PTR mine = 0, all = 0;
    int n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &mine, &all)) n = std::popcount(static_cast<uint64_t>(mine));
    if (n < 1) n = static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    return n < 1 ? 1 : n;
}

// ---- the library's module ---------------------------------------------------------

namespace {
const char g_module_anchor = 0;  // an address inside this module
}  // namespace

// A scan's worker runs the library's code until the scan ends and nobody
// waits for it, so a host's FreeLibrary must not unmap the module: it is
// pinned for the life of the process on first load. Linked into a program
// instead of the library, this function is never called.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE self;
        (void)GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                 reinterpret_cast<LPCWSTR>(&g_module_anchor), &self);
    }
    return TRUE;
}

// ---- the fingerprint cache's file ------------------------------------------------------
// Off on Windows: any program may set a file's change time (SetFileInformationByHandle), so
// no status proves that a file is unchanged, and the journal that would (the USN) is not
// readable without rights a scan should not need. Nothing here is reached while every file
// system is untrusted; the calls fail.

bool dup_fs_trusted(const char *) { return false; }
int64_t dup_clock_ns(void) { return 0; }
dup_result dup_file_open_read(const char *, dup_content_t *out, dup_stat_t *, int *missing) {
    *out = DUP_CONTENT_NONE;
    *missing = 1;
    return DUP_FAILED;
}
dup_result dup_file_read_at(dup_content_t, int64_t, void *, int64_t) { return DUP_FAILED; }
void dup_file_close(dup_content_t) {}
struct dup_lock_t {};
dup_result dup_file_lock(const char *, dup_lock_t **lock) {
    *lock = nullptr;
    return DUP_FAILED;
}
void dup_file_unlock(dup_lock_t *) {}
dup_result dup_file_create(const char *, dup_content_t *out) {
    *out = DUP_CONTENT_NONE;
    return DUP_FAILED;
}
dup_result dup_file_write_system(dup_content_t, const void *, int64_t) { return DUP_FAILED; }
dup_result dup_file_rewind(dup_content_t) { return DUP_FAILED; }
dup_result dup_file_commit(dup_content_t, const char *, const char *) { return DUP_FAILED; }
void dup_file_abandon(dup_content_t, const char *) {}
