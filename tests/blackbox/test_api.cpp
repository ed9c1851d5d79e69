#include <gtest/gtest.h>

#include "dupfind.h"

TEST(Api, NullDirs) {
    EXPECT_EQ(dupfind_scan_start(nullptr, nullptr), -1);
    EXPECT_STREQ(dupfind_last_error(), "NULL dirs_json");
}
