// SPDX-License-Identifier: MIT
/*
 * dupfind.h - public interface of libbrennic-filedup-find
 *
 * The library finds files with identical content below one or more directory
 * trees and can delete single files under fixed guards. Its whole API is the
 * seven functions declared here; every other symbol of the shared library is
 * private and may change without notice.
 *
 * A host starts a scan (dupfind_scan_start), which runs on a worker thread of
 * its own, polls it (dupfind_scan_progress) until it reads 100 or -1, may ask
 * it to stop (dupfind_cancel), and fetches the outcome as one compact JSON
 * text (dupfind_scan_results). It may then remove individual files with
 * dupfind_delete_file, which refuses anything outside the roots of the scans
 * started in this process.
 *
 * Strings: every path and text is a NUL-terminated UTF-8 byte string.
 * Strings returned by dupfind_scan_results belong to the caller and are
 * released with dupfind_free_string. The text of dupfind_last_error belongs
 * to the library.
 *
 * Errors: each thread has its own error text of at most 511 bytes.
 * dupfind_scan_start, dupfind_scan_progress, dupfind_scan_results,
 * dupfind_cancel and dupfind_delete_file empty it on entry and leave one fixed
 * message in it when they fail (the messages are listed with each function).
 *
 * Threads: every function may be called from any thread at any time,
 * including concurrently with running scans. The queries hold the table
 * lock only to find a scan among the 32 slots and copy what they return;
 * dupfind_scan_start takes it only to claim and, on failure, give back a
 * slot: it parses the request and resolves the roots without it, so a start
 * over many roots or a slow file system holds up no other call.
 *
 * Limits: at most 32 scans can be started per load of the library. A started
 * scan keeps its slot, and its results stay fetchable, for the life of the
 * process. Once loaded, the library stays loaded until the process ends
 * (dlclose does not unmap it), because a scan's worker may still be running
 * its code. The library reads no configuration, and writes no file unless the
 * host names one: the fingerprint cache of the "cache" option, beside which
 * it also creates that name followed by ".lock" and ".new".
 *
 * Resources: a scan needs open files (handles) of the process: one per
 * directory level it is listing while it walks, and while it compares, one
 * per file being read, up to about 16 for each of its reading threads.
 * Reading never holds more than half of the process's limit of open files,
 * over all scans together, so 32 scans at once leave the host its share.
 * When the process runs short of handles (a low limit, other scans, or a
 * host that holds most of them), a scan waits for one to come free and
 * reads fewer files at once; a file that it still cannot open, after about
 * two seconds in which none of the library's own handles came free, is
 * reported as "read_failed". The groups never lack a file without the
 * results saying so: a scan that cannot store such a record (no memory)
 * fails ("walk failed", "grouping failed") rather than finish without it.
 */
#ifndef DUPFIND_H
#define DUPFIND_H

/* The one place the version is written: the build, the tool, the manual page
 * and the Python package take it from here. */
#define DUPFIND_VERSION_MAJOR 1
#define DUPFIND_VERSION_MINOR 1
#define DUPFIND_VERSION_PATCH 0
#define DUPFIND_VERSION_STRING "1.1.0"

#if defined(_WIN32)
#  if defined(DUPFIND_BUILDING)
#    define DUPFIND_API __declspec(dllexport)
#  else
#    define DUPFIND_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define DUPFIND_API __attribute__((visibility("default")))
#else
#  define DUPFIND_API
#endif

