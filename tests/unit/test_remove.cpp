// SPDX-License-Identifier: MIT
// The guarded delete: the path tests, the refusals in their order, and the
// removal of the entry that was checked.
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
#include <filesystem>
#include <iterator>
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

void make_fifo(const std::string &path) {
    if (mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("mkfifo failed: " + path);
}

}  // namespace

// Every refusal with its result and text. Where a path meets several
// conditions, the earlier step of the sequence must decide: a link outside
// the roots is a link, a missing path outside the roots is missing, and so on.
TEST(Delete, RefusalsInOrder) {
    DUPFIND_POSIX_ONLY("FIFOs");
    TempDir d;
    const std::string in = d / "in", out = d / "out";
    make_dir(in);
    make_dir(out);
    write_file(in + "/file", "inside");
    make_dir(in + "/sub");
    make_fifo(in + "/fifo");
    make_symlink(in + "/file", in + "/link");
    make_symlink(in + "/nothing", in + "/dangling");
    make_symlink(in + "/sub", in + "/dirlink");
    write_file(out + "/file", "outside");
    make_dir(out + "/dir");
    make_fifo(out + "/fifo");
    make_symlink(out + "/file", out + "/link");
    register_root(in);

    struct Case {
        std::optional<std::string> path;
        int result;
        const char *error;
        std::string stays;  // what must still exist afterwards
    } cases[] = {
        {std::nullopt, -1, "NULL or empty path", ""},
        {"", -1, "NULL or empty path", ""},
        {in + "/sub/../file", 0, "refused: path contains ..", in + "/file"},
        {out + "/missing/../file", 0, "refused: path contains ..", out + "/file"},
        {in + "/link", 0, "refused: symlink", in + "/link"},
        {in + "/dangling", 0, "refused: symlink", in + "/dangling"},
        {out + "/link", 0, "refused: symlink", out + "/link"},
        {in + "/missing", -1, "path not found", ""},
        {out + "/missing", -1, "path not found", ""},
        {in + "/file/", -1, "path not found", in + "/file"},
        {in + "/sub", 0, "refused: directory", in + "/sub"},
        {in + "/dirlink/", 0, "refused: directory", in + "/sub"},
        {out + "/dir", 0, "refused: directory", out + "/dir"},
        {in + "/fifo", 0, "refused: not a regular file", in + "/fifo"},
        {out + "/fifo", 0, "refused: not a regular file", out + "/fifo"},
        {out + "/file", 0, "refused: outside scanned roots", out + "/file"},
    };
    for (const auto &c : cases) {
        const char *p = c.path ? c.path->c_str() : nullptr;
        SCOPED_TRACE(p ? p : "(null)");
        EXPECT_EQ(dupfind_delete_file(p), c.result);
        EXPECT_STREQ(dupfind_last_error(), c.error);
        if (!c.stays.empty()) {
            EXPECT_TRUE(exists(c.stays));
        }
    }
    EXPECT_EQ(testutil::read_file(in + "/file"), "inside");
    EXPECT_EQ(testutil::read_file(out + "/file"), "outside");
}

