// SPDX-License-Identifier: MIT
// The question asked for each group under --interactive.
#ifndef DUPFIND_CLI_INTERACTIVE_H
#define DUPFIND_CLI_INTERACTIVE_H

#include <cstddef>
#include <string>
#include <vector>

namespace dfcli {

enum class Reply {
    Keep,          // *keep holds the chosen indexes; the others go
    KeepAll,       // nothing is removed from this group
    Quit,          // stop asking; later groups are left alone
    Interrupted,   // Ctrl-C or the input failed
    OutputFailed,  // the question could not be written; nothing may be
                   // decided on an answer to a question never shown
};

// Lists the group numbered `number` of `total` (its header and one line for
// each of its paths, as shown to people) and reads the answer from
// standard input until it is one of: file numbers (1, "1 3", "1,3", "2-4",
// "1,3-4"), "all" or "s"/"skip" (keep all), an empty line (the default:
// the files of `default_keep`, or all of them when it is empty), "q"/"quit"
// or end of input. The prompt shows the default.
Reply ask_keep(const std::string &header, const std::vector<std::string> &names, size_t number, size_t total,
               const std::vector<size_t> &default_keep, std::vector<size_t> *keep);

enum class Confirm { Yes, No, Interrupted, OutputFailed };

// Asks the question and reads "y"/"yes" or "n"/"no"; an empty line and the
// end of input are no, so that nothing happens unless the user says so.
Confirm ask_confirm(const std::string &question);

}  // namespace dfcli

#endif