#if defined(__cplusplus)
#  define DUPFIND_NOEXCEPT noexcept
extern "C" {
#else
#  define DUPFIND_NOEXCEPT
#endif

/*
 * Starts a scan over the directory trees named in dirs_json.
 *
 * dirs_json     A JSON array. Every element that is a non-empty string is a
 *               root, kept exactly as written (relative roots are taken
 *               against the process's current directory); other elements
 *               are ignored. A root that does not exist is reported in the
 *               results as "root_missing" (or "name_too_long"), not here.
 *               A string holding a NUL (\u0000) makes the text invalid.
 * options_json  NULL, "", "null", or a JSON object with any of:
 *                 "min_size"        integer, smallest size collected (default 1;
 *                                   0 admits empty files)
 *                 "follow_symlinks" true/false or an integer (default false)
 *                 "max_files"       integer, cap on collected paths (0 or
 *                                   negative: none); the results tell
 *                                   that it stopped the walk with a
 *                                   "max_files_reached" entry
 *                 "exclude"         array of strings; an entry whose path
 *                                   contains one of them is skipped; a
 *                                   string holding a NUL makes the text
 *                                   invalid
 *                 "hard_links"      true/false (default true): false
 *                                   collects only the first name met of a
 *                                   file with several (hard links)
 *                 "max_size"        integer 0 or more, largest size
 *                                   collected (default: no limit)
 *                 "exclude_glob"    array of shell patterns (*, ?, [...]
 *                                   with the classes [:alpha:] [:digit:]
 *                                   etc. of ASCII, ** across directories);
 *                                   one without '/' is matched against an
 *                                   entry's name ("*.iso", "node_modules"),
 *                                   one with '/' against its path relative
 *                                   to its root, which does not hold the
 *                                   root's own name ("src/build"; a "**"
 *                                   component matches any number of
 *                                   directories, a last one at least one;
 *                                   a leading "/" or "./" anchors at the
 *                                   root: "/build"); a trailing '/' makes a
 *                                   pattern match directories only
 *                                   ("cache/"); a matching directory is not
 *                                   entered. A pattern with no meaning
 *                                   makes the text invalid: empty or
 *                                   naming nothing ("/"), an empty, "." or
 *                                   ".." component (past a leading "./"),
 *                                   "**" inside a component ("a**b"), a
 *                                   backslash with nothing to escape, an
 *                                   unclosed set, an unknown class, a
 *                                   range whose end comes before its start
 *                 "skip_hidden"     true/false (default false): pass over
 *                                   names that begin with '.'
 *                 "one_file_system" true/false (default false): enter no
 *                                   directory on another device than its
 *                                   root
 *                 "max_depth"       integer 1 or more: levels of entries
 *                                   collected below a root, counted as
 *                                   find -maxdepth counts them (1: only
 *                                   the root's own entries, 2: those of
 *                                   its subdirectories too; default: all)
 *                 "newer_than"      integer, seconds since 1970 UTC (may be
 *                                   negative): collect only regular files
 *                                   modified at that second or later
 *                 "older_than"      integer, seconds since 1970 UTC:
 *                                   collect only regular files modified
 *                                   before that second (with "newer_than"
 *                                   the two give the window [newer, older))
 *                 "include_glob"    array of shell patterns as for
 *                                   "exclude_glob", none ending in '/':
 *                                   when it holds any, only regular files
 *                                   that one of them matches (by name, or
 *                                   by path below the root for a pattern
 *                                   with '/') are collected; directories
 *                                   are still entered, and a file given
 *                                   as a root is taken as it is
 *                 "glob_ignore_case" true/false (default false): the
 *                                   patterns of "exclude_glob" and
 *                                   "include_glob" match ASCII letters of
 *                                   either case ("*.iso" matches "X.ISO")
 *                 "cache"           string, the path of a fingerprint cache
 *                                   file: read before the files are
 *                                   compared and written anew after (see
 *                                   "The fingerprint cache" below). Without
 *                                   it nothing is read or written
 *                 "cache_keep_scans" integer 1 or more (default 8): scans
 *                                   after which the cache forgets a file
 *                                   none of them met
 *               Unknown keys are ignored; for a repeated key only its first
 *               occurrence counts. The four keys "min_size",
 *               "follow_symlinks", "max_files" and "exclude" ignore a value of
 *               the wrong type (and "exclude" an element that is not a
 *               string), and an integer of theirs above the largest signed
 *               64-bit value counts as that value (a "min_size" larger than
 *               any file collects nothing). Every other key takes only the
 *               type and range given above: a value of another type, a
 *               negative or larger integer, a number with a fraction or an
 *               exponent (1e300, 10.0), an element of "exclude_glob" that is
 *               not a string or not a pattern with a meaning make the text
 *               "invalid options_json", as does every key added later.
 *
 * The fingerprint cache. A rescan reuses, for a file whose identity and
 * state are unchanged (device, inode, size, modification and change time in
 * nanoseconds), its first-block and whole fingerprints; and files that an
 * earlier scan put into one group, by comparing their bytes, are grouped
 * again without being read while every one of them is unchanged. Everything
 * else is read as without a cache, so the groups are those of a scan
 * without one: an entry never puts two files into one group unless their
 * bytes were compared, at some scan, in their present state. This rests on
 * the change time, which every write moves and no program can set back
 * (touch -d sets the modification time only), and on stable inode numbers.
 * Only files on file systems known to keep both are cached: on Linux, by
 * the file system's kind (statfs f_type), ext2/3/4, XFS, Btrfs, tmpfs, ZFS,
 * F2FS, JFS, ReiserFS, bcachefs and NILFS; files on FAT, exFAT, network,
 * FUSE, overlay or any other file system are always read. A file changed
 * less than two seconds before the scan began is not stored (a write in the
 * same tick of the file system's clock would not move its change time). On
 * Windows the cache is off (any program may set a file's change time
 * there): the option is accepted, and nothing is read or written.
 * The file is written whole beside the cache (name + ".new") and renamed over
 * it, under a lock (name + ".lock"), so it is always either the old file
 * or the new one. It is replaced only if it is still the file this scan
 * read: of two scans sharing one cache, the one that finishes last stores
 * nothing and says so ("cache_not_written"). A file that is damaged,
 * truncated, of another kind or of a later version is never trusted
 * ("cache_ignored"); a damaged one of this kind is replaced, one of another
 * kind or version is left alone. The file holds 64 bytes per file that
 * shares its size with another; it is read in pieces, never held in memory
 * whole (8 bytes per entry while the scan's files look theirs up), and kept
 * open while the scan runs. A cancelled or failed scan writes nothing.
 *
 * Returns the new scan's id (1 or more), or -1 with one of these messages:
 *   "NULL dirs_json", "too many concurrent scans", "invalid options_json",
 *   "options_json must be object", "oom", "dirs_json required",
 *   "invalid dirs_json", "dirs_json must be array", "dirs_json empty",
 *   "no valid directories", "pthread_create failed".
 * The caller's texts are only read. The roots that exist (and are not
 * symbolic links) become scanned roots for dupfind_delete_file.
 */
DUPFIND_API int dupfind_scan_start(const char *dirs_json, const char *options_json) DUPFIND_NOEXCEPT;

/*
 * Returns the progress of a scan: 0 before its worker has begun, 1 while the
 * trees are walked, 40 to 95 while files are compared, 96 while the results
 * text is written, 100 when the results are ready. Never decreases, except to
 * -1 when the scan failed or was cancelled; the caller's error text then
 * holds the scan's reason: "cancelled", "walk failed", "grouping failed" or
 * "results json failed".
 * An unknown id gives -1 with "invalid scan_id".
 * The value is a snapshot: reading it never waits for the worker, nor for
 * another thread's dupfind_scan_start.
 */
DUPFIND_API int dupfind_scan_progress(int scan_id) DUPFIND_NOEXCEPT;

/*
 * Returns a new copy of a finished scan's results text, one compact JSON
 * object:
 *   {"groups":[{"hash":"<16 hex digits>","size":N,"files":["path",...]},...],
 *    "wasted_bytes":N,"scanned_files":N,
 *    "skipped":[{"path":"...","reason":"..."},...]}
 * "wasted_bytes" is the space the redundant copies occupy: per group, its
 * size times the number of distinct files beyond one (names of one file,
 * hard links, occupy its bytes once).
 * "scanned_files" counts the directory entries collected: one entry reached
 * under several paths (a file root also met below a directory root, a
 * followed link beside its target, a bind mount) counts once and is listed
 * once, under the path met first. Each directory is entered once per scan.
 * Reasons in "skipped":
 *   "root_missing"        a root that does not exist
 *   "name_too_long"       a root the system refuses as too long a name
 *   "not_directory"       a root that is a link while links are followed,
 *                         or neither a directory nor a regular file
 *   "symlink"             a link, while links are not followed
 *   "symlink_stat_failed" a followed link that leads nowhere
 *   "symlink_loop"        a followed link to a directory above it
 *   "already_scanned"     a directory this scan entered already by another
 *                         path (a root given twice or inside another, a
 *                         bind mount, a second link to it)
 *   "below_min_size"      a regular file smaller than "min_size"
 *   "above_max_size"      a regular file larger than "max_size"
 *   "exclude"             an entry whose path contains an "exclude" string
 *   "exclude_glob"        an entry matched by an "exclude_glob" pattern
 *   "hidden"              a name that begins with '.' ("skip_hidden")
 *   "other_file_system"   a directory on another device ("one_file_system")
 *   "max_depth"           a directory whose entries would lie deeper
 *                         than "max_depth"
 *   "newer_than"          a regular file modified before "newer_than"
 *   "older_than"          a regular file modified at or after "older_than"
 *   "not_included"        a regular file no "include_glob" pattern matches
 *   "lstat_failed"        an entry whose status cannot be read
 *   "not_regular"         a FIFO, socket or device (also through a link)
 *   "opendir_failed"      a directory that cannot be listed
 *   "invalid_utf8"        a name that is not UTF-8 (shown with U+FFFD)
 *   "max_files_reached"   the first regular file that "max_files" left out:
 *                         the walk stops there, so what it did not reach is
 *                         not listed. Names count, not files: the cap may
 *                         stop a walk whose "scanned_files" is below it, as
 *                         the names of one file count once there. A file
 *                         given as a root after the cap is listed as well.
 *   "read_failed"         a collected file that shares its size with another
 *                         but could not be opened or read while the files
 *                         were compared: gone, unreadable, replaced by another
 *                         object, or no longer of the size the walk saw. It
 *                         is in no group, whatever its content.
 *   "cache_ignored"       the "cache" file (its path), when it cannot be
 *                         read or is damaged, truncated, of another kind
 *                         or of a later version, or its bytes changed
 *                         while the scan read it: the scan reads every
 *                         file as without a cache
 *   "cache_not_written"   the "cache" file (its path), when this scan's
 *                         findings could not be stored: another scan
 *                         replaced the file since this one read it, the
 *                         file is of another kind or version or could not
 *                         be read, or writing failed. The file is as it
 *                         was
 * "skipped" lists what the walk passed over, in the order met, then
 * "cache_ignored", then the collected files that could not be read, in byte
 * order of their paths ("scanned_files" counts those too), then
 * "cache_not_written".
 * The caller owns the copy and releases it with dupfind_free_string; each
 * call returns a separate copy.
 * Returns NULL with "invalid scan_id", "results not ready (progress must be
 * 100)" (running, failed or cancelled) or "oom".
 */
DUPFIND_API char *dupfind_scan_results(int scan_id) DUPFIND_NOEXCEPT;

/*
 * Asks a scan to stop. Returns 0 when the request was recorded (also for a
 * scan that has already finished, which stays finished), or -1 with
 * "invalid scan_id". A cancel is a request: the worker honours it at its next
 * checkpoint, and a scan that is nearly done may still complete with 100.
 */
DUPFIND_API int dupfind_cancel(int scan_id) DUPFIND_NOEXCEPT;

/*
 * Returns the calling thread's error text: empty after a successful call,
 * otherwise the message of the thread's last failed call. Never NULL. The
 * text belongs to the library and stays valid, unchanged, until the same
 * thread next calls one of the functions that clear it. Calling this
 * function does not change the text.
 */
DUPFIND_API const char *dupfind_last_error(void) DUPFIND_NOEXCEPT;

/*
 * Releases a string returned by dupfind_scan_results. NULL is a harmless
 * no-op. Does not change the error text.
 */
DUPFIND_API void dupfind_free_string(char *p) DUPFIND_NOEXCEPT;

/*
 * Deletes one regular file, but only when all of these hold: the path has no
 * ".." component, it does not name a symbolic link, it names an existing
 * regular file, and it lies inside a root of a scan started in this process.
 * A root that was a regular file when its scan started admits only its own
 * name, and only while that name leads to that same file (the same device
 * and inode; the same volume and file id on Windows): a file renamed over it
 * since then, or a directory put in its place, is outside every root, until
 * a scan is started with it as a root in turn.
 *
 * Returns 1 when the file was removed (error text empty), 0 when the request
 * was refused, -1 on an error. Messages, checked in this order:
 *   -1 "NULL or empty path"
 *    0 "refused: path contains .."
 *    0 "refused: symlink"
 *   -1 "path not found"
 *    0 "refused: directory"
 *    0 "refused: not a regular file"
 *    0 "refused: outside scanned roots"
 *   -1 "unlink failed", followed by ": " and the system's reason when it
 *      gives one ("unlink failed: Permission denied")
 * The entry removed is the one that passed the checks: a directory of the
 * path replaced by a link in the meantime cannot redirect the removal. A
 * file root is put out of reach of renames by others before it is checked
 * (on POSIX systems it moves to a private name beside it, ".dupfind-" and
 * more, and gets its name back unless it is removed), so a file renamed
 * over its name at any moment is refused as outside the roots and stays.
 * Should the name be taken by yet another entry before the file got it
 * back, nothing is replaced: the result is -1 with "unlink failed: it stays
 * under the name " and the private path, ": " and the system's reason.
 * The function does not look at the scan table and may run during scans.
 */
DUPFIND_API int dupfind_delete_file(const char *path) DUPFIND_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif /* DUPFIND_H */
