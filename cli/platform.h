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
