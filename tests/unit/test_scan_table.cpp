// SPDX-License-Identifier: MIT
// The scan table: ids, the 32 slots per load, and the release of a slot.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dupfind.h"
#include "scan_table.h"
#include "test_util.h"

namespace {}  // namespace

TEST(ScanTable, IdsCountFromOneAndFailedStartsUseOneUp) {
    testutil::TempDir d;
    std::string dirs = "[" + testutil::json_str(d.path()) + "]";
    EXPECT_EQ(dupfind_scan_start(dirs.c_str(), nullptr), 1);
    EXPECT_EQ(dupfind_scan_start("[]", nullptr), -1);  // took a slot, gave it back
    EXPECT_STREQ(dupfind_last_error(), "dirs_json empty");
    EXPECT_EQ(dupfind_scan_start(nullptr, nullptr), -1);  // took no slot
    EXPECT_EQ(dupfind_scan_start(dirs.c_str(), nullptr), 3);
}

TEST(ScanTable, ThirtyTwoScansPerLoadThenRefused) {
    testutil::TempDir d;
    std::string dirs = "[" + testutil::json_str(d.path()) + "]";
    for (int i = 1; i <= DUP_MAX_SCANS; i++) {
        ASSERT_EQ(dupfind_scan_start(dirs.c_str(), nullptr), i);
        ASSERT_EQ(testutil::wait_for_scan(dupfind_scan_progress, i), 100);
    }
    EXPECT_EQ(dupfind_scan_start(dirs.c_str(), nullptr), -1);
    EXPECT_STREQ(dupfind_last_error(), "too many concurrent scans");
    // Finished scans keep their slots and stay queryable.
    for (int i = 1; i <= DUP_MAX_SCANS; i++) EXPECT_EQ(dupfind_scan_progress(i), 100);
    char *r = dupfind_scan_results(DUP_MAX_SCANS);
    ASSERT_NE(r, nullptr);
    dupfind_free_string(r);
}

TEST(ScanTable, ReleaseFreesEverythingAndKeepsSettings) {
    g_mu.lock();
    dup_scan_t *s = dup_scan_alloc();
    ASSERT_NE(s, nullptr);
    s->roots = static_cast<char **>(calloc(2, sizeof(char *)));
    s->roots[0] = dup_strdup("/a");  // roots[1] stays null: a copy that failed
    s->n_roots = 2;
    s->min_size = 7;
    s->results_json = dup_strdup("{}");
    int32_t id = s->id;
    dup_scan_release(s);
    EXPECT_EQ(s->in_use, 0);
    EXPECT_EQ(s->roots, nullptr);
    EXPECT_EQ(s->n_roots, 0);
    EXPECT_EQ(s->results_json, nullptr);
    EXPECT_EQ(s->min_size, 7);
    EXPECT_EQ(dup_scan_get(id), nullptr);
    g_mu.unlock();
}
