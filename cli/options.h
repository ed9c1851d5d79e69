// SPDX-License-Identifier: MIT
// Command line of the dupfind tool.
#ifndef DUPFIND_CLI_OPTIONS_H
#define DUPFIND_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace dfcli {

// Which file of a group stays when the others are removed.
enum class Keep { First, Newest, Oldest, ShortestPath };

// What becomes of the copies of each group beside the file that stays.
enum class Action {
    None,     // nothing: they are listed
    Delete,   // removed
    Link,     // replaced by a hard link to the file that stays
    Reflink,  // made to share the kept file's extents, keeping their own inode
};

// How the groups are printed.
enum class Format {
    Human,   // groups, marks and the summary line, for people
    Json,    // the library's results text, unchanged
    Fdupes,  // one path per line, a blank line after each group
    Csv,     // one row per file: group, size, hash, path
};

// The order of the groups in the listings. Found is the library's: by
// file size, smallest first, as the comparison meets them.
enum class GroupSort {
    Found,
    Size,    // largest files first
    Wasted,  // most bytes held by the redundant copies first
    Count,   // most files first
    Path,    // by the first path of each group, in byte order
};

// A directory of the command line, in the order given.
struct RootArg {
    std::string path;
    bool reference = false;  // --reference: its files are never removed
};

struct Options {
    // Scan request.
    std::vector<RootArg> roots;
    int64_t min_size = 1;
    bool follow_symlinks = false;
    int64_t max_files = 0;
    int64_t max_size = -1;                  // -1: no limit
    std::vector<std::string> exclude_glob;  // shell patterns (--exclude)
    std::vector<std::string> exclude_text;  // substrings of the path (--exclude-text)
    std::vector<std::string> include_glob;  // shell patterns of the files collected (--include)
    bool glob_ignore_case = false;          // --ignore-case
    std::string cache;                      // --cache: the fingerprint cache's file; empty: none
    bool cache_default = false;             // --cache without FILE: its directory may have to be made
    bool skip_hidden = false;
    bool one_file_system = false;
    int64_t max_depth = -1;  // -1: every level
    // Modification-time window, seconds since 1970 UTC (--newer-than,
    // --older-than): [newer_than, older_than).
    bool has_newer_than = false, has_older_than = false;
    int64_t newer_than = 0, older_than = 0;
    // Every name of a file with several hard links; by default the library
    // collects the first name it meets, so that one file is one file.
    bool hard_links = false;
    // Output.
    Format format = Format::Human;
    bool null = false;        // --null: paths of the fdupes format end in NUL
    bool omit_first = false;  // leave each group's kept files out of the listing
    bool summary = false;
    bool skipped = false;
    bool quiet = false;
    bool isolate = false;  // only groups that span two roots or more
    GroupSort sort = GroupSort::Found;
    bool reverse = false;  // the groups in the opposite order
    bool times = false;    // each file's modification time in the listing
    // Removal.
    Action action = Action::None;
    bool dry_run = false;
    bool interactive = false;
    Keep keep = Keep::First;
    bool keep_given = false;      // --keep was given (path order may decide)
    bool allow_metadata = false;  // --link may change a copy's owner, mode, ACL
    // The page (--ui): the groups shown in the browser, the acts chosen there.
    bool ui = false;
    bool no_browser = false;      // only print the page's address
    int64_t idle_timeout = 3600;  // seconds without a request that end it; 0: never
    // Remarks on the request, said on stderr before the scan.
    std::vector<std::string> notes;
    // Requests answered without a scan.
    bool help = false;
    bool version = false;
};

// Parses argv. Returns true on success; otherwise *error holds one line
// (without the program name) for a usage error. --interactive without an
// action means --delete.
bool parse_options(int argc, char **argv, Options *opts, std::string *error);

// Parses a size: a whole number of bytes with an optional binary unit K, M,
// G or T (4K = 4096), also written 4KB or 4KiB. Fractions are refused.
bool parse_size(const std::string &text, int64_t *out);

const char *usage_text();

}  // namespace dfcli

#endif
