// SPDX-License-Identifier: MIT
// The operations the library needs from the operating system, and nothing
// else. Every system call of the library is made behind this header: the
// stages above it include no system header, so a port is one more file
// beside posix.cpp.
//
// Paths are NUL-terminated UTF-8 at this boundary, of any length (a walk
// builds paths longer than some systems take whole; the implementation
// reaches them). Handles are opaque. No function here sets the caller's
// error text; each reports only through its result: DUP_OK, DUP_FAILED,
// DUP_NO_HANDLE (no file handle free), DUP_NAME_TOO_LONG or DUP_NOMEM; a
// handle or a count comes back through an out-parameter.
#ifndef DUP_PLATFORM_H
#define DUP_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "../base.h"

// ---- paths ----------------------------------------------------------------------------

// Whether c separates the components of a path: '/' everywhere, and on
// Windows also a backslash.
bool dup_path_separator(char c);

// ---- status ---------------------------------------------------------------------------

enum dup_ftype : uint8_t {
    DUP_FT_REG,    // a regular file
    DUP_FT_DIR,    // a directory
    DUP_FT_LNK,    // a symbolic link (on Windows a junction or symbolic link; the
                   // delete's own query counts every reparse point as one)
    DUP_FT_OTHER,  // a FIFO, socket, device
};

// What the status query reports. Two paths that reach the same object have
// equal (dev, ino), whatever links or mounts they pass through.
struct dup_stat_t {
    dup_ftype type;
    int64_t size;   // bytes, for a regular file; 0 otherwise
    int64_t mtime;  // last modification, whole seconds since 1970 UTC
    // Last modification and last change of status, nanoseconds since 1970
    // UTC: what tells the fingerprint cache that a file is as it was. Zero
    // on Windows, where the cache is off.
    int64_t mtime_ns;
    int64_t ctime_ns;
    uint64_t dev;
    uint64_t ino;
};

// The status of the object at path: follow = 0 reports a link as a link,
// otherwise what the chain of links leads to.
dup_result dup_fill_stat(const char *path, dup_stat_t *st, int follow);

// ---- directory listing --------------------------------------------------------------

struct dup_dir_t;  // an open directory being listed

// Opens a directory for listing into *dir (null on failure). The handle
// pins the directory itself: what its path leads to later does not change
// what it lists or what entry queries reach.
dup_result dup_dir_open(const char *path, dup_dir_t **dir);
void dup_dir_close(dup_dir_t *dir);  // accepts null
// Whether the open directory is the object with this identity.
bool dup_dir_is(const dup_dir_t *dir, uint64_t dev, uint64_t ino);
// The next name in the listing's own order ("." and ".." included), or null
// at the end; valid until the next call. A read error ends the listing.
const char *dup_dir_next(dup_dir_t *dir);
// The status of the entry `name` of the open directory, reached through
// the handle rather than through the directory's path.
dup_result dup_dir_stat(const dup_dir_t *dir, const char *name, dup_stat_t *st, int follow);

// ---- content ------------------------------------------------------------------------

using dup_content_t = intptr_t;  // an open regular file; -1 is none
constexpr dup_content_t DUP_CONTENT_NONE = -1;

// Opens a regular file to read its content, without blocking on a FIFO or
// device put in its place, without changing its access time where the
// system allows, and hinting a read to the end when `sequential`. Refuses
// anything but a regular file, and, unless dev and ino are both 0, a file
// whose identity is not (dev, ino). *out is DUP_CONTENT_NONE on failure.
dup_result dup_content_open(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *out);
// Fills buf with n bytes, fewer only at the end of the file; *got tells
// how many. DUP_FAILED on a read error.
dup_result dup_content_read(dup_content_t h, void *buf, int64_t n, int64_t *got);
// Reads the last n bytes a file should have into buf and confirms where it
// ends, in one read call when it ends as expected: *got is n when it ends
// right after them, n + 1 when it goes on, fewer when it ends sooner.
// DUP_FAILED on a read error. buf holds n bytes, or n + 1 when room is not
// 0 (the byte past n may then be overwritten, and the read costs less).
dup_result dup_content_read_end(dup_content_t h, void *buf, int64_t n, int room, int64_t *got);
void dup_content_close(dup_content_t h);  // accepts DUP_CONTENT_NONE

// The process's limit of open files, or -1 when it has none.
int64_t dup_open_file_limit(void);

// ---- the fingerprint cache's file --------------------------------------------------------

// Whether the file system that holds path keeps inode numbers and change
// times a later scan can trust: a file of unchanged (device, inode, size,
// modification and change time) then has unchanged content. On Linux the
// file system's kind (statfs f_type) must be one of a fixed table of local
// file systems; FAT, exFAT, network and FUSE file systems, and any kind the
// table does not know, are not trusted. Always false on Windows (any program
// may set a file's change time there) and on other systems.
bool dup_fs_trusted(const char *path);

// The system's clock, nanoseconds since 1970 UTC.
int64_t dup_clock_ns(void);

// Opens the regular file at path to read it in pieces (*out, closed with
// dup_file_close) and reports its status at that moment. The handle keeps
// reaching that file when another is renamed over the path. DUP_FAILED
// with *missing set when nothing is at path, DUP_FAILED otherwise (not a
// regular file, unreadable).
dup_result dup_file_open_read(const char *path, dup_content_t *out, dup_stat_t *st, int *missing);
// Reads n bytes at offset `at` of a file opened by dup_file_open_read,
// all of them: DUP_FAILED on a read error or when the file ends before.
dup_result dup_file_read_at(dup_content_t h, int64_t at, void *buf, int64_t n);
void dup_file_close(dup_content_t h);  // accepts DUP_CONTENT_NONE

