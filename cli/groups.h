// SPDX-License-Identifier: MIT
// What the tool learns about a group from the files themselves: which of
// its names lead to one physical file.
#ifndef DUPFIND_CLI_GROUPS_H
#define DUPFIND_CLI_GROUPS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "results_text.h"

namespace dfcli {

struct NameInfo {
    bool found = false;  // the status could be read
    uint64_t device = 0;
    uint64_t inode = 0;
    int same_as = -1;      // the first name of the group that is the same file, or -1
    int64_t mtime_ns = 0;  // last modification, when found
};

struct GroupInfo {
    std::vector<NameInfo> names;  // one for each path of the group, in order
    size_t files = 0;             // physical files behind the names
};

// Looks at every name of the group. A name whose status cannot be read
// counts as a file of its own.
GroupInfo inspect_group(const Group &g);

}  // namespace dfcli

#endif
