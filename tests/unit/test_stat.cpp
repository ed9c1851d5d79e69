// The file status query: type and size of what a path names, with and
// without following links, and nothing else in the record.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "dup_internal.h"
#include "test_util.h"

namespace {

using testutil::make_symlink;
using testutil::TempDir;
using testutil::write_file;

TEST(FillStat, Outcomes) {
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
        int rc;
        mode_t type;
        int64_t size;
    };
    const Case cases[] = {
        {"dir", 0, 0, S_IFDIR, 0},
        {"dir", 1, 0, S_IFDIR, 0},
        {"empty", 0, 0, S_IFREG, 0},
        {"file", 1, 0, S_IFREG, 5},
        {"huge", 0, 0, S_IFREG, five_gib},
        {"fifo", 0, 0, S_IFIFO, 0},
        {"to_dir", 0, 0, S_IFLNK, 0},
        {"to_dir", 1, 0, S_IFDIR, 0},
        // A link's own length is not a size.
        {"to_file", 0, 0, S_IFLNK, 0},
        {"to_file", 1, 0, S_IFREG, 5},
        {"to_to_file", 0, 0, S_IFLNK, 0},
        {"to_to_file", 1, 0, S_IFREG, 5},
        {"to_fifo", 1, 0, S_IFIFO, 0},
        {"dangling", 0, 0, S_IFLNK, 0},
        {"dangling", 1, -1, 0, 0},
        {"missing", 0, -1, 0, 0},
        {"missing", 1, -1, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + " follow " + std::to_string(c.follow));
        struct stat st;
        std::memset(&st, 0xA5, sizeof st);
        ASSERT_EQ(dup_fill_stat((t / c.name).c_str(), &st, c.follow), c.rc);
        if (c.rc != 0) continue;
        // The whole record is rewritten: the type without permission bits,
        // the size of a regular file, and zero everywhere else.
        struct stat want;
        std::memset(&want, 0, sizeof want);
        want.st_mode = c.type;
        want.st_size = c.size;
        EXPECT_EQ(st.st_mode, c.type);
        EXPECT_EQ(static_cast<int64_t>(st.st_size), c.size);
        EXPECT_EQ(std::memcmp(&st, &want, sizeof st), 0);
    }
}

TEST(FillStat, NullOrEmptyPath) {
    struct stat st;
    for (int follow : {0, 1}) {
        EXPECT_EQ(dup_fill_stat(nullptr, &st, follow), -1);
        EXPECT_EQ(dup_fill_stat("", &st, follow), -1);
    }
}

}  // namespace
