// SPDX-License-Identifier: MIT
// The tool's decision about a group's files, one row per guard: every way a
// file stays, every way a copy goes. The rows build small trees and the
// decision reads them; nothing here acts on a file.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/xattr.h>

#include "decision.h"
#include "format.h"
#include "test_util.h"

using namespace dfcli;
using testutil::TempDir;
using testutil::write_file;

namespace {

const std::string kData(3000, 'x');

struct Expect {
    Verdict verdict;
    std::string note;  // a part of the note ("" for none expected)
};

struct Row {
    const char *name;
    // Builds the tree below `top` and returns the skip reason, or "".
    std::function<std::string(const std::string &top)> setup;
    std::vector<RootArg> roots;      // relative to top
    std::vector<std::string> files;  // the group, relative to top
    Rules rules;
    std::optional<std::vector<size_t>> chosen;
    std::vector<Expect> expect;  // one per file
    int64_t frees = -1;          // of the last file, when >= 0
    std::string metadata = "";   // a part of the last file's metadata change
};

Rules rules(Action action, bool keep_given = true, bool accept = false) {
    Rules r;
    r.action = action;
    r.keep_given = keep_given;
    r.accept_metadata = accept;
    return r;
}

std::string plain_pair(const std::string &top) {
    testutil::make_dir(top + "/R");
    write_file(top + "/R/a", kData);
    write_file(top + "/R/b", kData);
    return "";
}

// A setup that writes one copy named x into each of two directories.
std::function<std::string(const std::string &)> one_in_each(const char *first, const char *second) {
    return [=](const std::string &top) {
        for (const char *d : {first, second}) {
            testutil::make_dir(top + "/" + d);
            write_file(top + "/" + d + "/x", kData);
        }
        return std::string();
    };
}

// Mounts a file system of `type` on dir, or says why it cannot.
std::string mount_on(const std::string &dir, const char *type, const char *source, const char *options) {
    testutil::make_dir(dir);
    if (::mount(source, dir.c_str(), type, 0, options) != 0)
        return std::string("cannot mount ") + type + ": " + std::strerror(errno);
    return "";
}

const std::vector<Row> &rows() {
    static const std::vector<Row> table = {
        {"a copy goes, the first in path order stays",
         plain_pair,
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, "first in path order"}, {Verdict::Act, ""}},
         3000},
        {"without --keep a group below one DIR is left whole",
         plain_pair,
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete, false),
         {},
         {{Verdict::Leave, "all below one DIR"}, {Verdict::Leave, "all below one DIR"}}},
        {"files given as DIRs are copies like any other, even without --keep",
         plain_pair,
         {{"R/b"}, {"R/a"}},
         {"R/b", "R/a"},
         rules(Action::Link, false),
         {},
         {{Verdict::Keep, "first DIR given"}, {Verdict::Act, ""}},
         3000},
        {"without --keep the earliest DIR chooses",
         one_in_each("A", "B"),
         {{"B"}, {"A"}},
         {"A/x", "B/x"},
         rules(Action::Delete, false),
         {},
         {{Verdict::Act, ""}, {Verdict::Keep, "first DIR given"}}},
        {"a symbolic link is never removed",
         [](const std::string &top) {
             plain_pair(top);
             testutil::make_symlink("a", top + "/R/l");
             return "";
         },
         {{"R"}},
         {"R/a", "R/l"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "a symbolic link, never removed"}}},
        {"a path through a linked directory is never replaced",
         [](const std::string &top) {
             testutil::make_dir(top + "/R");
             testutil::make_dir(top + "/R/d");
             write_file(top + "/R/d/f", kData);
             testutil::make_symlink("d", top + "/R/ld");
             return "";
         },
         {{"R"}},
         {"R/d/f", "R/ld/f"},
         rules(Action::Link),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "reached through the symbolic link"}}},
        {"a group of links alone keeps nothing",
         [](const std::string &top) {
             testutil::make_dir(top + "/R");
             testutil::make_dir(top + "/OUT");
             write_file(top + "/OUT/f", kData);
             testutil::make_symlink("../OUT/f", top + "/R/l1");
             testutil::make_symlink("../OUT/f", top + "/R/l2");
             return "";
         },
         {{"R"}},
         {"R/l1", "R/l2"},
         rules(Action::Delete),
         {},
         {{Verdict::Leave, "no file of the group is reached without a symbolic link"},
          {Verdict::Leave, "no file of the group is reached without a symbolic link"}}},
        {"a reference file stays, the copy outside goes",
         one_in_each("M", "S"),
         {{"M", true}, {"S"}},
         {"M/x", "S/x"},
         rules(Action::Delete, false),
         {},
         {{Verdict::Keep, "reference"}, {Verdict::Act, ""}}},
        {"a reference file stays against an interactive choice",
         one_in_each("M", "S"),
         {{"M", true}, {"S"}},
         {"M/x", "S/x"},
         rules(Action::Delete),
         std::vector<size_t>{1},
         {{Verdict::Keep, "reference"}, {Verdict::Keep, "chosen"}}},
        {"the chosen file stays",
         plain_pair,
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete),
         std::vector<size_t>{1},
         {{Verdict::Act, ""}, {Verdict::Keep, "chosen"}}},
        {"another name of the kept file stays",
         [](const std::string &top) {
             testutil::make_dir(top + "/R");
             write_file(top + "/R/a", kData);
             if (::link((top + "/R/a").c_str(), (top + "/R/h").c_str()) != 0) return "cannot link";
             return "";
         },
         {{"R"}},
         {"R/a", "R/h"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Keep, "same file as kept"}}},
        {"a copy that is gone",
         [](const std::string &top) {
             testutil::make_dir(top + "/R");
             write_file(top + "/R/a", kData);
             return "";
         },
         {{"R"}},
         {"R/a", "R/gone"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "no longer exists"}}},
        {"a copy that became a directory",
         [](const std::string &top) {
             testutil::make_dir(top + "/R");
             write_file(top + "/R/a", kData);
             testutil::make_dir(top + "/R/b");
             return "";
         },
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "no longer a regular file"}}},
        {"a copy whose size changed",
         [](const std::string &top) {
             plain_pair(top);
             write_file(top + "/R/b", kData + "y");
             return "";
         },
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "size changed since the scan"}}},
        {"a kept file that is gone vouches for nothing",
         [](const std::string &top) {
             testutil::make_dir(top + "/R");
             write_file(top + "/R/b", kData);
             return "";
         },
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "no longer exists"}}},
        {"a kept file whose size changed vouches for nothing",
         [](const std::string &top) {
             plain_pair(top);
             write_file(top + "/R/a", "short");
             return "";
         },
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "changed size since the scan"}}},
        {"a copy with another name outside frees nothing",
         [](const std::string &top) {
             plain_pair(top);
             testutil::make_dir(top + "/OUT");
             if (::link((top + "/R/b").c_str(), (top + "/OUT/b").c_str()) != 0) return "cannot link";
             return "";
         },
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Act, ""}},
         0},
        {"a link cannot cross file systems",
         [](const std::string &top) {
             plain_pair(top);
             std::string why = mount_on(top + "/R/m", "tmpfs", "none", "");
             if (!why.empty()) return why;
             write_file(top + "/R/m/c", kData);
             return std::string();
         },
         {{"R"}},
         {"R/a", "R/m/c"},
         rules(Action::Link),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "on another file system than kept"}}},
        {"a link would widen who may read the copy",
         [](const std::string &top) {
             plain_pair(top);
             ::chmod((top + "/R/b").c_str(), 0600);
             ::chmod((top + "/R/a").c_str(), 0644);
             return "";
         },
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Link),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "would change its mode from 0600 to 0644"}}},
        {"a link with other metadata, accepted",
         [](const std::string &top) {
             plain_pair(top);
             ::chmod((top + "/R/b").c_str(), 0600);
             ::chmod((top + "/R/a").c_str(), 0644);
             if (::setxattr((top + "/R/b").c_str(), "user.note", "x", 1, 0) != 0) return "no user xattrs here";
             return "";
         },
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Link, true, true),
         {},
         {{Verdict::Keep, ""}, {Verdict::Act, ""}},
         3000,
         "mode from 0600 to 0644, extended attributes"},
        {"a removal ignores metadata",
         [](const std::string &top) {
             plain_pair(top);
             ::chmod((top + "/R/b").c_str(), 0600);
             return "";
         },
         {{"R"}},
         {"R/a", "R/b"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, ""}, {Verdict::Act, ""}}},
        {"extents that cannot be shared",
         [](const std::string &top) {
             plain_pair(top);
             std::string why = mount_on(top + "/R/m", "tmpfs", "none", "");
             if (!why.empty()) return why;
             write_file(top + "/R/m/a", kData);
             write_file(top + "/R/m/b", kData);
             return std::string();
         },
         {{"R"}},
         {"R/m/a", "R/m/b"},
         rules(Action::Reflink),
         {},
         {{Verdict::Keep, ""}, {Verdict::Leave, "cannot share extents"}}},
        {"a stacked file system may show the copy itself",
         [](const std::string &top) {
             for (const char *d : {"/lower", "/upper", "/work"}) testutil::make_dir(top + d);
             write_file(top + "/lower/f", kData);
             std::string opts = "lowerdir=" + top + "/lower,upperdir=" + top + "/upper,workdir=" + top + "/work";
             return mount_on(top + "/merged", "overlay", "overlay", opts.c_str());
         },
         {{"merged"}, {"lower"}},
         {"merged/f", "lower/f"},
         rules(Action::Delete),
         {},
         {{Verdict::Keep, "first DIR given"}, {Verdict::Leave, "is on a stacked file system"}}},
    };
    return table;
}

