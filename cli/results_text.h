// SPDX-License-Identifier: MIT
// The library's results text, read into plain records.
#ifndef DUPFIND_CLI_RESULTS_TEXT_H
#define DUPFIND_CLI_RESULTS_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace dfcli {

struct Group {
    std::string hash;                // 16 hex digits
    int64_t size = 0;                // bytes of each file
    std::vector<std::string> files;  // paths exactly as the library gave them
};

struct Skipped {
    std::string path;
    std::string reason;
};

struct Results {
    std::vector<Group> groups;
    int64_t wasted_bytes = 0;
    int64_t scanned_files = 0;
    std::vector<Skipped> skipped;
};

// Parses the library's results text. Returns false (with *why) when the text
// does not have the documented shape; nothing is then acted upon.
bool parse_results(const char *text, Results *out, std::string *why);

}  // namespace dfcli

#endif
