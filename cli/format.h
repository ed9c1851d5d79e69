// Text for people: sizes, counts, group headers and the summary line.
#ifndef DUPFIND_CLI_FORMAT_H
#define DUPFIND_CLI_FORMAT_H

#include <cstdint>
#include <string>

#include "results.h"

namespace dfcli {

// Size in binary units: "512 B", "1.5 KiB", "3.0 GiB".
std::string human_size(int64_t bytes);

// A path as it is shown to people: unchanged, unless it holds a control
// character (a newline, a tab, an escape, a C1 control), which would split
// the line or garble the terminal. It is then quoted the way a POSIX shell
// reads it back: the other characters between single quotes, the controls
// as $'...' escapes, so that "a<newline>b" shows as 'a'$'\n''b' and can be
// copied into a command.
std::string quoted_path(const std::string &path);

// "1 file", "3 files"; the plural is given whole ("copy"/"copies").
std::string count_of(int64_t n, const char *one, const char *many);

// "1.0 MiB each, 2 copies, hash 3c9a61f0d2b7e845"
std::string group_header(const Group &g);

// "3 duplicate files in 2 groups, 1.5 MiB reclaimable, 10 files scanned,
// 1 entry skipped": duplicate files are the redundant copies, one less than
// the files of each group.
std::string summary_line(const Results &r);

// Progress bar for a terminal: "[#######.............]  35% walking".
std::string progress_bar(int progress);

}  // namespace dfcli

#endif
