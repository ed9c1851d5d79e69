// SPDX-License-Identifier: MIT
// The scanned-roots registry: what a scan start registers, and which
// canonical paths it admits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dupfind.h"
#include "registry_util.h"
#include "remove.h"
#include "roots.h"
#include "test_util.h"

namespace {

using testutil::exists;
using testutil::make_dir;
using testutil::make_symlink;
using testutil::TempDir;
using testutil::write_file;

using testutil::register_root;
using testutil::registry;
using testutil::registry_view;

int start_and_wait(const std::string &dirs_json) {
    int id = dupfind_scan_start(dirs_json.c_str(), nullptr);
    if (id > 0) testutil::wait_for_scan(dupfind_scan_progress, id);
    return id;
}

}  // namespace

TEST(Registry, SkipsNullsAndDuplicates) {
    char a[] = "/srv/a", a2[] = "/srv/a", b[] = "/srv/b", ab[] = "/srv/a/b";
    char *first[] = {a, nullptr, a2, b};
    dup_register_roots(first, 4);
    char *second[] = {b, ab, a};
    dup_register_roots(second, 3);
    dup_register_roots(nullptr, 3);
    dup_register_roots(first, 0);

    registry_view v = registry();
    std::vector<std::optional<std::string>> want = {"/srv/a", "/srv/b", "/srv/a/b"};
    EXPECT_EQ(v.entries, want);
}

// Roots beyond the registry's first allocation stay registered, each
// admitting deletes below it.
TEST(Registry, GrowsPastItsFirstCapacity) {
    TempDir d;
    std::vector<std::string> dirs;
    for (int i = 0; i < 20; i++) {
        dirs.push_back(d / ("r" + std::to_string(i)));
        make_dir(dirs.back());
        write_file(dirs.back() + "/f", "x");
    }
    for (int i = 0; i < 20; i++) {
        register_root(dirs[static_cast<size_t>(i)]);
        ASSERT_EQ(registry().entries.size(), static_cast<size_t>(i + 1));
    }
    registry_view v = registry();
    for (size_t i = 0; i < dirs.size(); i++) {
        EXPECT_EQ(v.entries[i], testutil::real_path(dirs[i]));
        EXPECT_EQ(dupfind_delete_file((dirs[i] + "/f").c_str()), 1) << dirs[i] << ": " << dupfind_last_error();
    }
}

TEST(Registry, ScansOfOneDirectoryRegisterItOnce) {
    TempDir d;
    make_dir(d / "sub");
    const std::string dirs = "[" + testutil::json_str(d.path()) + "," + testutil::json_str(d.path()) + "]";
    ASSERT_GT(start_and_wait(dirs), 0);
    ASSERT_GT(start_and_wait("[" + testutil::json_str(d.path() + "/") + "]"), 0);
    ASSERT_GT(start_and_wait("[" + testutil::json_str(d / "sub/..") + "]"), 0);

    std::vector<std::optional<std::string>> want = {testutil::real_path(d.path())};
    EXPECT_EQ(registry().entries, want);
}

// Roots that the walk does not enter register nothing: a missing root would
// otherwise register its nearest existing ancestor, and a link root the tree
// behind it.
TEST(Registry, MissingAndLinkRootsAdmitNothing) {
    DUPFIND_NEEDS_SYMLINKS();
    TempDir d;
    make_dir(d / "target");
    write_file(d / "target/f", "t");
    write_file(d / "f", "d");
    make_symlink(d / "target", d / "link");
    const std::string dirs = "[" + testutil::json_str(d / "missing/deeper") + "," + testutil::json_str(d / "link") +
                             "]";
    ASSERT_GT(start_and_wait(dirs), 0);

    EXPECT_TRUE(registry().entries.empty());
    for (const std::string &p : {d / "f", d / "target/f", d / "link/f"}) {
        EXPECT_EQ(dupfind_delete_file(p.c_str()), 0) << p;
        EXPECT_STREQ(dupfind_last_error(), "refused: outside scanned roots") << p;
        EXPECT_TRUE(exists(p)) << p;
    }
}
