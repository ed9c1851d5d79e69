// SPDX-License-Identifier: MIT
#include "groups.h"

#include <map>
#include <utility>

#include "platform.h"

namespace dfcli {

GroupInfo inspect_group(const Group &g) {
    GroupInfo info;
    std::map<std::pair<uint64_t, uint64_t>, int> first;  // (device, inode) -> first name
    for (size_t i = 0; i < g.files.size(); ++i) {
        NameInfo n;
        FileStatus st;
        if (file_status(g.files[i], &st)) {
            n.found = true;
            n.device = st.device;
            n.inode = st.inode;
            n.mtime_ns = st.mtime_ns;
            auto [it, added] = first.emplace(std::make_pair(st.device, st.inode), static_cast<int>(i));
            if (!added) n.same_as = it->second;
        }
        if (n.same_as < 0) ++info.files;
        info.names.push_back(n);
    }
    return info;
}

}  // namespace dfcli
