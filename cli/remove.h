// Removal of duplicate copies, with the checks that keep it from losing data.
#ifndef DUPFIND_CLI_REMOVE_H
#define DUPFIND_CLI_REMOVE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "results.h"

namespace dfcli {

struct LeftFile {
    std::string path;
    std::string why;
};

struct RemovalReport {
    int64_t removed = 0;
    int64_t freed = 0;            // bytes actually released (last links only)
    std::vector<LeftFile> left;   // copies that were meant to go but stayed
    bool library_failed = false;  // the library refused or failed a removal
    bool interrupted = false;
};

// The index of the file that the policy keeps, or -1 with *why when the group
// offers none (only the time policies look at the files, and may find none).
int choose_keeper(const Group &g, Keep policy, std::string *why);

// Removes every file of the group whose index is not in `keep` (which must
// not be empty). Each copy goes only when, right before its removal, it and a
// kept file both exist with the group's size, are different physical files
// and have identical bytes. With dry_run nothing is removed and the report
// counts what would have been. Prints one line per file unless quiet.
void remove_copies(const Group &g, const std::vector<size_t> &keep, bool dry_run, bool quiet,
                   RemovalReport *report);

// The closing report: files removed, space freed, files left and why.
void print_report(const RemovalReport &report, bool dry_run);

}  // namespace dfcli

#endif