struct dup_lock_t;  // an exclusive lock held on a file, released when closed or when the process ends
// Takes the exclusive lock of the file at path (created when missing),
// waiting for another holder to let go.
dup_result dup_file_lock(const char *path, dup_lock_t **lock);
void dup_file_unlock(dup_lock_t *lock);  // accepts null

// Creates (or empties) the file at path for writing, readable by its owner
// only.
dup_result dup_file_create(const char *path, dup_content_t *out);
// Writes n bytes, all of them, or fails. Goes through the seam's
// "file_write" entry.
dup_result dup_file_write(dup_content_t h, const void *buf, int64_t n);
// Moves the point of the next write of a created file back to its start
// (a header that is known only once the rest is written).
dup_result dup_file_rewind(dup_content_t h);
// Makes what was written durable, closes the file and renames it (at from)
// over to, so that to names either its old file or the whole new one. On
// a failure the file is closed and removed.
dup_result dup_file_commit(dup_content_t h, const char *from, const char *to);
// Closes a created file and removes it.
void dup_file_abandon(dup_content_t h, const char *path);

// ---- canonical paths ----------------------------------------------------------------

// The canonical form of the object the path names: absolute, every link
// resolved, '/' as separator, no trailing '/' (except the file-system root
// itself). Null when the path does not resolve or memory runs out. Caller
// frees with free().
char *dup_canonical_path(const char *path);

// ---- the delete's steps ---------------------------------------------------------------

struct dup_parent_t;  // a directory held open to act on one of its entries

// Opens the directory that holds the last component of path (following
// links along the way) into *parent (null on failure). Also sets *name to that
// component, inside path. (Windows holds the entry itself instead, opened without
// following it and so that nobody can rename or replace it meanwhile; the
// functions below keep the same guarantees.)
dup_result dup_parent_open(const char *path, dup_parent_t **parent, const char **name);
void dup_parent_close(dup_parent_t *dir);  // accepts null
// The status of an entry of the open directory, never following a link.
dup_result dup_parent_stat(const dup_parent_t *dir, const char *name, dup_stat_t *st);
// The canonical form of the open directory as the system names it now (not
// of the text that opened it, which may lead elsewhere by now). Null when
// it has none (removed meanwhile, out of reach) or memory runs out. Caller
// frees with free().
char *dup_parent_canonical(const dup_parent_t *dir);
// Removes the entry itself (never what a link stands for). On a failure
// the system's reason in words goes to why (why_size bytes, always
// terminated), or "" when it gave none.
dup_result dup_parent_remove(const dup_parent_t *dir, const char *name, char *why, size_t why_size);
// Puts the entry `name` of the open directory out of reach of other
// programs before it is examined and removed: nobody renames another file
// over it meanwhile. Where a rename over the held entry is possible (POSIX),
// the entry moves to a fresh private name in the same directory, never
// replacing one; otherwise (Windows, whose held entry cannot be replaced)
// it keeps its name. *taken (taken_size bytes, 64 suffice) receives the name
// under which dir reaches it now. On a failure the entry is where it was and
// the system's reason goes to why.
dup_result dup_parent_take(const dup_parent_t *dir, const char *name, char *taken, size_t taken_size, char *why,
                           size_t why_size);
// Gives a taken entry its name back, never replacing an entry that has the
// name now. On a failure it stays under `taken` and the system's reason
// goes to why.
dup_result dup_parent_give_back(const dup_parent_t *dir, const char *taken, const char *name, char *why,
                                size_t why_size);

// ---- replaceable system calls ----------------------------------------------------------

// A test seam, never used by the library itself: the calls below that reach
// the system for a tree's listing, a file's content (its open and its
// close) and a root's resolution, and every allocation of the library, go
// through one table of named entries (syscalls.cpp), and a test replaces an
// entry to watch, slow down, fail or change the tree at that moment, on
// every system alike (the entries have this layer's signatures, not a
// system's):
//   "dir_open"        dup_result (*)(const char *path, dup_dir_t **dir)
//   "content_open"    dup_result (*)(const char *path, int sequential, uint64_t dev,
//                                    uint64_t ino, dup_content_t *out)
//   "content_close"   void (*)(dup_content_t h)
//   "canonical_path"  char *(*)(const char *path)
//   "alloc"           void *(*)(void *block, size_t size)   (dup_alloc_fn, base.h)
//   "file_write"      dup_result (*)(dup_content_t h, const void *buf, int64_t n)
// A replacement usually ends by calling the default. Entries are read with
// acquire ordering on every call, so a replacement set before a scan starts
// is seen by its worker.
using dup_syscall_ptr = void (*)(void);
// Replaces the named entry (null restores the default). False for a name
// the table does not hold.
bool dup_syscall_replace(const char *name, dup_syscall_ptr fn);
// The system's own implementation of the named entry, or null.
dup_syscall_ptr dup_syscall_default(const char *name);

// ---- threads and process ---------------------------------------------------------------

// Starts fn(arg) on a new thread that nobody joins (a scan's worker, which
// runs until its scan ends). DUP_FAILED when no thread could be created.
dup_result dup_thread_spawn(void (*fn)(void *), void *arg);

struct dup_thread_t;
// Starts fn(arg) on a thread that the caller joins (a reader of a pool),
// into *t. DUP_FAILED (and *t null) when no thread could be created.
dup_result dup_thread_start(void (*fn)(void *), void *arg, dup_thread_t **t);
// Waits for the thread to end and releases it.
void dup_thread_join(dup_thread_t *t);

// Processors this process may run on (at least 1).
int32_t dup_processors(void);

#endif  // DUP_PLATFORM_H