TEST(PathTests, DotDotComponents) {
    // On Windows a backslash separates components too.
#ifdef _WIN32
    constexpr int backslash = 1;
#else
    constexpr int backslash = 0;
#endif
    struct Case {
        const char *path;
        int want;
    } cases[] = {
        {"a/../b", 1},
        {"../b", 1},
        {"a/..", 1},
        {"..", 1},
        {"/..", 1},
        {"a//../b", 1},
        {"a/.../b", 0},
        {"a/..b/c", 0},
        {"a../b", 0},
        {"./a", 0},
        {".", 0},
        {"...", 0},
        {"", 0},
        {"/", 0},
        {"a\\..\\b", backslash},
        {"a/..\\b", backslash},
        {"..a/b", 0},
        {"a/b..", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(dup_path_has_dotdot(c.path), c.want != 0) << c.path;
    EXPECT_TRUE(dup_path_has_dotdot(nullptr));
}

// What the delete makes of each kind of entry inside a scanned root: links
// (also dangling ones) and directories are refused as what they are, never
// followed; only the regular file goes.
TEST(Delete, EachKindOfEntry) {
    DUPFIND_NEEDS_SYMLINKS();
    TempDir d;
    write_file(d / "file", "x");
    make_dir(d / "dir");
    make_symlink(d / "dir", d / "dirlink");
    make_symlink(d / "file", d / "filelink");
    make_symlink(d / "nothing", d / "dangling");
    register_root(d.path());
    struct Case {
        std::string path;
        int result;
        const char *message;
    } cases[] = {
        {d / "dir", 0, "refused: directory"},    {d / "dirlink", 0, "refused: symlink"},
        {d / "filelink", 0, "refused: symlink"}, {d / "dangling", 0, "refused: symlink"},
        {d / "missing", -1, "path not found"},   {d / "file", 1, ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(dupfind_delete_file(c.path.c_str()), c.result) << c.path;
        EXPECT_STREQ(dupfind_last_error(), c.message) << c.path;
    }
    EXPECT_FALSE(exists(d / "file"));
    EXPECT_TRUE(exists(d / "dir"));
}

// A root admits itself and what lies below it, compared byte for byte on the
// resolved forms: a sibling that merely starts with the same bytes, or
// differs only in letter case, is outside; links count where they lead.
TEST(Delete, RootIsAPrefixOfWholeComponents) {
    DUPFIND_POSIX_ONLY("names that differ only in letter case");
    TempDir d;
    const std::string data = d / "data", photos = data + "/photos";
    make_dir(data);
    make_dir(photos);
    make_dir(photos + "/x");
    make_dir(photos + "/x/y");
    make_dir(data + "/photos2");
    make_dir(data + "/Photos");
    write_file(photos + "/a.jpg", "a");
    write_file(photos + "/x/y/b.jpg", "b");
    write_file(data + "/photos2/a.jpg", "2");
    write_file(data + "/Photos/a.jpg", "P");
    write_file(data + "/beside.jpg", "b");
    make_symlink(data + "/photos2/a.jpg", photos + "/out.jpg");
    make_symlink(photos + "/a.jpg", data + "/in.jpg");
    make_symlink(data + "/photos2", photos + "/escape");
    make_symlink(photos + "/x", data + "/into");
    register_root(photos);

    // Whether the root test admits a path shows in the delete's answer:
    // "refused: outside scanned roots", or another outcome of a later step.
    struct Case {
        std::string path;
        bool under;
    } cases[] = {
        {photos, true},  // the root itself (a directory)
        {photos + "/", true},
        {photos + "/x/y/missing.jpg", true},  // not found, but inside
        {data + "/beside.jpg", false},        // in the root's parent
        {data + "/photos2/a.jpg", false},     // the same leading bytes
        {data + "/Photos/a.jpg", false},      // another letter case
        {photos + "/escape/a.jpg", false},    // through a link inside, to outside
        {photos + "/a.jpg", true},
        {data + "/into/y/b.jpg", true},  // through a link outside, to inside
    };
    for (const auto &c : cases) {
        const int r = dupfind_delete_file(c.path.c_str());
        const std::string text = dupfind_last_error();
        EXPECT_EQ(text == "refused: outside scanned roots", !c.under) << c.path << ": " << text;
        if (!c.under) {
            EXPECT_EQ(r, 0) << c.path;
            EXPECT_TRUE(exists(c.path)) << c.path;
        }
    }
    EXPECT_FALSE(exists(photos + "/a.jpg"));
    EXPECT_FALSE(exists(photos + "/x/y/b.jpg"));
}

TEST(Delete, FileSystemRootAdmitsEverythingBelowIt) {
    TempDir d;
    write_file(d / "f", "x");
    char root[] = "/";
    char *roots[] = {root};
    dup_register_roots(roots, 1);
    EXPECT_EQ(dupfind_delete_file("/"), 0);
    EXPECT_STREQ(dupfind_last_error(), "refused: directory");
    EXPECT_EQ(dupfind_delete_file((d / "f").c_str()), 1);
    EXPECT_FALSE(exists(d / "f"));
}

// A removal takes exactly the named file: its identical sibling keeps its
// bytes, and an earlier failure's text does not linger.
TEST(Delete, RemovesTheNamedFileOnly) {
    TempDir d;
    write_file(d / "a", "same bytes");
    write_file(d / "b", "same bytes");
    register_root(d.path());

    EXPECT_EQ(dupfind_delete_file((d / "missing").c_str()), -1);
    EXPECT_EQ(dupfind_delete_file((d / "b").c_str()), 1);
    EXPECT_STREQ(dupfind_last_error(), "");
    EXPECT_FALSE(exists(d / "b"));
    EXPECT_EQ(testutil::read_file(d / "a"), "same bytes");

    // Paths whose directory is implicit or spelled oddly.
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(d.path().c_str()), 0);
    make_dir("sub");
    struct Case {
        const char *path, *file;
    } cases[] = {{"c", "c"}, {"./c", "c"}, {"sub//c", "sub/c"}, {"./sub/./c", "sub/c"}};
    for (const auto &c : cases) {
        write_file(c.file, "c");
        EXPECT_EQ(dupfind_delete_file(c.path), 1) << c.path << ": " << dupfind_last_error();
        EXPECT_FALSE(exists(c.file)) << c.path;
    }
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(testutil::read_file(d / "a"), "same bytes");
}

// A file the system will not remove is reported and left in place. The
// delete runs in a child without root privileges, in a directory it cannot
// write.
TEST(Delete, UnremovableFileGivesUnlinkFailed) {
    DUPFIND_POSIX_ONLY("permissions as another user");
    TempDir d;
    make_dir(d / "locked");
    write_file(d / "locked/f", "keep");
    register_root(d.path());
    ASSERT_EQ(chmod((d / "locked").c_str(), 0555), 0);

    const std::string f = d / "locked/f";
    int rc = testutil::run_unprivileged([&] {
        int r = dupfind_delete_file(f.c_str());
        // The system's reason comes with the library's words.
        if (r == -1 && std::strcmp(dupfind_last_error(), "unlink failed: Permission denied") == 0) return 0;
        std::fprintf(stderr, "delete gave %d \"%s\"\n", r, dupfind_last_error());
        return 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testutil::read_file(f), "keep");
}

// A thread, standing in for another process, keeps swapping a directory of
// the path for a link to a directory outside every root while deletes run.
// The checks and the removal must act on the same entry, so the file outside
// is never removed.
TEST(Delete, SwappedDirectoryNeverRedirectsTheRemoval) {
    DUPFIND_POSIX_ONLY("openat, and rename() that replaces a link");
    TempDir d;
    const std::string in = d / "in", out = d / "out";
    make_dir(in);
    make_dir(out);
    make_dir(in + "/d");
    write_file(out + "/f", "outside");
    make_symlink(out, in + "/lnk");
    register_root(in);

    // Follows the real directory through its renames.
    int real_fd = open((in + "/d").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(real_fd, 0);

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const std::string dir = in + "/d", aside = in + "/d.aside", lnk = in + "/lnk";
        auto pause_for = [](unsigned us) {
            auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
            while (std::chrono::steady_clock::now() < until) {}
        };
        unsigned spin = 1;
        while (!stop.load(std::memory_order_relaxed)) {
            // Each rename is atomic; in between, the path leads to the real
            // directory, to nothing, or through the link to the outside.
            if (rename(dir.c_str(), aside.c_str()) != 0 || rename(lnk.c_str(), dir.c_str()) != 0) break;
            pause_for(spin);
            if (rename(dir.c_str(), lnk.c_str()) != 0 || rename(aside.c_str(), dir.c_str()) != 0) break;
            pause_for(spin);
            spin = spin % 20 + 1;
        }
    });

    const std::string target = in + "/d/f";
    int removed = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 50000 && std::chrono::steady_clock::now() < end; i++) {
        int fd = openat(real_fd, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
        int r = dupfind_delete_file(target.c_str());
        if (r == 1) removed++;
        ASSERT_TRUE(exists(out + "/f")) << "outside file removed at iteration " << i;
    }
    stop.store(true);
    swapper.join();
    close(real_fd);

    EXPECT_EQ(testutil::read_file(out + "/f"), "outside");
    EXPECT_GT(removed, 0);  // the removal path itself was exercised
}

// Deletes on several threads while scans register roots: each thread keeps
// its own error text, and the registry stays consistent.
TEST(Delete, ConcurrentDeletesAndRegistrations) {
    TempDir d;
    make_dir(d / "in");
    make_dir(d / "out");
    register_root(d / "in");
    constexpr int kThreads = 4, kFiles = 50;
    for (int t = 0; t < kThreads; t++)
        for (int i = 0; i < kFiles; i++) {
            std::string n = "/" + std::to_string(t) + "_" + std::to_string(i);
            write_file(d / "in" + n, "x");
            write_file(d / "out" + n, "x");
        }

    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFiles; i++) {
                std::string n = "/" + std::to_string(t) + "_" + std::to_string(i);
                if (dupfind_delete_file((d / "in" + n).c_str()) != 1 || *dupfind_last_error()) bad++;
                if (dupfind_delete_file((d / "out" + n).c_str()) != 0 ||
                    std::strcmp(dupfind_last_error(), "refused: outside scanned roots") != 0)
                    bad++;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 200; i++) {
            std::string name = "/srv/concurrent/" + std::to_string(i);
            char *roots[] = {name.data()};
            dup_register_roots(roots, 1);
        }
    });
    for (auto &th : threads) th.join();

    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(registry().entries.size(), 201u);
}