class Decide : public ::testing::TestWithParam<size_t> {};

TEST_P(Decide, EveryGuard) {
    const Row &row = rows()[GetParam()];
    TempDir top;
    std::vector<std::string> mounts;
    std::string skip = row.setup(top.path());
    // Whatever got mounted is unmounted before the directory goes.
    for (const char *m : {"/R/m", "/merged"})
        if (testutil::exists(top.path() + m)) mounts.push_back(top.path() + m);
    struct Unmount {
        std::vector<std::string> &list;
        ~Unmount() {
            for (const std::string &m : list) ::umount2(m.c_str(), MNT_DETACH);
        }
    } unmount{mounts};
    if (!skip.empty()) GTEST_SKIP() << skip;

    std::vector<RootArg> args;
    for (RootArg a : row.roots) {
        a.path = top.path() + "/" + a.path;
        args.push_back(a);
    }
    const RootSet roots(args);
    Group g;
    g.size = static_cast<int64_t>(kData.size());
    for (const std::string &f : row.files) g.files.push_back(top.path() + "/" + f);

    const Decision d = decide(g, row.chosen ? &*row.chosen : nullptr, roots, row.rules, Acted{}, false);
    ASSERT_EQ(d.files.size(), row.expect.size());
    for (size_t i = 0; i < row.expect.size(); ++i) {
        SCOPED_TRACE(row.files[i]);
        EXPECT_EQ(static_cast<int>(d.files[i].verdict), static_cast<int>(row.expect[i].verdict)) << d.files[i].note;
        EXPECT_NE(d.files[i].note.find(row.expect[i].note), std::string::npos) << d.files[i].note;
    }
    if (row.frees >= 0) {
        EXPECT_EQ(d.files.back().frees, row.frees);
    }
    EXPECT_NE(d.files.back().metadata.find(row.metadata), std::string::npos) << d.files.back().metadata;
    // An act names the kept file whose bytes the copy must have.
    for (const FileVerdict &v : d.files)
        if (v.verdict == Verdict::Act) {
            EXPECT_TRUE(std::find(d.keep.begin(), d.keep.end(), v.source) != d.keep.end());
        }
}

