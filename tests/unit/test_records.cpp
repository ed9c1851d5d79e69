// SPDX-License-Identifier: MIT
// The collected files' storage: paths packed into the scan's arena and
// devices kept once in the scan's table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "scan.h"

namespace {

struct Record {
    dup_scan_t s;
    Record() { std::memset(static_cast<void *>(&s), 0, sizeof s); }
    ~Record() { free_scan_data(&s); }
};

// Every copy keeps its bytes while later ones fill the chunk, open new
// ones, or need a chunk larger than the largest.
TEST(Records, KeptPathsStayIntactAcrossChunks) {
    Record r;
    std::vector<std::string> want;
    const size_t lengths[] = {0, 1, 45, DUP_PATH_CHUNK_FIRST - 1, DUP_PATH_CHUNK_FIRST, DUP_PATH_CHUNK_MAX + 10};
    for (size_t len : lengths) want.push_back(std::string(len, static_cast<char>('a' + want.size())));
    // Enough ordinary paths to pass the largest chunk size more than once.
    for (int i = 0; i < 60000; i++) want.push_back("/root/dir" + std::to_string(i % 97) + "/file" + std::to_string(i));
    std::vector<const char *> got;
    for (const std::string &p : want) {
        const char *c = dup_keep_path(&r.s, p.c_str());
        ASSERT_NE(c, nullptr);
        got.push_back(c);
    }
    for (size_t i = 0; i < want.size(); i++) ASSERT_STREQ(got[i], want[i].c_str()) << i;
    EXPECT_EQ(dup_keep_path(&r.s, nullptr), nullptr);
}

// A device gets one slot however often it comes back, and slots give the
// devices back.
TEST(Records, DeviceSlotsAreUniqueAndStable) {
    Record r;
    const uint64_t devs[] = {7, 7, 0, UINT64_MAX, 7, 0, 12345678901234ull, UINT64_MAX, 5, 6, 7, 8};
    std::vector<uint32_t> slots;
    for (uint64_t d : devs) {
        uint32_t slot = UINT32_MAX;
        ASSERT_TRUE(dup_dev_slot(&r.s, d, &slot));
        slots.push_back(slot);
    }
    EXPECT_EQ(r.s.n_devs, 7);
    for (size_t i = 0; i < slots.size(); i++) {
        ASSERT_LT(static_cast<int32_t>(slots[i]), r.s.n_devs);
        EXPECT_EQ(r.s.devs[slots[i]], devs[i]);
        for (size_t j = 0; j < i; j++) EXPECT_EQ(slots[i] == slots[j], devs[i] == devs[j]) << i << " " << j;
    }
}

}  // namespace
