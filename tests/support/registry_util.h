// SPDX-License-Identifier: MIT
// The scanned-roots registry as the unit tests of the delete and of the
// registry reach it: registering a directory as a scan start does, and a
// copy of what the registry holds.
#ifndef DUPFIND_TEST_REGISTRY_UTIL_H
#define DUPFIND_TEST_REGISTRY_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "roots.h"

namespace testutil {

// Registers a directory the way a scan start does.
inline void register_root(const std::string &path) {
    char *real = dup_root_canonical(path.c_str());
    ASSERT_NE(real, nullptr) << path;
    dup_register_roots(&real, 1);
    free(real);
}

struct registry_view {
    std::vector<std::optional<std::string>> entries;
};

inline registry_view registry() {
    g_roots_mu.lock();
    registry_view v;
    for (int32_t i = 0; i < g_n_roots; i++)
        v.entries.push_back(g_roots[i].path ? std::optional<std::string>(g_roots[i].path) : std::nullopt);
    g_roots_mu.unlock();
    return v;
}

}  // namespace testutil

#endif
