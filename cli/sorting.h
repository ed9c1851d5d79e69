// SPDX-License-Identifier: MIT
// The order of the groups in the listings (--sort, --reverse).
#ifndef DUPFIND_CLI_SORTING_H
#define DUPFIND_CLI_SORTING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace dfcli {

// What a group is ordered by.
struct GroupKey {
    int64_t size = 0;                    // bytes of each file
    size_t files = 0;                    // physical files
    size_t names = 0;                    // paths listed
    const std::string *first = nullptr;  // first path, never null
};

// The positions of the groups in the order asked for. Groups that compare
// equal keep the library's order; --reverse then turns the whole sequence
// around, as sort -r does.
std::vector<size_t> group_order(const std::vector<GroupKey> &keys, GroupSort sort, bool reverse);

// Reads a --sort value; false for anything else.
bool parse_group_sort(const std::string &text, GroupSort *out);

}  // namespace dfcli

#endif
