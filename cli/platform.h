// SPDX-License-Identifier: MIT
// Platform layer of the dupfind tool: every call that asks the operating
// system about files, the terminal or signals lives behind these functions.
// Each system has its own files (platform_linux.cpp, platform_windows*.cpp);
// what is the same everywhere is written once in platform_common.cpp over
// the few primitives of platform_common.h, so a port writes those files only.
#ifndef DUPFIND_CLI_PLATFORM_H
#define DUPFIND_CLI_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace dfcli {

// What the tool needs to know about a file right before it acts on it.
// The query follows symbolic links: the content and identity are those of
// the file that a read through the path would reach.
struct FileStatus {
    bool regular = false;    // a regular file
    bool directory = false;  // a directory
    int64_t size = 0;        // bytes
    int64_t mtime_ns = 0;    // last modification, nanoseconds since the epoch
    int64_t ctime_ns = 0;    // last change of content or metadata, likewise
    uint64_t device = 0;     // device and file number together identify the
    uint64_t inode = 0;      // physical file behind any number of paths
    uint64_t links = 0;      // hard links: removing one of several frees nothing
    // Who may do what with the file: a hard link to another file gives a
    // name that file's owner and permissions instead.
    uint32_t mode = 0;   // permission bits (POSIX; 0 on Windows)
    uint64_t owner = 0;  // user and group ids (POSIX; 0 on Windows)
    uint64_t group = 0;
    // The kind of file system the file lies on when that kind may show the
    // files of another file system (an overlay, FUSE, a network share), or
    // null. Device and file numbers then do not tell whether two paths lead
    // to one physical file.
    const char *stacked = nullptr;
};

// Fills *st and returns true when the path can be queried.
bool file_status(const std::string &path, FileStatus *st);

// Whether the entry itself (not what it points to) is a symbolic link: 1 when
// it is, 0 when it is not, -1 when it cannot be queried (it does not exist).
int entry_is_link(const std::string &path);

// The absolute name of the file that path leads to, with every symbolic
// link, "." and ".." resolved; false when it cannot be resolved.
bool real_path(const std::string &path, std::string *out);

// Two statuses that name one physical file (the same path twice, a path
// through a linked directory, or a hard link).
inline bool same_file(const FileStatus &a, const FileStatus &b) { return a.device == b.device && a.inode == b.inode; }

// A file named below one of the directories scanned, split where the
// names below that directory begin. The tool acts on such a file through
// its directory, reached from `root` without crossing a symbolic link, so
// that a directory of the path replaced by a link meanwhile cannot lead the
// act elsewhere.
struct RootedPath {
    std::string root;   // the directory as walked; its own path may hold
                        // links, as the user gave it
    std::string below;  // "sub/dir/name": names only, no "." or ".."
};

// What became of an act on a copy.
struct ActResult {
    enum Outcome {
        Done,    // the copy was replaced or now shares the kept file's extents
        Left,    // the copy stays as it was, for the reason below
        Failed,  // likewise, because the system refused or failed
    } outcome = Failed;
    // The reasons that name the kept file, which the caller shows its own
    // way; for the others `why` says it all.
    // OtherMount: the same file system reached through another mount point
    // (a bind mount), where the system refuses a link all the same.
    enum Cause { Other, Differs, OtherFileSystem, OtherMount, KeptChanged } cause = Other;
    std::string why;
};

// A regular file held open for reading, reached from its root through its
// directories without following a link. The byte comparison reads through
// this handle and the act checks that the name still leads to it, so that
// the act touches the very file that was compared.
struct HeldFile {
    intptr_t handle = -1;  // the system's handle, -1 when none is held
    FileStatus st;         // its status when opened
};

// Opens p's file as a HeldFile. A link, a FIFO or anything but a regular
// file is Left; so is a file that is no longer there.
ActResult hold_file(const RootedPath &p, HeldFile *out);

// Closes the handle, if any.
void release_file(HeldFile *f);

// Whether the held file is still exactly as it was when opened: the same
// size, modification and change times (every write and every change of its
// metadata moves the change time).
bool held_unchanged(const HeldFile &f);

// Why contents_identical could not read a file: which of the two (0 for a,
// 1 for b), the step ("cannot read") and the system's reason.
struct ReadFailure {
    int file = 0;
    std::string step;
    std::string reason;
};

// Compares two held files byte for byte over exactly `size` bytes from
// their start and checks that both end there. Returns 1 when identical, 0
// when they differ, -1 when a file cannot be read (*failure says which).
int contents_identical(const HeldFile &a, const HeldFile &b, int64_t size, ReadFailure *failure);

