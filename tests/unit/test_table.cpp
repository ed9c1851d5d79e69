// The scan table, ids, the error text and the query operations.
#include <gtest/gtest.h>

#include "dup_internal.h"
#include "test_util.h"

TEST(Table, IdsStartAtOne) {
    testutil::TempDir d;
    std::string dirs = "[" + testutil::json_str(d.path()) + "]";
    EXPECT_EQ(dupfind_scan_start(dirs.c_str(), nullptr), 1);
}
