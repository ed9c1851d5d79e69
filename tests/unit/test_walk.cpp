// SPDX-License-Identifier: MIT
// The tree walk: what is collected, what is passed over and why, and in
// which order, over small fixture trees.
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "scan_fixture.h"
#include "test_util.h"

namespace {

using testutil::make_dir;
using testutil::make_symlink;
using testutil::TempDir;
using testutil::write_file;
using Skip = std::pair<std::string, std::string>;  // path, reason

const std::string FFFD = "\xEF\xBF\xBD";

using ScanRecord = ScanFixture;

template <class T>
std::vector<T> sorted(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v;
}

void make_fifo(const std::string &path) {
    if (::mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("cannot mkfifo " + path);
}

// The names of a directory in the order the platform lists them.
std::vector<std::string> listing(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = ::opendir(dir.c_str());
    if (!d) throw std::runtime_error("cannot list " + dir);
    while (struct dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    return names;
}

// What a walk with default options should record below dir, worked out from
// an independent listing: depth first, listing order, links not followed,
// empty files below the default floor of 1.
void expected_walk(const std::string &dir, std::vector<std::string> &files, std::vector<Skip> &skipped) {
    for (const auto &name : listing(dir)) {
        std::string p = dir + "/" + name;
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0) throw std::runtime_error("cannot lstat " + p);
        if (S_ISDIR(st.st_mode)) expected_walk(p, files, skipped);
        else if (S_ISLNK(st.st_mode)) skipped.emplace_back(p, "symlink");
        else if (st.st_size < 1) skipped.emplace_back(p, "below_min_size");
        else files.push_back(p);
    }
}

// ---- reason codes -------------------------------------------------------------------

// One tree with an entry for every reason code that root can reach, walked
// with links followed and not followed.
TEST(Walk, ReasonCodes) {
    DUPFIND_POSIX_ONLY("FIFOs");
    TempDir t;
    make_dir(t / "tree");
    write_file(t / "tree/big.txt", "hello");
    write_file(t / "tree/empty", "");
    write_file(t / "tree/skip_me.log", "excluded before anything else");
    make_fifo(t / "tree/fifo");
    make_symlink(t / "nowhere", t / "tree/dangling");
    make_symlink(".", t / "tree/self");
    make_symlink("fifo", t / "tree/tofifo");
    write_file(t / "tree/bad\xff", "invalid name");
    make_dir(t / "tree/sub");
    write_file(t / "tree/sub/file.txt", "in sub");
    make_symlink("..", t / "tree/sub/up");
    make_symlink(t / "tree", t / "rootlink");

    struct Case {
        int follow;
        std::vector<Skip> skipped;
    };
    const std::vector<Skip> common = {
        {"tree/empty", "below_min_size"},    {"tree/skip_me.log", "exclude"}, {"tree/fifo", "not_regular"},
        {"tree/bad" + FFFD, "invalid_utf8"}, {"missing", "root_missing"},     {"tree/fifo", "not_directory"},
    };
    const Case cases[] = {
        {1,
         {{"tree/dangling", "symlink_stat_failed"},
          {"tree/self", "symlink_loop"},
          {"tree/sub/up", "symlink_loop"},
          {"tree/tofifo", "not_regular"},
          {"rootlink", "not_directory"}}},
        {0,
         {{"tree/dangling", "symlink"},
          {"tree/self", "symlink"},
          {"tree/sub/up", "symlink"},
          {"tree/tofifo", "symlink"},
          {"rootlink", "symlink"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("follow_symlinks " + std::to_string(c.follow));
        ScanRecord r;
        r.roots({t / "tree", t / "missing", t / "rootlink", t / "tree/fifo"});
        r.exclude({"skip_me"});
        r.s.follow_symlinks = c.follow;
        // A FIFO that the walk opened would block it here for good: no writer.
        ASSERT_EQ(r.walk(), 0);
        std::vector<Skip> want = common;
        want.insert(want.end(), c.skipped.begin(), c.skipped.end());
        EXPECT_EQ(sorted(r.skipped(t.path())), sorted(want));
        EXPECT_EQ(sorted(r.files(t.path())), (std::vector<std::string>{"tree/big.txt", "tree/sub/file.txt"}));
    }
}

// A directory that cannot be listed, and one whose names can be listed but
// not reached, need a user the permissions apply to.
TEST(Walk, UnreadableDirectories) {
    DUPFIND_POSIX_ONLY("permissions as another user");
    TempDir t;
    make_dir(t / "p");
    write_file(t / "p/ok.txt", "sibling");
    make_dir(t / "p/locked");
    write_file(t / "p/locked/hidden", "never seen");
    make_dir(t / "p/noexec");
    write_file(t / "p/noexec/f", "listed but unreachable");
    make_dir(t / "lockedroot");
    ASSERT_EQ(::chmod((t / "p/locked").c_str(), 0), 0);
    ASSERT_EQ(::chmod((t / "p/noexec").c_str(), 0444), 0);
    ASSERT_EQ(::chmod((t / "lockedroot").c_str(), 0), 0);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    int status = testutil::run_unprivileged([&] {
        ::close(fds[0]);
        ScanRecord r;
        r.roots({t / "p", t / "lockedroot"});
        std::string out = "rc " + std::to_string(r.walk()) + "\n";
        for (const auto &f : r.files(t.path())) out += "file " + f + "\n";
        for (const auto &s : r.skipped(t.path())) out += "skip " + s.first + " " + s.second + "\n";
        bool ok = ::write(fds[1], out.data(), static_cast<unsigned>(out.size())) == static_cast<ssize_t>(out.size());
        ::close(fds[1]);
        return ok ? 0 : 1;
    });
    ::close(fds[1]);
    std::string got = testutil::drain_and_close(fds[0]);
    ASSERT_EQ(status, 0);

    std::vector<std::string> lines;
    for (size_t pos = 0, nl; (nl = got.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(got.substr(pos, nl - pos));
    EXPECT_EQ(sorted(lines), sorted(std::vector<std::string>{
                                 "rc 0",
                                 "file p/ok.txt",
                                 "skip p/locked opendir_failed",
                                 "skip p/noexec/f lstat_failed",
                                 "skip lockedroot opendir_failed",
                             }));
}

// ---- order -------------------------------------------------------------------------

TEST(Walk, DepthFirstInListingOrder) {
    DUPFIND_NEEDS_SYMLINKS();
    TempDir t;
    make_dir(t / "r");
    for (int d = 0; d < 4; d++) {
        std::string dir = t / ("r/d" + std::to_string(d));
        make_dir(dir);
        for (int f = 0; f < 8; f++) write_file(dir + "/f" + std::to_string(f), f % 3 ? "data" : "");
        if (d % 2) {
            make_dir(dir + "/inner");
            for (int f = 0; f < 5; f++) write_file(dir + "/inner/g" + std::to_string(f), "x");
        }
        write_file(t / ("r/top" + std::to_string(d)), d ? "top" : "");
    }
    make_symlink("d0", t / "r/link");

    std::vector<std::string> want_files;
    std::vector<Skip> want_skipped;
    expected_walk(t / "r", want_files, want_skipped);

    ScanRecord r;
    r.roots({t / "r"});
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(r.files(), want_files);
    EXPECT_EQ(r.skipped(), want_skipped);
}

// ---- size floor -------------------------------------------------------------------------

TEST(Walk, SizeFloor) {
    TempDir t;
    make_dir(t / "r");
    write_file(t / "r/zero", "");
    write_file(t / "r/one", "1");
    write_file(t / "r/ten", "0123456789");

    struct Case {
        int64_t min_size;
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {0, {"r/one", "r/ten", "r/zero"}},
        {1, {"r/one", "r/ten"}},
        {10, {"r/ten"}},
        {11, {}},
        {-5, {"r/one", "r/ten", "r/zero"}},
        {INT64_MIN, {"r/one", "r/ten", "r/zero"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("min_size " + std::to_string(c.min_size));
        ScanRecord r;
        r.roots({t / "r"});
        r.s.min_size = c.min_size;
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(sorted(r.files(t.path())), c.files);
        EXPECT_EQ(static_cast<size_t>(r.s.n_files + r.s.n_skipped), 3u);
        for (const auto &s : r.skipped()) EXPECT_EQ(s.second, "below_min_size");
    }
}

// Sizes past 2^31 and 2^32 are compared and stored whole.
TEST(Walk, LargeSparseFiles) {
    TempDir t;
    const int64_t gib = int64_t{1} << 30;
    make_dir(t / "r");
    testutil::make_sparse(t / "r/five", 5 * gib);
    testutil::make_sparse(t / "r/three", 3 * gib);

    // The directory's entries and the same 5 GiB file given as a root.
    using Sized = std::pair<std::string, int64_t>;
    struct Case {
        int64_t min_size;
        std::vector<Sized> files;
    };
    const Case cases[] = {
        {1, {{"r/five", 5 * gib}, {"r/five", 5 * gib}, {"r/three", 3 * gib}}},
        {3 * gib, {{"r/five", 5 * gib}, {"r/five", 5 * gib}, {"r/three", 3 * gib}}},
        {3 * gib + 1, {{"r/five", 5 * gib}, {"r/five", 5 * gib}}},
        {5 * gib, {{"r/five", 5 * gib}, {"r/five", 5 * gib}}},
        {5 * gib + 1, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("min_size " + std::to_string(c.min_size));
        ScanRecord r;
        r.roots({t / "r", t / "r/five"});
        r.s.min_size = c.min_size;
        ASSERT_EQ(r.walk(), 0);
        std::vector<Sized> got;
        for (int32_t i = 0; i < r.s.n_files; i++)
            got.emplace_back(r.s.files[i].path + t.path().size() + 1, r.s.files[i].size);
        EXPECT_EQ(sorted(got), c.files);
        EXPECT_EQ(r.s.n_files + r.s.n_skipped, 3);
    }
}

// ---- exclusion -------------------------------------------------------------------------

// Patterns contain a character that the scratch directory's random name
// cannot, so they match only where each case means them to.
// The later filters, each pruning the walk and recording what it passed
// over with a reason of its own. A request without them walks everything.
TEST(Walk, Filters) {
    TempDir t;
    make_dir(t / "r");
    make_dir(t / "r/photos");
    make_dir(t / "r/photos/2020");
    make_dir(t / "r/photos/2020/thumbs");
    make_dir(t / "r/.git");
    make_dir(t / "r/src");
    make_dir(t / "r/src/node_modules");
    write_file(t / "r/big.iso", std::string(5000, 'i'));
    write_file(t / "r/a.txt", "a");
    write_file(t / "r/.hidden", "h");
    write_file(t / "r/photos/2020/p.jpg", "jpg");
    write_file(t / "r/photos/2020/thumbs/t.jpg", "t");
    write_file(t / "r/.git/HEAD", "ref");
    write_file(t / "r/src/node_modules/m.js", "m");
    write_file(t / "r/src/main.c", "c");
    write_file(t / "r/src/thumbs", "a file named as a directory elsewhere");

    struct Case {
        const char *what;
        std::function<void(ScanRecord &)> set;
        std::vector<std::string> files;
        std::vector<Skip> skipped;
    };
    const std::vector<std::string> all = {"r/.git/HEAD",
                                          "r/.hidden",
                                          "r/a.txt",
                                          "r/big.iso",
                                          "r/photos/2020/p.jpg",
                                          "r/photos/2020/thumbs/t.jpg",
                                          "r/src/main.c",
                                          "r/src/node_modules/m.js",
                                          "r/src/thumbs"};
    auto without = [&](std::initializer_list<const char *> gone) {
        std::vector<std::string> v;
        for (const auto &f : all)
            if (std::find(gone.begin(), gone.end(), f) == gone.end()) v.push_back(f);
        return v;
    };
    const Case cases[] = {
        {"none", [](ScanRecord &) {}, all, {}},
        {"max_size",
         [](ScanRecord &r) { r.s.max_size = 4999; },
         without({"r/big.iso"}),
         {{"r/big.iso", "above_max_size"}}},
        {"max_size equal to a size keeps it", [](ScanRecord &r) { r.s.max_size = 5000; }, all, {}},
        {"skip_hidden prunes a directory too",
         [](ScanRecord &r) { r.s.skip_hidden = 1; },
         without({"r/.git/HEAD", "r/.hidden"}),
         {{"r/.git", "hidden"}, {"r/.hidden", "hidden"}}},
        {"max_depth 1: the root's own entries, no directory below it",
         [](ScanRecord &r) { r.s.max_depth = 1; },
         {"r/.hidden", "r/a.txt", "r/big.iso"},
         {{"r/.git", "max_depth"}, {"r/photos", "max_depth"}, {"r/src", "max_depth"}}},
        {"max_depth 2",
         [](ScanRecord &r) { r.s.max_depth = 2; },
         {"r/.git/HEAD", "r/.hidden", "r/a.txt", "r/big.iso", "r/src/main.c", "r/src/thumbs"},
         {{"r/photos/2020", "max_depth"}, {"r/src/node_modules", "max_depth"}}},
        {"glob *: a name",
         [](ScanRecord &r) { r.globs({"*.iso"}); },
         without({"r/big.iso"}),
         {{"r/big.iso", "exclude_glob"}}},
        {"glob ? and a set",
         [](ScanRecord &r) {
             r.globs({"?.txt", "[m]ain.[ch]"});
         },
         without({"r/a.txt", "r/src/main.c"}),
         {{"r/a.txt", "exclude_glob"}, {"r/src/main.c", "exclude_glob"}}},
        {"glob without wildcards: a whole name, the directory pruned",
         [](ScanRecord &r) {
             r.globs({"node_modules", "main"});
         },
         without({"r/src/node_modules/m.js"}),
         {{"r/src/node_modules", "exclude_glob"}}},
        {"glob **: at any depth",
         [](ScanRecord &r) { r.globs({"**/.git"}); },
         without({"r/.git/HEAD"}),
         {{"r/.git", "exclude_glob"}}},
        {"glob with a '/': the path relative to the root",
         [](ScanRecord &r) { r.globs({"photos/*/thumbs"}); },
         without({"r/photos/2020/thumbs/t.jpg"}),
         {{"r/photos/2020/thumbs", "exclude_glob"}}},
        {"glob relative to the root, not to any directory", [](ScanRecord &r) { r.globs({"2020/thumbs"}); }, all, {}},
        {"glob ending in '/': directories only, the file of that name kept",
         [](ScanRecord &r) { r.globs({"thumbs/"}); },
         without({"r/photos/2020/thumbs/t.jpg"}),
         {{"r/photos/2020/thumbs", "exclude_glob"}}},
        {"glob with a '/' and ending in one: a directory at that path",
         [](ScanRecord &r) {
             r.globs({"photos/2020/", "src/main.c/"});
         },
         without({"r/photos/2020/p.jpg", "r/photos/2020/thumbs/t.jpg"}),
         {{"r/photos/2020", "exclude_glob"}}},
        {"glob starting with './': the root's own entries only",
         [](ScanRecord &r) {
             r.globs({"./src", "./p.jpg", "./[ab]*"});
         },
         without({"r/src/main.c", "r/src/node_modules/m.js", "r/src/thumbs", "r/a.txt", "r/big.iso"}),
         {{"r/src", "exclude_glob"}, {"r/a.txt", "exclude_glob"}, {"r/big.iso", "exclude_glob"}}},
        {"glob with a character class",
         [](ScanRecord &r) {
             r.globs({"[[:alpha:]].txt", "[[:digit:]]*"});
         },
         without({"r/a.txt", "r/photos/2020/p.jpg", "r/photos/2020/thumbs/t.jpg"}),
         {{"r/a.txt", "exclude_glob"}, {"r/photos/2020", "exclude_glob"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScanRecord r;
        r.roots({t / "r"});
        c.set(r);
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(sorted(r.files(t.path())), c.files);
        EXPECT_EQ(sorted(r.skipped(t.path())), sorted(c.skipped));
    }
}

// Another file system mounted inside the tree is not entered when the scan
// keeps to one; a followed link onto it neither.
TEST(Walk, OneFileSystem) {
    DUPFIND_POSIX_ONLY("mounting a file system inside the tree");
    TempDir t;
    make_dir(t / "r");
    make_dir(t / "r/mnt");
    write_file(t / "r/a", "a");
    if (::mount("tmpfs", (t / "r/mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << std::strerror(errno);
    struct Unmount {
        std::string p;
        ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
    } unmount{t / "r/mnt"};
    write_file(t / "r/mnt/b", "b");
    make_symlink(t / "r/mnt", t / "r/to_mnt");
    for (int keep : {0, 1}) {
        SCOPED_TRACE(keep);
        ScanRecord r;
        r.roots({t / "r"});
        r.s.one_file_system = keep;
        r.s.follow_symlinks = 1;
        ASSERT_EQ(r.walk(), 0);
        if (keep) {
            EXPECT_EQ(r.files(t.path()), std::vector<std::string>{"r/a"});
            EXPECT_EQ(sorted(r.skipped(t.path())),
                      (std::vector<Skip>{{"r/mnt", "other_file_system"}, {"r/to_mnt", "other_file_system"}}));
        } else {
            EXPECT_EQ(r.s.n_files, 2);  // b once, under whichever way in came first
        }
    }
}

TEST(Walk, Exclusion) {
    DUPFIND_NEEDS_SYMLINKS();
    TempDir t;
    make_dir(t / "data_root");
    make_dir(t / "data_root/scratch_dir");
    write_file(t / "data_root/scratch_dir/x", "x");
    write_file(t / "data_root/keep.txt", "keep");
    write_file(t / "data_root/notes.md", "notes");
    make_symlink(t / "nowhere", t / "data_root/dangling_link");

    struct Case {
        const char *name;
        std::vector<const char *> patterns;
        std::vector<std::string> files;
        std::vector<Skip> skipped;
    };
    const std::vector<std::string> all = {"data_root/keep.txt", "data_root/notes.md", "data_root/scratch_dir/x"};
    const Skip dangling = {"data_root/dangling_link", "symlink_stat_failed"};
    const Case cases[] = {
        {"case-sensitive", {"Scratch_dir"}, all, {dangling}},
        {"matching entry not entered",
         {"scratch_dir"},
         {"data_root/keep.txt", "data_root/notes.md"},
         {dangling, {"data_root/scratch_dir", "exclude"}}},
        {"null pattern passed over",
         {nullptr, ".md"},
         {"data_root/keep.txt", "data_root/scratch_dir/x"},
         {dangling, {"data_root/notes.md", "exclude"}}},
        // Excluded before its status is asked for, so the dangling link is
        // not reported as a failed query.
        {"before the status query", {"dangling_link"}, all, {{"data_root/dangling_link", "exclude"}}},
        {"empty pattern",
         {""},
         {},
         {{"data_root/dangling_link", "exclude"},
          {"data_root/keep.txt", "exclude"},
          {"data_root/notes.md", "exclude"},
          {"data_root/scratch_dir", "exclude"}}},
        // The root is not matched itself, but it is listed and every entry
        // directly under it matches.
        {"pattern in the root's path",
         {"data_root"},
         {},
         {{"data_root/dangling_link", "exclude"},
          {"data_root/keep.txt", "exclude"},
          {"data_root/notes.md", "exclude"},
          {"data_root/scratch_dir", "exclude"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScanRecord r;
        r.roots({t / "data_root"});
        r.s.follow_symlinks = 1;
        r.exclude(c.patterns);
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(sorted(r.files(t.path())), c.files);
        EXPECT_EQ(sorted(r.skipped(t.path())), c.skipped);
    }
}

// ---- file cap -------------------------------------------------------------------------

TEST(Walk, FileCap) {
    TempDir t;
    make_dir(t / "ten");
    for (int i = 0; i < 10; i++) write_file(t / ("ten/f" + std::to_string(i)), "x");
    for (int i = 0; i < 5; i++) write_file(t / ("ten/e" + std::to_string(i)), "");

    // Which entries the walk meets before the fourth collectable file.
    std::vector<std::string> first3;
    std::vector<Skip> skipped_before;
    for (const auto &name : listing(t / "ten")) {
        bool empty = name[0] == 'e';
        if (!empty && first3.size() == 3) {
            // The file the cap leaves out is recorded, and the walk stops.
            skipped_before.emplace_back("ten/" + name, "max_files_reached");
            break;
        }
        if (empty) skipped_before.emplace_back("ten/" + name, "below_min_size");
        else first3.push_back("ten/" + name);
    }

    {
        SCOPED_TRACE("max_files 3");
        ScanRecord r;
        r.roots({t / "ten", t / "missing"});
        r.s.max_files = 3;
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(r.files(t.path()), first3);
        // Nothing after the fourth file, and no later root, was visited.
        EXPECT_EQ(r.skipped(t.path()), skipped_before);
    }
    // No cap, a cap compared whole (not as its low 32 bits, 5), and a cap
    // that is reached but never exceeded.
    const int64_t never_stop[] = {0, -1, INT64_MIN, (int64_t{1} << 32) + 5, 10};
    for (int64_t cap : never_stop) {
        SCOPED_TRACE("max_files " + std::to_string(cap));
        ScanRecord r;
        r.roots({t / "ten", t / "missing"});
        r.s.max_files = cap;
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(r.s.n_files, 10);
        // The walk went on to the next root.
        ASSERT_GE(r.s.n_skipped, 1);
        EXPECT_EQ(r.skipped(t.path()).back(), Skip("missing", "root_missing"));
    }
}

// A regular file given as a root is taken as it is; one that meets a full
// cap is recorded as left out by it, and the next root is still visited.
TEST(Walk, RegularFileRoots) {
    TempDir t;
    write_file(t / "a.txt", "alpha");
    write_file(t / "empty", "");
    write_file(t / "b.txt", "beta");
    ScanRecord r;
    r.roots({t / "a.txt", t / "empty", t / "b.txt", t / "missing"});
    r.s.max_files = 1;
    ASSERT_EQ(r.walk(), 0);
    ASSERT_EQ(r.s.n_files, 1);
    EXPECT_EQ(r.s.files[0].path, t / "a.txt");
    EXPECT_EQ(r.s.files[0].size, 5);
    EXPECT_EQ(
        r.skipped(t.path()),
        (std::vector<Skip>{{"empty", "below_min_size"}, {"b.txt", "max_files_reached"}, {"missing", "root_missing"}}));
}

// ---- roots -------------------------------------------------------------------------------

TEST(Walk, RootForms) {
    TempDir t;
    make_dir(t / "d");
    write_file(t / "d/a.txt", "a");
    make_dir(t / "d/s");
    write_file(t / "d/s/b.txt", "b");

    {
        SCOPED_TRACE("trailing separator is kept in every joined path");
        ScanRecord r;
        r.roots({(t / "d/").c_str()});
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(sorted(r.files()), (std::vector<std::string>{t / "d//a.txt", t / "d//s/b.txt"}));
    }
    {
        SCOPED_TRACE("a repeated or nested root is not walked again");
        ScanRecord r;
        r.roots({(t / "d").c_str(), (t / "d").c_str(), (t / "d/s").c_str()});
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(r.skipped(t.path()), (std::vector<Skip>{{"d", "already_scanned"}, {"d/s", "already_scanned"}}));
        EXPECT_EQ(sorted(r.files(t.path())), (std::vector<std::string>{"d/a.txt", "d/s/b.txt"}));
    }
    {
        // A null root is a copy that got no memory: walking on would leave
        // it out without a record.
        SCOPED_TRACE("a null root fails the walk");
        ScanRecord r;
        r.roots({(t / "d").c_str(), nullptr});
        EXPECT_EQ(r.walk(), DUP_NOMEM);
    }
    {
        SCOPED_TRACE("a root inside a later one is met again as an entry");
        ScanRecord r;
        r.roots({t / "d/s", t / "d"});
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(r.skipped(t.path()), (std::vector<Skip>{{"d/s", "already_scanned"}}));
        EXPECT_EQ(r.files(t.path()), (std::vector<std::string>{"d/s/b.txt", "d/a.txt"}));
    }
    {
        SCOPED_TRACE("a missing root named with a component the system refuses as too long");
        ScanRecord r;
        const std::string missing = t / "missing", too_long = t / std::string(300, 'n');
        r.roots({missing, too_long});
        ASSERT_EQ(r.walk(), 0);
        EXPECT_EQ(r.skipped(), (std::vector<Skip>{{missing, "root_missing"}, {too_long, "name_too_long"}}));
    }
    {
        // The empty pattern keeps the walk of "/" to its first level.
        SCOPED_TRACE("the root / joins without a doubled separator");
        ScanRecord r;
        r.roots({"/"});
        r.exclude({""});
        ASSERT_EQ(r.walk(), 0);
        std::vector<Skip> want;
        for (const auto &name : listing("/")) want.emplace_back("/" + name, "exclude");
        EXPECT_EQ(r.skipped(), want);
        EXPECT_EQ(r.s.n_files, 0);
    }
}

TEST(Walk, CancelBeforeStart) {
    TempDir t;
    make_dir(t / "d");
    write_file(t / "d/a.txt", "a");
    ScanRecord r;
    r.roots({t / "missing", t / "d"});
    r.s.cancel.store(1);
    EXPECT_EQ(r.walk(), 1);
    EXPECT_EQ(r.s.n_files, 0);
    EXPECT_EQ(r.s.n_skipped, 0);
}

// ---- links -------------------------------------------------------------------------------

TEST(Walk, FollowedLinks) {
    DUPFIND_NEEDS_SYMLINKS();
    TempDir t;
    make_dir(t / "real");
    write_file(t / "real/f.txt", "abc");
    write_file(t / "real/small", "");
    make_dir(t / "r");
    make_symlink("../real", t / "r/ld");
    make_symlink("../real/f.txt", t / "r/lf");
    make_symlink("lf", t / "r/lchain");
    make_symlink("../real/small", t / "r/lsmall");
    make_symlink(t / "nowhere", t / "r/ldang");

    ScanRecord r;
    r.roots({t / "r"});
    r.s.follow_symlinks = 1;
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(sorted(r.files(t.path())), (std::vector<std::string>{"r/lchain", "r/ld/f.txt", "r/lf"}));
    for (int32_t i = 0; i < r.s.n_files; i++) EXPECT_EQ(r.s.files[i].size, 3);
    EXPECT_EQ(sorted(r.skipped(t.path())), (std::vector<Skip>{
                                               {"r/ld/small", "below_min_size"},
                                               {"r/ldang", "symlink_stat_failed"},
                                               {"r/lsmall", "below_min_size"},
                                           }));
}

// Links back into the current descent are not entered, so a tree full of
// them is walked in one pass; a link to a directory outside the descent is.
TEST(Walk, LinkCycles) {
    DUPFIND_NEEDS_SYMLINKS();
    TempDir t;
    make_dir(t / "c");
    make_dir(t / "c/a");
    make_dir(t / "c/b");
    write_file(t / "c/a/fa", "a");
    write_file(t / "c/b/fb", "b");
    make_symlink("../b", t / "c/a/tob");
    make_symlink("../a", t / "c/b/toa");
    make_symlink(".", t / "c/self");
    make_symlink("..", t / "c/a/up");
    make_symlink(t / "c", t / "c/a/top");
    make_symlink(t / "c", t / "c/b/top");

    ScanRecord r;
    r.roots({t / "c"});
    r.s.follow_symlinks = 1;
    ASSERT_EQ(r.walk(), 0);
    // Each directory is entered once: whichever of a and b the listing
    // gives first is entered by name and the other through its link, and
    // the later name of the other is recorded as already scanned.
    const std::vector<std::string> names = listing(t / "c");
    const bool a_first = std::find(names.begin(), names.end(), "a") < std::find(names.begin(), names.end(), "b");
    const std::string x = a_first ? "a" : "b", y = a_first ? "b" : "a";
    const std::string to_y = "to" + y, to_x = "to" + x;
    EXPECT_EQ(sorted(r.files(t.path())),
              sorted(std::vector<std::string>{"c/" + x + "/f" + x, "c/" + x + "/" + to_y + "/f" + y}));
    std::vector<Skip> want = {
        {"c/" + x + "/" + to_y + "/" + to_x, "symlink_loop"},
        {"c/" + x + "/" + to_y + "/top", "symlink_loop"},
        {"c/" + x + "/top", "symlink_loop"},
        {"c/" + y, "already_scanned"},
        {"c/self", "symlink_loop"},
    };
    // Only a has a link back up to c.
    want.emplace_back(a_first ? "c/a/up" : "c/b/toa/up", "symlink_loop");
    EXPECT_EQ(sorted(r.skipped(t.path())), sorted(want));
}

// A chain of directories each holding two links to the next is no cycle,
// but every level doubles the ways down: entered once per directory, the
// walk collects each file once instead of 2^depth times.
TEST(Walk, LinkGraphIsWalkedOncePerDirectory) {
    DUPFIND_POSIX_ONLY("symbolic links, which Wine cannot make");
    DUPFIND_NEEDS_SYMLINKS();
    TempDir t;
    constexpr int depth = 14;
    for (int i = 0; i <= depth; i++) {
        const std::string dir = t / ("l" + std::to_string(i));
        make_dir(dir);
        write_file(dir + "/f", "x");
        if (i > 0) {
            make_symlink("../l" + std::to_string(i), t / ("l" + std::to_string(i - 1) + "/p"));
            make_symlink("../l" + std::to_string(i), t / ("l" + std::to_string(i - 1) + "/q"));
        }
    }
    ScanRecord r;
    r.roots({t / "l0"});
    r.s.follow_symlinks = 1;
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(r.s.n_files, depth + 1);
    int again = 0;
    for (const Skip &k : r.skipped()) again += k.second == "already_scanned";
    EXPECT_EQ(again, depth);
    EXPECT_EQ(r.s.n_skipped, depth);
}

// Below a tree deeper than the longest path the system takes whole, files
// are still collected and directories still listed.
TEST(Walk, PathsLongerThanTheSystemLimit) {
    TempDir t;
    const std::string deep = testutil::make_deep_dir(t / "deep", testutil::kLongPathBytes);
    testutil::DeepCleanup cleanup(t / "deep");
    testutil::write_file_at(deep, "f", "payload");
    testutil::write_file_at(deep, "g", "payload");
    ASSERT_GT(deep.size() + 2, static_cast<size_t>(PATH_MAX));

    ScanRecord r;
    r.roots({t / "deep"});
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(r.skipped(), std::vector<Skip>{});
    EXPECT_EQ(sorted(r.files()), (std::vector<std::string>{deep + "/f", deep + "/g"}));
}

// ---- names -------------------------------------------------------------------------------

TEST(Walk, NamesThatAreNotUtf8) {
    DUPFIND_POSIX_ONLY("names that are arbitrary bytes");
    TempDir t;
    make_dir(t / "u");
    write_file(t / "u/ok-caf\xC3\xA9", "valid two-byte");
    write_file(t / "u/emoji-\xF0\x9F\x98\x80", "valid four-byte");
    write_file(t / "u/max-\xF4\x8F\xBF\xBF", "U+10FFFF");
    write_file(t / "u/bad-\xFF", "x");
    write_file(t / "u/overlong-\xC0\xAF", "x");
    write_file(t / "u/overlong3-\xE0\x80\xAF", "x");
    write_file(t / "u/surrogate-\xED\xA0\x80", "x");
    write_file(t / "u/above-\xF4\x90\x80\x80", "x");
    write_file(t / "u/cut-\xE2\x82-end", "x");
    write_file(t / "u/mixed-\xFF\xC3\xA9", "x");
    write_file(t / "u/empty-\xFE", "");
    make_dir(t / "u/dir-\xFE");
    write_file(t / "u/dir-\xFE/inner.txt", "not reached");
    make_symlink(t / "nowhere", t / "u/link-\xFF");

    ScanRecord r;
    r.roots({t / "u"});
    r.s.follow_symlinks = 1;
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(sorted(r.files(t.path())), sorted(std::vector<std::string>{"u/ok-caf\xC3\xA9", "u/emoji-\xF0\x9F\x98\x80",
                                                                         "u/max-\xF4\x8F\xBF\xBF"}));
    // Each byte outside a valid sequence becomes one U+FFFD; nothing is
    // queried, so the empty file and the dangling link give no other reason.
    const std::string R = FFFD;
    EXPECT_EQ(sorted(r.skipped(t.path())), sorted(std::vector<Skip>{
                                               {"u/bad-" + R, "invalid_utf8"},
                                               {"u/overlong-" + R + R, "invalid_utf8"},
                                               {"u/overlong3-" + R + R + R, "invalid_utf8"},
                                               {"u/surrogate-" + R + R + R, "invalid_utf8"},
                                               {"u/above-" + R + R + R + R, "invalid_utf8"},
                                               {"u/cut-" + R + R + "-end", "invalid_utf8"},
                                               {"u/mixed-" + R + "\xC3\xA9", "invalid_utf8"},
                                               {"u/empty-" + R, "invalid_utf8"},
                                               {"u/dir-" + R, "invalid_utf8"},
                                               {"u/link-" + R, "invalid_utf8"},
                                           }));
}

// ---- identity -----------------------------------------------------------------------------

// Every collected record carries the identity of the object its path
// reaches, so one object under several paths can be recognised.
TEST(Walk, RecordsCarryIdentity) {
    DUPFIND_NEEDS_SYMLINKS();
    TempDir t;
    make_dir(t / "d");
    write_file(t / "d/f1", "one");
    ASSERT_EQ(::link((t / "d/f1").c_str(), (t / "d/hard").c_str()), 0);
    make_symlink("f1", t / "d/soft");
    make_dir(t / "d/sub");
    write_file(t / "d/sub/f2", "two");

    ScanRecord r;
    r.roots({t / "d", t / "d/f1"});
    r.s.follow_symlinks = 1;
    ASSERT_EQ(r.walk(), 0);
    ASSERT_EQ(r.s.n_files, 5);  // f1, hard, soft, sub/f2 and the root f1

    struct stat f1;
    ASSERT_EQ(::stat((t / "d/f1").c_str(), &f1), 0);
    int same_as_f1 = 0;
    for (int32_t i = 0; i < r.s.n_files; i++) {
        const dup_file_t &f = r.s.files[i];
        SCOPED_TRACE(f.path);
        struct stat st;
        ASSERT_EQ(::stat(f.path, &st), 0);
        ASSERT_LT(static_cast<int32_t>(f.dev), r.s.n_devs);
        EXPECT_EQ(r.s.devs[f.dev], static_cast<uint64_t>(st.st_dev));
        EXPECT_EQ(f.ino, static_cast<uint64_t>(st.st_ino));
        if (r.s.devs[f.dev] == static_cast<uint64_t>(f1.st_dev) && f.ino == static_cast<uint64_t>(f1.st_ino))
            same_as_f1++;
        EXPECT_EQ(f.full_hash, 0u);
        EXPECT_EQ(f.partial_ok, 0);
        EXPECT_EQ(f.full_ok, 0);
    }
    EXPECT_EQ(same_as_f1, 4);
}

// More files and skipped entries than the arrays first have room for are
// all recorded, each once.
TEST(Walk, ManyRecords) {
    TempDir t;
    make_dir(t / "d");
    std::vector<std::string> files, empty;
    for (int i = 0; i < 300; i++) {
        files.push_back("d/f" + std::to_string(i));
        write_file(t / files.back(), "x");
    }
    for (int i = 0; i < 40; i++) {
        empty.push_back("d/e" + std::to_string(i));
        write_file(t / empty.back(), "");
    }
    ScanRecord r;
    r.roots({t / "d"});
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(sorted(r.files(t.path())), sorted(files));
    std::vector<Skip> want;
    for (const auto &e : empty) want.emplace_back(e, "below_min_size");
    EXPECT_EQ(sorted(r.skipped(t.path())), sorted(want));
}

}  // namespace
