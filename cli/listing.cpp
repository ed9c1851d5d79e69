// SPDX-License-Identifier: MIT
#include "listing.h"

namespace dfcli {

std::string fdupes_group(const std::vector<std::string> &paths, bool null) {
    const char end = null ? '\0' : '\n';
    std::string out;
    for (const std::string &p : paths) {
        out += p;
        out += end;
    }
    out += end;
    return out;
}

std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// Rows end in a bare newline, as the tools that read a pipe line by line
// expect; readers of RFC 4180 text take it as well.
std::string csv_header(bool times) { return times ? "group,size,hash,path,mtime\n" : "group,size,hash,path\n"; }

std::string csv_rows(int64_t number, int64_t size, const std::string &hash, const std::vector<std::string> &paths,
                     const std::vector<std::string> &times) {
    std::string out;
    const std::string lead = std::to_string(number) + "," + std::to_string(size) + "," + csv_field(hash) + ",";
    for (size_t i = 0; i < paths.size(); ++i) {
        out += lead + csv_field(paths[i]);
        if (i < times.size()) {
            out += ',';
            out += csv_field(times[i]);
        }
        out += "\n";
    }
    return out;
}

}  // namespace dfcli
