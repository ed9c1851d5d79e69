// Platform layer of the dupfind tool: every call that asks the operating
// system about files, the terminal or signals lives behind these functions,
// so that a port touches this header's implementation file only.
#ifndef DUPFIND_CLI_PLATFORM_H
#define DUPFIND_CLI_PLATFORM_H

#include <cstdint>
#include <string>

namespace dfcli {

// What the tool needs to know about a file right before it acts on it.
// The query follows symbolic links: the content and identity are those of
// the file that a read through the path would reach.
struct FileStatus {
    bool regular = false;   // a regular file
    bool directory = false; // a directory
    int64_t size = 0;       // bytes
    int64_t mtime_ns = 0;   // last modification, nanoseconds since the epoch
    int64_t ctime_ns = 0;   // last change of content or metadata, likewise
    uint64_t device = 0;    // device and file number together identify the
    uint64_t inode = 0;     // physical file behind any number of paths
    uint64_t links = 0;     // hard links: removing one of several frees nothing
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
inline bool same_file(const FileStatus &a, const FileStatus &b) {
    return a.device == b.device && a.inode == b.inode;
}

// Why files_identical could not read a file: which of the two (0 for a, 1
// for b), the step ("cannot open", "cannot read") and the system's reason
// when there is one.
struct ReadFailure {
    int file = 0;
    std::string step;
    std::string reason;
};

// Compares two files byte for byte over exactly `size` bytes and checks that
// both end there. Returns 1 when identical, 0 when they differ, -1 when a
// file cannot be read (*failure then says which and why).
int files_identical(const std::string &a, const std::string &b, int64_t size, ReadFailure *failure);

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
    enum Cause { Other, Differs, OtherFileSystem, KeptChanged } cause = Other;
    std::string why;
};

// Makes the copy another name of the kept file. A hard link to the kept
// file is created under a new temporary name in the copy's directory (never
// replacing anything) and renamed over the copy, once it is checked that the
// new name is the kept file and that the copy is still the file `copy_st`
// describes (device, inode, size, modification and change times). The
// temporary name is removed on every failure. A copy on another file system
// than the kept file is Left.
ActResult link_over(const RootedPath &kept, const FileStatus &kept_st, const RootedPath &copy,
                    const FileStatus &copy_st);

// Has the kernel make the copy share the kept file's extents, comparing the
// bytes itself under lock (a copy that differs is not touched); the copy
// keeps its name, inode and metadata. Both are opened through their
// directories and must still be the files the statuses describe. With
// `probe` only asks whether the file systems could, changing nothing. A
// file system that cannot share extents, or two of them, is Left.
ActResult share_extents(const RootedPath &kept, const FileStatus &kept_st, const RootedPath &copy,
                        const FileStatus &copy_st, bool probe);

// Whether every byte of b already lies in the same place on the device as
// the same byte of a (so that sharing would free nothing): 1 when it does,
// 0 when not, -1 when the file system does not tell.
int extents_shared(const std::string &a, const std::string &b);

bool stdin_is_terminal();
bool stderr_is_terminal();

// Ctrl-C handling. The first SIGINT only sets a flag that the tool polls;
// the handler then reverts to the default, so a second Ctrl-C ends the
// process at once even if something does not respond to the flag.
void install_interrupt_handler();
bool interrupted();

// Holds Ctrl-C back on the calling thread, and lets it through again. Threads
// created in between (the library's scan worker) inherit the held signal and
// never take it, so the handler always runs on the tool's own thread; a
// Ctrl-C that arrives meanwhile is delivered on release.
void hold_interrupts();
void release_interrupts();

// Reads one line from standard input without its line end. Returns 1 for a
// line, 0 at end of input, -1 when interrupted or on a read error.
int read_input_line(std::string *line);

}  // namespace dfcli

#endif
