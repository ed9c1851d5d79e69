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

// The system's own resolution of an existing path, for expectations.
std::string sys_real(const std::string &path) {
    char *p = realpath(path.c_str(), nullptr);
    if (!p) throw std::runtime_error("realpath failed: " + path);
    std::string s(p);
    free(p);
    return s;
}

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
        real = sys_real(d.path());
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

// The canonical form of exactly the object a path names: a path that does
// not resolve has none (no ancestor stands in for it).
TEST(Realpath, Resolves) {
    DUPFIND_POSIX_ONLY("'/' as the only root and separator, '\\' inside names");
    Tree t;
    const std::string &p = t.d.path();
    struct Case {
        std::string in;
        std::optional<std::string> want;
    } cases[] = {
        {p + "/dir", t.dir},
        {p + "/dir/", t.dir},
        {p + "/dir//", t.dir},
        {p + "/dir/file", t.file},
        {p + "/./dir/../dir/file", t.file},
        {p + "/link", t.dir},
        {p + "/link/file", t.file},
        {"/", "/"},
        {p + "/dir/missing", std::nullopt},
        {p + "/dir/missing/deeper/still", std::nullopt},
        {p + "/dir/file/below", std::nullopt},
        {p + "/link/missing", std::nullopt},
        // A backslash is part of a name.
        {p + "/a\\b", t.bs},
        {p + "/a\\b/missing", std::nullopt},
        {"/no-such-dir-for-dupfind-tests", std::nullopt},
        {"/no-such-dir-for-dupfind-tests/x/y", std::nullopt},
        {"no-such-relative\\path", std::nullopt},
        {"no-such-relative/path", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &c : cases) EXPECT_EQ(canon(c.in.c_str()), c.want) << c.in;
    EXPECT_EQ(canon(nullptr), std::nullopt);
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

// A root is registered only when it is what the walk really walks: an
// existing object that resolves and is not itself a link.
TEST(Realpath, RootFormRequiresExistingNonLink) {
    DUPFIND_POSIX_ONLY("'\\' inside names");
    Tree t;
    const std::string &p = t.d.path();
    testutil::make_symlink(p + "/missing", p + "/dangling");
    struct Case {
        std::string in;
        std::optional<std::string> want;
    } cases[] = {
        {p + "/dir", t.dir},
        {p + "/dir/", t.dir},
        {p + "/dir/file", t.file},
        // A trailing '/' makes the directory behind the link the root, and
        // the walk enters it; the bare link is only reported.
        {p + "/link/", t.dir},
        {p + "/link", std::nullopt},
        {p + "/dangling", std::nullopt},
        {p + "/dir/missing", std::nullopt},
        {p + "/a\\b/missing", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &c : cases) EXPECT_EQ(root_canon(c.in.c_str()), c.want) << c.in;
    EXPECT_EQ(root_canon(nullptr), std::nullopt);
}