INSTANTIATE_TEST_SUITE_P(Rows, Decide, ::testing::Range<size_t>(0, rows().size()),
                         [](const ::testing::TestParamInfo<size_t> &row) {
                             std::string name = rows()[row.param].name;
                             for (char &c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// Names acted on earlier in the run count off the link count of a file, so
// the last name of a file frees its space and the others nothing, whether
// the earlier acts happened already (the act) or not (a plan).
TEST(Decide, OnlyTheLastNameOfAFileFreesItsSpace) {
    TempDir top;
    plain_pair(top.path());
    ASSERT_EQ(::link((top / "R/b").c_str(), (top / "R/b2").c_str()), 0);
    const RootSet roots({{top / "R"}});
    Group g;
    g.size = static_cast<int64_t>(kData.size());
    g.files = {top / "R/a", top / "R/b", top / "R/b2"};
    const Decision d = decide(g, nullptr, roots, rules(Action::Delete), Acted{}, false);
    EXPECT_EQ(d.files[1].frees, 0);
    EXPECT_EQ(d.files[2].frees, 3000);

    // A later group that meets b again under another name after the plan
    // counted both names: nothing is left to free.
    Acted acted;
    const testutil::file_id b = testutil::identity(top / "R/b");
    acted[{b.dev, b.ino}] = 1;
    g.files = {top / "R/a", top / "R/b2"};
    EXPECT_EQ(decide(g, nullptr, roots, rules(Action::Delete), acted, false).files[1].frees, 3000);
    EXPECT_EQ(decide(g, nullptr, roots, rules(Action::Delete), acted, true).files[1].frees, 0);
}

}  // namespace

// The terminal's progress line: the elapsed time always, the time left
// only once an estimate means something, and clock texts past an hour.
TEST(ProgressLine, ElapsedAndTimeLeft) {
    struct Case {
        int progress;
        double elapsed;
        const char *tail;
    };
    const Case cases[] = {
        {0, 0.2, "   0% starting, 0:00 elapsed"},
        {3, 40, "   3% walking, 0:40 elapsed"},    // too early to estimate
        {50, 1, "  50% comparing, 0:01 elapsed"},  // too soon to estimate
        {50, 12, "  50% comparing, 0:12 elapsed, about 0:12 left"},
        {25, 65, "  25% walking, 1:05 elapsed, about 3:15 left"},
        {80, 3725, "  80% comparing, 1:02:05 elapsed, about 15:31 left"},
    };
    for (const Case &c : cases) {
        std::string line = dfcli::progress_line(c.progress, c.elapsed);
        EXPECT_EQ(line.substr(0, 1), "[") << line;
        EXPECT_EQ(line.substr(line.find(']') + 1), c.tail) << c.progress << " " << c.elapsed;
    }
}
