// SPDX-License-Identifier: MIT
// Canonical paths: the general form used by the root test, and the stricter
// form a scan root must have to be registered.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "roots.h"
#include "test_util.h"

namespace {

using testutil::TempDir;

std::optional<std::string> take(char *p) {
    if (!p) return std::nullopt;
    std::string s(p);
    free(p);
    return s;
}

std::optional<std::string> canon(const char *path) { return take(dup_canonical_path(path)); }
std::optional<std::string> root_canon(const char *path) { return take(dup_root_canonical(path)); }

// Restores the working directory when a test that changed it ends.
struct cwd_restore {
    cwd_restore() {
        if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd failed");
    }
    ~cwd_restore() {
        if (chdir(buf) != 0) std::abort();
    }
    char buf[PATH_MAX];
};

// A small tree: dir/, dir/file, link -> dir, and a directory whose name
// holds a backslash.
struct Tree {
    TempDir d;
    std::string real, dir, file, link, bs;
    Tree() {
        real = testutil::real_path(d.path());
        testutil::make_dir(d / "dir");
        testutil::write_file(d / "dir/file", "x");
        testutil::make_symlink(d / "dir", d / "link");
        testutil::make_dir(d / "a\\b");
        dir = real + "/dir";
        file = real + "/dir/file";
        link = d / "link";
        bs = real + "/a\\b";
    }
};

}  // namespace

// Both canonical forms of each path: the general one (dup_canonical_path)
// is that of exactly the object a path names, so a path that does not
// resolve has none (no ancestor stands in for it); the root form
// (dup_root_canonical) exists only for what the walk really walks, an
// existing object that resolves and is not itself a link.
TEST(Realpath, CanonicalAndRootForms) {
    DUPFIND_POSIX_ONLY("'/' as the only root and separator, '\\' inside names");
    Tree t;
    const std::string &p = t.d.path();
    testutil::make_symlink(p + "/missing", p + "/dangling");
    const std::optional<std::string> none;
    struct Case {
        std::string in;
        std::optional<std::string> canonical;  // dup_canonical_path
        std::optional<std::string> root;       // dup_root_canonical
    } cases[] = {
        {p + "/dir", t.dir, t.dir},
        {p + "/dir/", t.dir, t.dir},
        {p + "/dir//", t.dir, t.dir},
        {p + "/dir/file", t.file, t.file},
        {p + "/./dir/../dir/file", t.file, t.file},
        // A link root is only reported; a trailing '/' makes the directory
        // behind it the root, and the walk enters it.
        {p + "/link", t.dir, none},
        {p + "/link/", t.dir, t.dir},
        {p + "/link/file", t.file, t.file},
        {p + "/dangling", none, none},
        {"/", "/", "/"},
        {p + "/dir/missing", none, none},
        {p + "/dir/missing/deeper/still", none, none},
        {p + "/dir/file/below", none, none},
        {p + "/link/missing", none, none},
        // A backslash is part of a name.
        {p + "/a\\b", t.bs, t.bs},
        {p + "/a\\b/missing", none, none},
        {"/no-such-dir-for-dupfind-tests", none, none},
        {"/no-such-dir-for-dupfind-tests/x/y", none, none},
        {"no-such-relative\\path", none, none},
        {"no-such-relative/path", none, none},
        {"", none, none},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(canon(c.in.c_str()), c.canonical) << c.in;
        EXPECT_EQ(root_canon(c.in.c_str()), c.root) << c.in;
    }
    EXPECT_EQ(canon(nullptr), none);
    EXPECT_EQ(root_canon(nullptr), none);
}

TEST(Realpath, RelativePathsResolveAgainstWorkingDirectory) {
    DUPFIND_NEEDS_SYMLINKS();
    Tree t;
    cwd_restore restore;
    ASSERT_EQ(chdir(t.d.path().c_str()), 0);
    EXPECT_EQ(canon("dir"), t.dir);
    EXPECT_EQ(canon("./dir/file"), t.file);
    EXPECT_EQ(canon("."), t.real);
    EXPECT_EQ(canon("./missing"), std::nullopt);
    EXPECT_EQ(canon("dir/missing"), std::nullopt);
    EXPECT_EQ(canon("missing/x"), std::nullopt);
    EXPECT_EQ(root_canon("dir"), t.dir);
    EXPECT_EQ(root_canon("."), t.real);
}