// A file given as a scan's root admits its own name only while that name
// leads to the file the scan registered: a file renamed over it, or a
// directory put in its place with a file inside, is outside every root. A
// later scan of the newcomer registers it in turn.
TEST(Delete, FileRootAdmitsOnlyTheScannedFile) {
    namespace fs = std::filesystem;
    TempDir d;
    enum class Change { none, renamed_over, renamed_over_and_scanned, made_a_directory };
    struct Case {
        Change change;
        const char *below;  // what is deleted, relative to the root's name
        int result;
        const char *message;
    } cases[] = {
        {Change::none, "", 1, ""},
        {Change::renamed_over, "", 0, "refused: outside scanned roots"},
        {Change::renamed_over_and_scanned, "", 1, ""},
        {Change::made_a_directory, "/inner", 0, "refused: outside scanned roots"},
    };
    auto scan = [](const std::string &root) {
        const int id = dupfind_scan_start(("[" + testutil::json_str(root) + "]").c_str(), nullptr);
        ASSERT_GT(id, 0) << dupfind_last_error();
        testutil::wait_for_scan(dupfind_scan_progress, id);
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string dir = d / std::to_string(n++), root = dir + "/song.mp3", target = root + c.below;
        make_dir(dir);
        write_file(root, "scanned");
        scan(root);
        if (c.change == Change::renamed_over || c.change == Change::renamed_over_and_scanned) {
            write_file(dir + "/saved", "never compared");
            fs::rename(dir + "/saved", root);
        } else if (c.change == Change::made_a_directory) {
            fs::remove(root);
            make_dir(root);
            write_file(target, "never compared");
        }
        if (c.change == Change::renamed_over_and_scanned) scan(root);

        EXPECT_EQ(dupfind_delete_file(target.c_str()), c.result) << target;
        EXPECT_STREQ(dupfind_last_error(), c.message) << target;
        if (c.result == 1) {
            EXPECT_FALSE(exists(target)) << target;
        } else if (exists(target)) {
            EXPECT_EQ(testutil::read_file(target), "never compared") << target;
        } else {
            ADD_FAILURE() << target << " was removed";
        }
        // Nothing is left under another name beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), c.result == 1 ? 0 : 1) << dir;
    }
}
