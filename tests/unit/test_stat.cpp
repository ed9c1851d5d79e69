// SPDX-License-Identifier: MIT
// The file status query: type and size of what a path names, with and
// without following links, and nothing else in the record.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "test_util.h"

namespace {

using testutil::make_symlink;
using testutil::TempDir;
using testutil::write_file;

TEST(FillStat, Outcomes) {
    DUPFIND_POSIX_ONLY("FIFOs");
    TempDir t;
    const int64_t five_gib = int64_t{5} << 30;
    testutil::make_dir(t / "dir");
    write_file(t / "empty", "");
    write_file(t / "file", "hello");
    testutil::make_sparse(t / "huge", five_gib);
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0644), 0);
    make_symlink("dir", t / "to_dir");
    make_symlink("file", t / "to_file");
    make_symlink("to_file", t / "to_to_file");
    make_symlink("fifo", t / "to_fifo");
    make_symlink(t / "nowhere", t / "dangling");

    struct Case {
        std::string name;  // under the scratch directory
        int follow;
        dup_result rc;
        dup_ftype type;
        int64_t size;
    };
    const Case cases[] = {
        {"dir", 0, DUP_OK, DUP_FT_DIR, 0},
        {"dir", 1, DUP_OK, DUP_FT_DIR, 0},
        {"empty", 0, DUP_OK, DUP_FT_REG, 0},
        {"file", 1, DUP_OK, DUP_FT_REG, 5},
        {"huge", 0, DUP_OK, DUP_FT_REG, five_gib},
        {"fifo", 0, DUP_OK, DUP_FT_OTHER, 0},
        {"to_dir", 0, DUP_OK, DUP_FT_LNK, 0},
        {"to_dir", 1, DUP_OK, DUP_FT_DIR, 0},
        // A link's own length is not a size.
        {"to_file", 0, DUP_OK, DUP_FT_LNK, 0},
        {"to_file", 1, DUP_OK, DUP_FT_REG, 5},
        {"to_to_file", 0, DUP_OK, DUP_FT_LNK, 0},
        {"to_to_file", 1, DUP_OK, DUP_FT_REG, 5},
        {"to_fifo", 1, DUP_OK, DUP_FT_OTHER, 0},
        {"dangling", 0, DUP_OK, DUP_FT_LNK, 0},
        {"dangling", 1, DUP_FAILED, DUP_FT_OTHER, 0},
        {"missing", 0, DUP_FAILED, DUP_FT_OTHER, 0},
        {"missing", 1, DUP_FAILED, DUP_FT_OTHER, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + " follow " + std::to_string(c.follow));
        dup_stat_t st;
        std::memset(&st, 0xA5, sizeof st);
        ASSERT_EQ(dup_fill_stat((t / c.name).c_str(), &st, c.follow), c.rc);
        if (c.rc != DUP_OK) continue;
        EXPECT_EQ(st.type, c.type);
        EXPECT_EQ(st.size, c.size);
        // The identity is the object's, whatever way leads to it.
        struct stat raw;
        ASSERT_EQ((c.follow ? ::stat : ::lstat)((t / c.name).c_str(), &raw), 0);
        EXPECT_EQ(st.dev, static_cast<uint64_t>(raw.st_dev));
        EXPECT_EQ(st.ino, static_cast<uint64_t>(raw.st_ino));
    }
}

// Why a query failed, where a caller acts on it: a name refused as too
// long is told apart from a missing one.
TEST(FillStat, TellsTooLongFromMissing) {
    TempDir t;
    dup_stat_t st;
    EXPECT_EQ(dup_fill_stat((t / std::string(300, 'x')).c_str(), &st, 0), DUP_NAME_TOO_LONG);
    EXPECT_EQ(dup_fill_stat((t / "missing").c_str(), &st, 0), DUP_FAILED);
}

TEST(FillStat, NullOrEmptyPath) {
    dup_stat_t st;
    for (int follow : {0, 1}) {
        EXPECT_EQ(dup_fill_stat(nullptr, &st, follow), DUP_FAILED);
        EXPECT_EQ(dup_fill_stat("", &st, follow), DUP_FAILED);
    }
}

}  // namespace
