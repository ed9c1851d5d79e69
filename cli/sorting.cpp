// SPDX-License-Identifier: MIT
#include "sorting.h"

#include <algorithm>
#include <numeric>

namespace dfcli {

namespace {

// What the redundant copies of a group hold, as the library's
// "wasted_bytes" counts it: names of one file count once.
int64_t wasted(const GroupKey &k) { return k.files > 1 ? k.size * static_cast<int64_t>(k.files - 1) : 0; }

// Whether a comes before b, the larger figure first for every key but
// the path.
bool before(const GroupKey &a, const GroupKey &b, GroupSort sort) {
    switch (sort) {
    case GroupSort::Size: return a.size > b.size;
    case GroupSort::Wasted: return wasted(a) > wasted(b);
    case GroupSort::Count: return a.files != b.files ? a.files > b.files : a.names > b.names;
    case GroupSort::Path: return *a.first < *b.first;
    case GroupSort::Found: break;
    }
    return false;
}

}  // namespace

std::vector<size_t> group_order(const std::vector<GroupKey> &keys, GroupSort sort, bool reverse) {
    std::vector<size_t> order(keys.size());
    std::iota(order.begin(), order.end(), size_t{0});
    if (sort != GroupSort::Found)
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return before(keys[a], keys[b], sort); });
    if (reverse) std::reverse(order.begin(), order.end());
    return order;
}

bool parse_group_sort(const std::string &text, GroupSort *out) {
    if (text == "size") *out = GroupSort::Size;
    else if (text == "wasted") *out = GroupSort::Wasted;
    else if (text == "count") *out = GroupSort::Count;
    else if (text == "path") *out = GroupSort::Path;
    else return false;
    return true;
}

}  // namespace dfcli
