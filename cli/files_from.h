// SPDX-License-Identifier: MIT
// The paths of --files-from: a list of files (or directories) to scan, as
// find prints them.
#ifndef DUPFIND_CLI_FILES_FROM_H
#define DUPFIND_CLI_FILES_FROM_H

#include <string>
#include <vector>

namespace dfcli {

// Splits the text of a list into its paths: one a line, a carriage return
// before the line end dropped (a list written on Windows), or with `nul`
// each ended by NUL (find -print0) and taken byte for byte. Empty entries
// are passed over. False, with a message, for a path that is not UTF-8 or
// a line that holds a NUL byte (a list of -print0 read without --from0).
bool split_path_list(const std::string &text, bool nul, std::vector<std::string> *out, std::string *error);

// Reads the list at `file` ("-": standard input) and splits it. False,
// with a message naming the file, when it cannot be read.
bool read_path_list(const std::string &file, bool nul, std::vector<std::string> *out, std::string *error);

}  // namespace dfcli

#endif
