// SPDX-License-Identifier: MIT
#include "files_from.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "format.h"
#include "platform.h"
#include "utf8.h"

namespace dfcli {

bool split_path_list(const std::string &text, bool nul, std::vector<std::string> *out, std::string *error) {
    const char end = nul ? '\0' : '\n';
    size_t number = 0;  // of the entry, for the messages
    for (size_t at = 0; at < text.size();) {
        size_t stop = text.find(end, at);
        if (stop == std::string::npos) stop = text.size();
        size_t len = stop - at;
        ++number;
        if (!nul && len > 0 && text[at + len - 1] == '\r') --len;
        const char *p = text.data() + at;
        at = stop + 1;
        if (len == 0) continue;
        if (!nul && std::memchr(p, '\0', len) != nullptr) {
            *error = "line " + std::to_string(number) +
                     " holds a NUL byte: a list of NUL-separated paths (find -print0) needs --from0";
            return false;
        }
        if (!dup_utf8_is_valid(p, len)) {
            *error = (nul ? "path " : "line ") + std::to_string(number) +
                     " is not valid UTF-8 (the library takes "
                     "UTF-8 paths)";
            return false;
        }
        out->emplace_back(p, len);
    }
    return true;
}

bool read_path_list(const std::string &file, bool nul, std::vector<std::string> *out, std::string *error) {
    // A name with a control character (a line feed) is quoted as a shell
    // reads it, so that the message stays one line.
    const std::string quoted = quoted_path(file);
    const std::string name = file == "-" ? "standard input" : quoted == file ? "'" + file + "'" : quoted;
    std::string why;
    std::FILE *f = open_list(file, &why);
    if (!f) {
        *error = "cannot open the --files-from list " + name + ": " + why;
        return false;
    }
    std::string text;
    char buffer[1 << 16];
    size_t n;
    errno = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    const int err = errno;
    if (f != stdin) std::fclose(f);
    if (failed) {
        *error = "cannot read the --files-from list " + name + ": " + (err != 0 ? std::strerror(err) : "read error");
        return false;
    }
    if (!split_path_list(text, nul, out, error)) {
        *error = "--files-from " + name + ": " + *error;
        return false;
    }
    return true;
}

}  // namespace dfcli
