// Command line of the dupfind tool.
#ifndef DUPFIND_CLI_OPTIONS_H
#define DUPFIND_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace dfcli {

// Which file of a group stays when the others are removed.
enum class Keep { First, Newest, Oldest, ShortestPath };

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
    std::vector<std::string> exclude;
    // Every name of a file with several hard links; by default the library
    // collects the first name it meets, so that one file is one file.
    bool hard_links = false;
    // Output.
    bool json = false;
    bool summary = false;
    bool skipped = false;
    bool quiet = false;
    bool isolate = false;  // only groups that span two roots or more
    // Removal.
    bool remove = false;
    bool dry_run = false;
    bool interactive = false;
    Keep keep = Keep::First;
    // Requests answered without a scan.
    bool help = false;
    bool version = false;
};

// Parses argv. Returns true on success; otherwise *error holds one line
// (without the program name) for a usage error.
bool parse_options(int argc, char **argv, Options *opts, std::string *error);

// Parses a size: a whole number of bytes with an optional binary unit K, M,
// G or T (4K = 4096), also written 4KB or 4KiB. Fractions are refused.
bool parse_size(const std::string &text, int64_t *out);

const char *usage_text();

}  // namespace dfcli

#endif