// The first step of a guarded removal: moves the copy's name to a private
// name in the same directory (never replacing anything), then checks that
// the name now leads to the held file, which must be unchanged. A file put
// in the copy's place after the comparison (a save by rename, a racing
// program) is thereby never the one moved: it is put back and Left. On
// success *aside is the moved file's full path (its root, the directories,
// the private name), for the library's guarded delete.
ActResult move_aside(const RootedPath &copy, const HeldFile &compared, std::string *aside);

// Gives the copy its name back after a removal that did not happen. Never
// replaces a file that took the name meanwhile: then the copy stays under
// the private name, and *why says where.
bool put_back(const RootedPath &copy, const std::string &aside, std::string *why);

// Describes how the copy's owner, group, permission bits, access control
// list or extended attributes differ from the kept file's, as the change a
// link would make ("owner from 1000 to 0, mode from 0600 to 0644, access
// control list"; "" when they do not differ). Both paths are looked at
// without following a link. A name replaced by a hard link to the kept file
// takes the kept file's metadata: a copy readable by fewer people would
// become readable by more.
std::string metadata_difference(const std::string &kept, const std::string &copy);

// Makes the copy another name of the kept file. A hard link to the kept
// file is created under a new temporary name in the copy's directory (never
// replacing anything); it must be the held kept file, unwritten since the
// comparison. The two names are then exchanged in one step, so the copy's
// name never goes missing, and what was exchanged out must be the held copy,
// unchanged; otherwise the exchange is undone. The temporary name is removed
// on every outcome; *leftover names it when that failed. A copy on another
// file system, or on another mount point, than the kept file is Left.
// Windows cannot exchange two names: there the held copy is renamed aside
// through its handle, the link is made under its name, and the copy goes
// once the caller releases it (see platform_windows_held.cpp).
ActResult link_over(const RootedPath &kept, const HeldFile &kept_file, const RootedPath &copy,
                    const HeldFile &copy_file, std::string *leftover);

ActResult share_extents(const RootedPath &kept, const FileStatus &kept_st, const RootedPath &copy,
                        const FileStatus &copy_st, bool probe);

// Whether every byte of b already lies in the same place on the device as
// the same byte of a (so that sharing would free nothing): 1 when it does,
// 0 when not, -1 when the file system does not tell.
int extents_shared(const std::string &a, const std::string &b);

// Whether the file's data is stored inline, in the file system's metadata
// (small files on btrfs): 1 when it is, 0 when not, -1 when the file system
// does not tell. Such data has no extent to share, whatever the dedupe call
// answers.
int extents_inline(const std::string &path);

bool stdin_is_terminal();
bool stderr_is_terminal();

// Up to `limit` bytes from the start of p's file, read through a held
// handle (hold_file's rules: a link, a FIFO or anything but a regular file
// is refused). *whole says whether that was all of the file. False, with
// *why, when it cannot be read.
bool read_file_start(const RootedPath &p, size_t limit, std::string *out, bool *whole, std::string *why);

// `words` times 64 bits of the system's random source, as hexadecimal
// digits: a secret that nobody can guess.
std::string random_hex(size_t words);

// Asks the desktop to open the address in the user's browser, without
// waiting for it (xdg-open, ShellExecuteW). False when that could not be
// started.
bool open_in_browser(const std::string &url);

// Ctrl-C, and the requests to stop that a closed terminal, `timeout` or a
// service manager send (SIGHUP, SIGTERM). The first one only sets a flag
// that the tool polls, so that the file in hand is finished or undone; the
// handler then reverts to the default, so a second one ends the process at
// once even if something does not respond to the flag.
void install_interrupt_handler();
bool interrupted();
// The exit status that tells how the run was stopped: 128 and the signal's
// number (130 for Ctrl-C).
int interrupted_status();

// Holds Ctrl-C back on the calling thread, and lets it through again. Threads
// created in between (the library's scan worker) inherit the held signal and
// never take it, so the handler always runs on the tool's own thread; a
// Ctrl-C that arrives meanwhile is delivered on release.
void hold_interrupts();
void release_interrupts();

// Reads one line from standard input without its line end. Returns 1 for a
// line, 0 at end of input, -1 when interrupted or on a read error.
int read_input_line(std::string *line);

// Opens a file of paths (--files-from) to read its bytes as they are, or
// standard input for "-", which the caller then does not close. Null, with
// the system's reason in *why, when it cannot be opened.
std::FILE *open_list(const std::string &path, std::string *why);

}  // namespace dfcli

#endif
