// SPDX-License-Identifier: MIT
// The guarded delete through the shared library, after real scans.
#include <gtest/gtest.h>

#include <string>

#include "dupfind.h"
#include "test_util.h"

namespace {

using testutil::exists;
using testutil::TempDir;
using testutil::write_file;

int start_scan(const std::string &dir) {
    std::string dirs = "[" + testutil::json_str(dir) + "]";
    return dupfind_scan_start(dirs.c_str(), nullptr);
}

}  // namespace

TEST(DeleteApi, BeforeAnyScanEverythingIsOutside) {
    TempDir d;
    write_file(d / "f", "x");
    EXPECT_EQ(dupfind_delete_file((d / "f").c_str()), 0);
    EXPECT_STREQ(dupfind_last_error(), "refused: outside scanned roots");
    EXPECT_TRUE(exists(d / "f"));
}

TEST(DeleteApi, RemovesACopyInsideAScannedTree) {
    TempDir scanned, other;
    testutil::make_dir(scanned / "sub");
    write_file(scanned / "a", "duplicate content");
    write_file(scanned / "sub/b", "duplicate content");
    write_file(other / "c", "duplicate content");

    int id = start_scan(scanned.path());
    ASSERT_GT(id, 0) << dupfind_last_error();
    ASSERT_EQ(testutil::wait_for_scan(dupfind_scan_progress, id), 100);

    EXPECT_EQ(dupfind_delete_file((scanned / "sub/b").c_str()), 1);
    EXPECT_STREQ(dupfind_last_error(), "");
    EXPECT_FALSE(exists(scanned / "sub/b"));
    EXPECT_EQ(testutil::read_file(scanned / "a"), "duplicate content");

    // Already gone, outside the scanned tree, and the root itself.
    EXPECT_EQ(dupfind_delete_file((scanned / "sub/b").c_str()), -1);
    EXPECT_STREQ(dupfind_last_error(), "path not found");
    EXPECT_EQ(dupfind_delete_file((other / "c").c_str()), 0);
    EXPECT_STREQ(dupfind_last_error(), "refused: outside scanned roots");
    EXPECT_TRUE(exists(other / "c"));
    EXPECT_EQ(dupfind_delete_file(scanned.path().c_str()), 0);
    EXPECT_STREQ(dupfind_last_error(), "refused: directory");
}

// A scan's roots stay registered whatever becomes of the scan.
TEST(DeleteApi, CancelledScanStillAdmitsDeletes) {
    TempDir d;
    write_file(d / "f", "x");
    int id = start_scan(d.path());
    ASSERT_GT(id, 0) << dupfind_last_error();
    ASSERT_EQ(dupfind_cancel(id), 0);
    int p = testutil::wait_for_scan(dupfind_scan_progress, id);
    EXPECT_TRUE(p == -1 || p == 100) << p;

    EXPECT_EQ(dupfind_delete_file((d / "f").c_str()), 1) << dupfind_last_error();
    EXPECT_FALSE(exists(d / "f"));
}
