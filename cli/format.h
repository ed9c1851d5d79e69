// SPDX-License-Identifier: MIT
// Text for people: sizes, counts, group headers and the summary line.
#ifndef DUPFIND_CLI_FORMAT_H
#define DUPFIND_CLI_FORMAT_H

#include <cstdint>
#include <string>

#include "results_text.h"

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

// Whether a listing of one path a line can hold the path: it has no line
// feed and no carriage return. A script reading the listing line by line
// would take the part after either for another path (readers of text split
// at a carriage return too: Python's universal newlines, text mode on
// Windows), and act on a file that is no copy. Other characters, a tab or
// a Unicode line separator, end no line for such readers and are left as
// they are.
bool fits_one_line(const std::string &path);

// "1 file", "3 files"; the plural is given whole ("copy"/"copies").
std::string count_of(int64_t n, const char *one, const char *many);

// "1.0 MiB each, 2 files, 1 duplicate, hash 3c9a61f0d2b7e845"; when the
// group's names lead to fewer files (hard links), "2 files, 1 duplicate, 3
// names". `files` is the number of physical files behind the names,
// `duplicates` those of them beyond the ones kept, counted as the summary's
// "N duplicate files" counts them, so that the two agree.
std::string group_header(const Group &g, size_t files, size_t duplicates);

// The figures of the summary line.
struct Summary {
    int64_t duplicates = 0;  // redundant files: those of each group beyond the kept one
    int64_t groups = 0;
    int64_t reclaimable = 0;  // bytes that removing them gives back
    int64_t scanned = 0;
    bool capped = false;  // the scan collected as many files as --max-files allows
    int64_t skipped = 0;
    int64_t unreadable = 0;  // of the skipped entries, files that could not be read
};

// "3 duplicate files in 2 groups, 1.5 MiB reclaimable, 10 files scanned,
// 1 entry skipped"; a capped scan adds "(--max-files reached)" to the files
// scanned, unreadable files "(1 file could not be read)" to the skipped.
std::string summary_line(const Summary &s);

// What a skip reason for an entry that could not be read means, in words
// ("directory could not be opened"); null for every other reason.
const char *unreadable_text(const std::string &reason);

// Progress bar for a terminal: "[#######.............]  35% walking".
std::string progress_bar(int progress);

// The progress line a terminal shows while the scan runs: the bar, the
// elapsed time and, once the scan has gone far enough and long enough for
// an estimate to mean something, the time left:
// "[###.....]  35% walking, 0:12 elapsed, about 0:22 left".
std::string progress_line(int progress, double elapsed_seconds);

}  // namespace dfcli

#endif
