// SPDX-License-Identifier: MIT
// Grouping of duplicates: scan records built by hand over real files, so the
// stages, the order of groups and paths, and the same-entry rule are seen
// without a walk; plus a few whole scans for the same-entry rule.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <xxhash.h>

#include "dupfind.h"
#include "first_block.h"
#include "json.h"
#include "pools.h"
#include "scan_fixture.h"
#include "test_util.h"

namespace {

using testutil::pattern;
using testutil::TempDir;
using testutil::write_file;
using Groups = std::vector<std::vector<std::string>>;
using Skipped = std::vector<std::pair<std::string, std::string>>;

// The fingerprint seam, routed to a std::function for the test at hand.
std::function<uint64_t(const std::string &, int, uint64_t)> g_hook;
uint64_t hook_trampoline(const char *path, int full, uint64_t h) { return g_hook(path, full, h); }

using Scan = ScanFixture;

// Runs a whole scan through the public interface and parses its results
// into doc; a failure is a fatal one of the calling test.
void run_scan(const char *dirs, const char *options, dup_json_doc &doc) {
    const int id = dupfind_scan_start(dirs, options);
    ASSERT_GT(id, 0) << dupfind_last_error();
    ASSERT_EQ(testutil::wait_for_scan(dupfind_scan_progress, id), 100);
    char *text = dupfind_scan_results(id);
    ASSERT_NE(text, nullptr);
    const dup_result parsed = dup_json_parse(doc, text, strlen(text));
    dupfind_free_string(text);
    ASSERT_EQ(parsed, DUP_OK);
}

class Grouping : public ::testing::Test {
protected:
    void TearDown() override {
        dup_test_fingerprint_hook = nullptr;
        g_hook = nullptr;
        dup_reading_threads = default_threads;
    }
    void set_hook(std::function<uint64_t(const std::string &, int, uint64_t)> fn) {
        g_hook = std::move(fn);
        dup_test_fingerprint_hook = hook_trampoline;
    }
    TempDir d;
    const int32_t default_threads = dup_reading_threads;
};

std::string flip(std::string s, size_t at) {
    s[at] = static_cast<char>(s[at] ^ 0x5a);
    return s;
}

// The exchange sort exactly as the procedure states it, on (key, name).
std::vector<std::pair<uint64_t, std::string>> exchange_sort(std::vector<std::pair<uint64_t, std::string>> v) {
    for (size_t p = 0; p + 1 < v.size(); p++)
        for (size_t q = p + 1; q < v.size(); q++)
            if (v[q].first < v[p].first) std::swap(v[p], v[q]);
    return v;
}

}  // namespace

// The stages on small real trees: who is grouped, and who is read how far.
TEST_F(Grouping, StageCases) {
    const std::string A = pattern(100000, 1);
    const std::string L = pattern(600000, 2);  // several read rounds
    struct File {
        std::string name, content;
    };
    struct Case {
        const char *what;
        std::vector<File> files;
        Groups expect;                     // by name
        std::vector<std::string> partial;  // names whose partial fingerprint was taken
        std::vector<std::string> full;     // names whose full fingerprint was taken
        int64_t wasted;
    };
    const Case cases[] = {
        {"pairwise different sizes: nothing is opened", {{"a", "1"}, {"b", "22"}, {"c", "333"}}, {}, {}, {}, 0},
        {"a same-size file that differs in its first block is read only for its partial fingerprint",
         {{"a", A.substr(0, 70000)}, {"b", A.substr(0, 70000)}, {"c", flip(A.substr(0, 70000), 10)}},
         {{"a", "b"}},
         {"a", "b", "c"},
         {"a", "b"},
         70000},
        {"equal first 64 KiB, different later, nothing else alike: no group, so no full fingerprint",
         {{"a", A}, {"b", flip(A, 90000)}},
         {},
         {"a", "b"},
         {},
         0},
        {"a member alike to none in a later round is still fingerprinted when others are alike",
         {{"w", flip(L, 400000)}, {"x", L}, {"y", L}},  // w first: x, y keep their order
         {{"x", "y"}},
         {"w", "x", "y"},
         {"w", "x", "y"},
         600000},
        {"difference in the last byte at 64 KiB + 1",
         {{"a", A.substr(0, 65537)}, {"b", flip(A.substr(0, 65537), 65536)}, {"c", A.substr(0, 65537)}},
         {{"a", "c"}},
         {"a", "b", "c"},
         {"a", "b", "c"},
         65537},
        {"three copies of 1000 bytes",
         {{"x", A.substr(0, 1000)}, {"y", A.substr(0, 1000)}, {"z", A.substr(0, 1000)}},
         {{"x", "y", "z"}},
         {"x", "y", "z"},
         {"x", "y", "z"},
         2000},
        {"empty files (min_size 0) form one group",
         {{"e1", ""}, {"e2", ""}, {"e3", ""}},
         {{"e1", "e2", "e3"}},
         {"e1", "e2", "e3"},
         {"e1", "e2", "e3"},
         0},
    };
    int n_case = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = d / std::to_string(n_case++);
        testutil::make_dir(dir);
        std::vector<std::string> partial_seen, full_seen;
        set_hook([&](const std::string &p, int full, uint64_t h) {
            (full ? full_seen : partial_seen).push_back(p.substr(dir.size() + 1));
            return h;
        });
        Scan s;
        // Records in reverse name order: the grouping must not depend on it.
        for (auto it = c.files.rbegin(); it != c.files.rend(); ++it) {
            write_file(dir + "/" + it->name, it->content);
            s.add(dir + "/" + it->name);
        }
        ASSERT_EQ(s.group(), 0);

        Groups expect;
        for (const auto &g : c.expect) {
            expect.emplace_back();
            for (const auto &name : g) expect.back().push_back(dir + "/" + name);
        }
        EXPECT_EQ(s.groups(), expect);
        EXPECT_EQ(s.s.wasted_bytes, c.wasted);
        EXPECT_EQ(dup_load_progress(&s.s), 95);

        std::sort(partial_seen.begin(), partial_seen.end());
        std::sort(full_seen.begin(), full_seen.end());
        EXPECT_EQ(partial_seen, c.partial);
        EXPECT_EQ(full_seen, c.full);
        for (const File &f : c.files) {
            const dup_file_t *r = s.file(dir + "/" + f.name);
            ASSERT_NE(r, nullptr);
            const bool taken = std::find(c.full.begin(), c.full.end(), f.name) != c.full.end();
            EXPECT_EQ(r->full_ok, taken ? 1 : 0) << f.name;
            if (taken) {
                EXPECT_EQ(r->full_hash, XXH64(f.content.data(), f.content.size(), 0)) << f.name;
            }
        }
        for (int32_t i = 0; i < s.s.n_groups; i++) {
            const dup_group_t &g = s.s.groups[i];
            const dup_file_t *head = s.file(g.files[0]);
            ASSERT_NE(head, nullptr);
            EXPECT_EQ(g.hash, head->full_hash);
            EXPECT_EQ(g.size, head->size);
        }
        TearDown();
    }
}

// A file that changes after its first block was fingerprinted, before the
// comparison reads it: it no longer ends where the walk saw it end, so it
// equals nothing and is reported, and its copies still form their group. A
// file of at most one block is not read to its end by the comparison, which
// must still notice that it goes on. The change comes through the seam on
// the victim's partial fingerprint, which runs before any file is compared.
TEST_F(Grouping, FileThatChangesSizeBeforeTheComparisonIsReported) {
    struct Case {
        const char *what;
        size_t size;
        int copies;  // the victim is the second in path order
        int delta;   // bytes appended (> 0) or cut off (< 0)
    };
    const Case cases[] = {
        {"one-block file grew by a byte", 1000, 3, 1},
        {"one-block file shrank by a byte", 1000, 3, -1},
        {"empty file grew", 0, 3, 1},
        {"file of exactly one block grew, in a batch of one-block rounds", 65536, 9, 1},
        {"larger file grew", 100000, 3, 10},
        {"larger file shrank into its last block", 100000, 3, -10},
    };
    int n_case = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = d / std::to_string(n_case++);
        testutil::make_dir(dir);
        const std::string content = pattern(c.size, 11);
        Scan s;
        std::vector<std::string> paths;
        for (int k = 0; k < c.copies; k++) {
            paths.push_back(dir + "/f" + std::to_string(k));
            write_file(paths.back(), content);
            s.add(paths.back());
        }
        const std::string victim = paths[1];
        bool changed = false;
        set_hook([&](const std::string &p, int full, uint64_t h) {
            if (!full && p == victim && !changed) {
                changed = true;
                write_file(victim, c.delta > 0 ? content + std::string(static_cast<size_t>(c.delta), 'x')
                                               : content.substr(0, c.size - static_cast<size_t>(-c.delta)));
            }
            return h;
        });
        ASSERT_EQ(s.group(), 0);
        EXPECT_TRUE(changed);
        paths.erase(paths.begin() + 1);
        EXPECT_EQ(s.groups(), Groups{paths});
        EXPECT_EQ(s.skipped(), (Skipped{{victim, "read_failed"}}));
        TearDown();
    }
}

// A run too large for one lockstep batch is read in several, whose classes
// are then joined by reading one member of each again. A member that cannot
// be read as recorded in that second reading is reported, and its class is
// joined through another member: the remaining copies still form one group.
// The change comes through the seam on the first full fingerprint, which
// runs after the batches and before their classes are joined.
TEST_F(Grouping, MemberLostWhileBatchesAreJoinedIsReported) {
    const std::string content = pattern(1000, 12);
    struct Case {
        const char *what;
        int victim;  // f00 heads the first batch, f16 the second
        std::function<void(const std::string &)> change;
    };
    const Case cases[] = {
        {"first batch's member vanished", 0, [](const std::string &p) { ASSERT_EQ(unlink(p.c_str()), 0); }},
        {"first batch's member grew", 0, [&](const std::string &p) { write_file(p, content + "x"); }},
        {"second batch's member vanished", 16, [](const std::string &p) { ASSERT_EQ(unlink(p.c_str()), 0); }},
        {"second batch's member shrank", 16, [&](const std::string &p) { write_file(p, content.substr(1)); }},
    };
    int n_case = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = d / std::to_string(n_case++);
        testutil::make_dir(dir);
        Scan s;
        std::vector<std::string> paths;
        for (int k = 0; k < 20; k++) {
            char name[8];
            snprintf(name, sizeof name, "/f%02d", k);
            paths.push_back(dir + name);
            write_file(paths.back(), content);
            s.add(paths.back());
        }
        const std::string victim = paths[static_cast<size_t>(c.victim)];
        bool changed = false;
        set_hook([&](const std::string &, int full, uint64_t h) {
            if (full && !changed) {
                changed = true;
                c.change(victim);
            }
            return h;
        });
        ASSERT_EQ(s.group(), 0);
        EXPECT_TRUE(changed);
        paths.erase(paths.begin() + c.victim);
        EXPECT_EQ(s.groups(), Groups{paths});
        EXPECT_EQ(s.skipped(), (Skipped{{victim, "read_failed"}}));
        TearDown();
    }
}

// Progress is stored at the end of every size run, before its groups are
// made: the seam sees, for each full fingerprint, the value of its run.
TEST_F(Grouping, ProgressAtEveryRun) {
    struct Case {
        std::vector<size_t> sizes;  // files of one size have one content
        std::vector<int> seen;      // progress during each full fingerprint
    };
    const Case cases[] = {
        {{1, 2, 2, 3}, {81, 81}},                               // 53 after size 1, 81, then 95
        {{1, 1, 2, 2, 3, 3, 3}, {55, 55, 71, 71, 95, 95, 95}},  // 110/7 = 15.7, 220/7 = 31.4
    };
    int n_case = 0;
    for (const Case &c : cases) {
        Scan s;
        std::vector<int> seen;
        set_hook([&](const std::string &, int full, uint64_t h) {
            if (full) seen.push_back(dup_load_progress(&s.s));
            return h;
        });
        for (size_t i = 0; i < c.sizes.size(); i++) {
            std::string p = d / ("p" + std::to_string(n_case) + "_" + std::to_string(i));
            write_file(p, pattern(c.sizes[i], static_cast<unsigned>(c.sizes[i])));
            s.add(p);
        }
        n_case++;
        ASSERT_EQ(s.group(), 0);
        EXPECT_EQ(seen, c.seen);
        EXPECT_EQ(dup_load_progress(&s.s), 95);
    }
}

// X, Y, Z in one partial run with real full fingerprints h(X) = h(Y) > h(Z):
// the exchange sort leaves Z, Y, X, so Y heads the group of X and Y.
TEST_F(Grouping, HeadRuleFollowsTheExchangeSort) {
    const std::string base = pattern(70000, 3);
    std::string xy, z;
    for (int t = 0; t < 256 && z.empty(); t++) {
        std::string cand_xy = base + static_cast<char>(t);
        for (int u = 0; u < 256; u++) {
            std::string cand_z = base + static_cast<char>(u);
            if (XXH64(cand_z.data(), cand_z.size(), 0) < XXH64(cand_xy.data(), cand_xy.size(), 0)) {
                xy = cand_xy;
                z = cand_z;
                break;
            }
        }
    }
    ASSERT_FALSE(z.empty());
    write_file(d / "X", xy);
    write_file(d / "Y", xy);
    write_file(d / "Z", z);
    Scan s;
    for (const char *n : {"Z", "X", "Y"}) s.add(d / n);
    ASSERT_EQ(s.group(), 0);
    EXPECT_EQ(s.groups(), (Groups{{d / "Y", d / "X"}}));
    EXPECT_EQ(s.files(), (std::vector<std::string>{d / "Z", d / "Y", d / "X"}));
}

// The byte comparison itself, through the seam that makes every fingerprint collide: in
// the full run X, Y, Z with Y = Z and X different, Y heads the group Y, Z.
TEST_F(Grouping, ByteComparisonDecidesUnderCollidingFingerprints) {
    set_hook([](const std::string &, int, uint64_t) { return uint64_t{42}; });
    const std::string y = pattern(200000, 5);
    write_file(d / "X", flip(y, 150000));
    write_file(d / "Y", y);
    write_file(d / "Z", y);
    Scan s;
    for (const char *n : {"Z", "Y", "X"}) s.add(d / n);
    ASSERT_EQ(s.group(), 0);
    EXPECT_EQ(s.groups(), (Groups{{d / "Y", d / "Z"}}));
    ASSERT_EQ(s.s.n_groups, 1);
    EXPECT_EQ(s.s.groups[0].hash, 42u);
    EXPECT_EQ(s.s.wasted_bytes, 200000);
}

// Many members under colliding fingerprints, against the head-by-head
// definition: member u joins head t when its first `size` bytes equal the
// head's. Enough members for several lockstep batches, differences at the
// first byte, across read rounds and in the last byte, and members that
// became shorter than recorded.
TEST_F(Grouping, ByteClassesMatchTheHeadByHeadDefinition) {
    set_hook([](const std::string &, int, uint64_t) { return uint64_t{7}; });
    const size_t S = 300000;
    const std::string base = pattern(S, 9);
    // Read rounds are 64 KiB to 256 KiB long, by batch size.
    const size_t spots[] = {0, 65536, 131071, 131072, 200000, 262143, 262144, S - 1};
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 7; trial++) {
        SCOPED_TRACE(trial);
        const size_t n = std::vector<size_t>{2, 5, 16, 17, 40, 70, 40}[static_cast<size_t>(trial)];
        // Last: all equal but the first member in path order, which founds
        // the class in its batch and turns out short in the second round.
        const bool first_shrinks = trial == 6;
        const uint32_t variants = first_shrinks ? 1 : 1 + static_cast<uint32_t>(rng() % 4);
        const std::string dir = d / ("t" + std::to_string(trial));
        testutil::make_dir(dir);
        std::vector<std::string> names, contents;
        Scan s;
        for (size_t k = 0; k < n; k++) {
            char name[16];
            snprintf(name, sizeof name, "%c%03d", first_shrinks && k == 0 ? 'a' : 'f',
                     static_cast<int>(rng() % 1000) * 100 + static_cast<int>(k));
            std::string c = base;
            const uint32_t v = static_cast<uint32_t>(rng() % variants);
            const size_t t = static_cast<size_t>(trial);
            if (v > 0) c = flip(c, spots[(v * 7 + t) % 8]);
            if (v == 3) c = flip(c, spots[(t + 1) % 8]);
            const std::string p = dir + "/" + name;
            write_file(p, c);
            s.add(p);
            if (first_shrinks ? k == 0 : rng() % 8 == 0) {                     // shrank after the walk
                c.resize(std::vector<size_t>{100000, 250000, 280000}[k % 3]);  // within the first or a later round
                write_file(p, c);
            }
            names.push_back(p);
            contents.push_back(c);
        }
        ASSERT_EQ(s.group(), 0);

        // All fingerprints collide, so the run is in path order.
        std::vector<size_t> order(n);
        for (size_t k = 0; k < n; k++) order[k] = k;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return names[a] < names[b]; });
        auto equal = [&](size_t a, size_t b) {
            return contents[a].size() >= S && contents[b].size() >= S &&
                   contents[a].compare(0, S, contents[b], 0, S) == 0;
        };
        Groups expect;
        std::vector<bool> visited(n);
        for (size_t t = 0; t < n; t++) {
            if (visited[t]) continue;
            visited[t] = true;
            std::vector<std::string> g{names[order[t]]};
            for (size_t u = t + 1; u < n; u++)
                if (!visited[u] && equal(order[t], order[u])) {
                    visited[u] = true;
                    g.push_back(names[order[u]]);
                }
            if (g.size() >= 2) expect.push_back(g);
        }
        EXPECT_EQ(s.groups(), expect);
    }
}

// The order that the full-fingerprint sort leaves, against the literal exchange sort, for many
// random runs with few distinct full fingerprints (ties are what matter).
// Identical contents make every full run a group, so heads and path order
// are checked too.
TEST_F(Grouping, FullRunOrderIsTheExchangeSorts) {
    std::map<std::string, uint64_t> key;
    set_hook([&](const std::string &p, int full, uint64_t) { return full ? key.at(p) : uint64_t{1}; });
    const size_t max_files = 400;
    std::vector<std::string> paths;
    for (size_t k = 0; k < max_files; k++) {
        char name[16];
        snprintf(name, sizeof name, "/%04zu", k);
        paths.push_back(d.path() + name);
        write_file(paths.back(), "same");
    }
    std::mt19937 rng(777);
    for (int trial = 0; trial < 300; trial++) {
        const size_t n = trial == 0 ? max_files : 2 + static_cast<size_t>(rng() % 40);
        const uint64_t alphabet = 1 + rng() % 5;
        std::vector<size_t> pick(max_files);
        for (size_t k = 0; k < max_files; k++) pick[k] = k;
        std::shuffle(pick.begin(), pick.end(), rng);
        pick.resize(n);

        Scan s;
        key.clear();
        std::vector<std::pair<uint64_t, std::string>> ref;
        for (size_t k : pick) {
            key[paths[k]] = rng() % alphabet * 1000;  // 0 included
            s.add(paths[k]);
            ref.emplace_back(key[paths[k]], paths[k]);
        }
        ASSERT_EQ(s.group(), 0);

        std::sort(ref.begin(), ref.end(), [](const auto &a, const auto &b) { return a.second < b.second; });
        ref = exchange_sort(ref);
        std::vector<std::string> expect_order;
        Groups expect;
        for (size_t k = 0; k < ref.size(); k++) {
            expect_order.push_back(ref[k].second);
            if (k == 0 || ref[k].first != ref[k - 1].first) expect.emplace_back();
            expect.back().push_back(ref[k].second);
        }
        expect.erase(std::remove_if(expect.begin(), expect.end(), [](const auto &g) { return g.size() < 2; }),
                     expect.end());
        ASSERT_EQ(s.files(), expect_order) << "trial " << trial;
        ASSERT_EQ(s.groups(), expect) << "trial " << trial;
    }
}

// Files that cannot be read when grouping comes leave every group and are
// reported, in path order; a FIFO or a directory put in place of a file does
// not stop the scan. Nor is a file read through an entry that is no longer
// the one the walk recorded: a link to a copy would list the copy under a
// second name.
TEST_F(Grouping, UnreadableFilesAreReported) {
    DUPFIND_POSIX_ONLY("FIFOs and permissions as another user");
    const std::string c = pattern(5000, 4);
    for (const char *n : {"a", "b", "gone", "fifo", "dir", "relinked"}) write_file(d / n, c);
    Scan s;
    for (const char *n : {"relinked", "a", "b", "gone", "fifo", "dir"}) s.add(d / n);
    ASSERT_EQ(unlink((d / "relinked").c_str()), 0);
    testutil::make_symlink(d / "b", d / "relinked");
    ASSERT_EQ(unlink((d / "gone").c_str()), 0);
    ASSERT_EQ(unlink((d / "fifo").c_str()), 0);
    ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(unlink((d / "dir").c_str()), 0);
    testutil::make_dir(d / "dir");
    ASSERT_EQ(s.group(), 0);
    EXPECT_EQ(s.groups(), (Groups{{d / "a", d / "b"}}));
    EXPECT_EQ(s.skipped(), (Skipped{{d / "dir", "read_failed"},
                                    {d / "fifo", "read_failed"},
                                    {d / "gone", "read_failed"},
                                    {d / "relinked", "read_failed"}}));

    // A file the scanning user may not read.
    write_file(d / "locked", c);
    ASSERT_EQ(chmod((d / "locked").c_str(), 0), 0);
    const std::string a = d / "a", b = d / "b", locked = d / "locked";
    int status = testutil::run_unprivileged([&] {
        Scan u;
        u.add(a);
        u.add(locked);
        u.add(b);
        if (u.group() != 0 || u.groups() != Groups{{a, b}}) return 1;
        return u.skipped() == Skipped{{locked, "read_failed"}} ? 0 : 2;
    });
    // 1: wrong groups, 2: the locked file not reported.
    EXPECT_EQ(status, 0);
}

// Records naming one entry under two paths keep only the first in walk
// order; hard links are two entries and stay.
TEST_F(Grouping, OneEntryUnderTwoPathsIsKeptOnce) {
    DUPFIND_NEEDS_SYMLINKS();
    const std::string c = pattern(3000, 6);
    testutil::make_dir(d / "dir");
    write_file(d / "a", c);
    write_file(d / "b", c);
    write_file(d / "dir/x", c);
    ASSERT_EQ(link((d / "a").c_str(), (d / "hard").c_str()), 0);
    testutil::make_symlink(d / "a", d / "link");
    testutil::make_symlink("dir", d / "dlink");

    struct Case {
        const char *what;
        std::vector<std::string> records;  // in walk order
        Groups expect;
        int32_t kept;
        std::string gone = "";  // a record's path removed after the walk
    };
    const std::string root = d.path();
    const Case cases[] = {
        {"root listed twice", {root + "/a", root + "/b", root + "/a", root + "/b"}, {{root + "/a", root + "/b"}}, 2},
        {"root with and without a trailing slash",
         {root + "/b", root + "/a", root + "//b", root + "//a"},
         {{root + "/a", root + "/b"}},
         2},
        {"root inside another root",
         {root + "/dir/x", root + "/b", root + "/dir/x"},
         {{root + "/b", root + "/dir/x"}},
         2},
        {"followed link to a file, link met first",
         {root + "/link", root + "/a", root + "/b"},
         {{root + "/b", root + "/link"}},
         2},
        {"followed link to a directory",
         {root + "/dir/x", root + "/dlink/x", root + "/b"},
         {{root + "/b", root + "/dir/x"}},
         2},
        {"hard links stay two", {root + "/a", root + "/hard"}, {{root + "/a", root + "/hard"}}, 2},
        {"a third hard link gone since the walk does not cost the other two",
         {root + "/gone", root + "/a", root + "/hard"},
         {{root + "/a", root + "/hard"}},
         2,
         root + "/gone"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        if (!k.gone.empty()) {
            ASSERT_EQ(link((d / "a").c_str(), k.gone.c_str()), 0);
        }
        Scan s;
        for (const auto &p : k.records) s.add(p);
        if (!k.gone.empty()) {
            ASSERT_EQ(unlink(k.gone.c_str()), 0);
        }
        ASSERT_EQ(s.group(), 0);
        EXPECT_EQ(s.groups(), k.expect);
        EXPECT_EQ(s.s.n_files, k.kept);
        EXPECT_EQ(s.s.scanned_files, k.kept);  // entries, not the paths that led to them
    }
}

// One path met more than once, its file replaced in between (another
// identity each time, as from a listing that gave the name again), is kept
// once, as first met: only its text tells the records apart from hard links.
TEST_F(Grouping, OnePathMetAgainAfterItsFileWasReplacedIsKeptOnce) {
    const std::string c = pattern(3000, 7);
    write_file(d / "a", c);
    write_file(d / "b", c);
    Scan s;
    s.add(d / "a");
    s.add(d / "b");
    const dup_file_t first = s.s.files[0];
    const uint64_t dev = s.s.devs[first.dev];
    for (const uint64_t other : {first.ino + 1000003, first.ino + 2000006}) s.add_raw(d / "a", first.size, dev, other);
    ASSERT_EQ(s.group(), 0);
    EXPECT_EQ(s.s.n_files, 2);
    EXPECT_EQ(s.groups(), (Groups{{d / "a", d / "b"}}));
}

// The same through whole scans, with the walk recording identities.
TEST_F(Grouping, WholeScansListEveryEntryOnce) {
    DUPFIND_NEEDS_SYMLINKS();
    const std::string c = pattern(3000, 8);
    testutil::make_dir(d / "sub");
    write_file(d / "a", c);
    write_file(d / "sub/b", c);
    testutil::make_symlink("sub", d / "slink");
    const std::string r = testutil::json_str(d.path());
    const std::string rs = testutil::json_str(d / "sub");
    const std::string rslash = testutil::json_str(d.path() + "/");
    struct Case {
        std::string dirs, options;
        int64_t scanned;
    };
    const Case cases[] = {
        {"[" + r + "," + r + "]", "{}", 2},
        {"[" + r + "," + rs + "]", "{}", 2},
        {"[" + r + "," + rslash + "]", "{}", 2},
        {"[" + r + "]", "{\"follow_symlinks\":true}", 2},
        // A file root met again below a directory root.
        {"[" + r + "," + testutil::json_str(d / "sub/b") + "]", "{}", 2},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.dirs + " " + k.options);
        dup_json_doc doc;
        run_scan(k.dirs.c_str(), k.options.c_str(), doc);
        if (HasFatalFailure()) return;
        EXPECT_EQ(doc["scanned_files"].GetInt64(), k.scanned);
        ASSERT_EQ(doc["groups"].Size(), 1u);
        const auto &files = doc["groups"][0]["files"];
        ASSERT_EQ(files.Size(), 2u);
        std::vector<std::string> canon;
        for (const auto &f : files.GetArray()) {
            char *real = realpath(f.GetString(), nullptr);
            ASSERT_NE(real, nullptr);
            canon.push_back(real);
            free(real);
        }
        EXPECT_NE(canon[0], canon[1]);
    }
}

// Names of one file (hard links) occupy its bytes once: within a group they
// count once in wasted_bytes, and with hard_links off only the first name
// met is collected, so names of one file never form a group by themselves.
TEST_F(Grouping, HardLinks) {
    DUPFIND_POSIX_ONLY("hard links made with link(2)");
    const std::string c = pattern(4000, 51);
    write_file(d / "a", c);
    write_file(d / "b", c);
    ASSERT_EQ(link((d / "a").c_str(), (d / "a2").c_str()), 0);
    write_file(d / "x", pattern(3000, 52));
    ASSERT_EQ(link((d / "x").c_str(), (d / "x2").c_str()), 0);
    struct Case {
        int hard_links;
        Groups expect;
        int64_t wasted, scanned;
    } cases[] = {
        {1, {{d / "a", d / "a2", d / "b"}, {d / "x", d / "x2"}}, 4000, 5},
        {0, {{d / "a", d / "b"}}, 4000, 3},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.hard_links);
        Scan s;
        s.s.hard_links = k.hard_links;
        for (const char *n : {"a", "a2", "b", "x", "x2"}) s.add(d / n);
        ASSERT_EQ(s.group(), 0);
        // Group order follows size; paths follow (fingerprint, path).
        Groups got = s.groups();
        std::sort(got.begin(), got.end(),
                  [](const auto &p, const auto &q) { return p.size() > q.size() || (p.size() == q.size() && p < q); });
        Groups want = k.expect;
        std::sort(want.begin(), want.end(),
                  [](const auto &p, const auto &q) { return p.size() > q.size() || (p.size() == q.size() && p < q); });
        for (auto &g : got) std::sort(g.begin(), g.end());
        EXPECT_EQ(got, want);
        EXPECT_EQ(s.s.wasted_bytes, k.wasted);
        EXPECT_EQ(s.s.scanned_files, k.scanned);
    }
}

// Mounted twice in one tree (a bind mount), one directory shows the same
// entries under two paths with different canonical forms. They are one
// file, never a group of two, however the two paths reach the scan.
TEST_F(Grouping, BindMountedDirectoryIsOneEntry) {
    DUPFIND_POSIX_ONLY("bind mounts");
    testutil::make_dir(d / "a");
    testutil::make_dir(d / "b");
    testutil::make_dir(d / "c");
    write_file(d / "a/only-copy.txt", pattern(5000, 31));
    write_file(d / "a/dup", pattern(7000, 32));
    write_file(d / "c/dup", pattern(7000, 32));
    testutil::BindMount bind(d / "a", d / "b");
    if (!bind.ok()) GTEST_SKIP() << "cannot bind-mount here (needs root): " << bind.error();

    const std::string r = testutil::json_str(d.path());
    struct Case {
        const char *what;
        std::string dirs;
        int64_t scanned;
        size_t groups;  // the real duplicate, a/dup or b/dup with c/dup
    };
    const Case cases[] = {
        {"the tree that holds both paths", "[" + r + "]", 3, 1},
        {"the tree and a file root through the mount", "[" + r + "," + testutil::json_str(d / "b/only-copy.txt") + "]",
         3, 1},
        {"two file roots, one through the mount",
         "[" + testutil::json_str(d / "b/only-copy.txt") + "," + testutil::json_str(d / "a/only-copy.txt") + "]", 1, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        dup_json_doc doc;
        run_scan(k.dirs.c_str(), "{}", doc);
        if (HasFatalFailure()) return;
        EXPECT_EQ(doc["scanned_files"].GetInt64(), k.scanned);
        ASSERT_EQ(doc["groups"].Size(), k.groups);
        if (k.groups == 1) {
            const auto &files = doc["groups"][0]["files"];
            ASSERT_EQ(files.Size(), 2u);
            EXPECT_EQ(std::string(files[1].GetString()), d / "c/dup");
            EXPECT_EQ(doc["wasted_bytes"].GetInt64(), 7000);
        }
    }
}

// Files whose paths are longer than the system takes whole are grouped like
// any others, not dropped when their content is read.
TEST_F(Grouping, PathsLongerThanTheSystemLimitAreGrouped) {
    const std::string deep = testutil::make_deep_dir(d / "deep", testutil::kLongPathBytes);
    testutil::DeepCleanup cleanup(d / "deep");
    testutil::write_file_at(deep, "f", pattern(70000, 41));
    testutil::write_file_at(deep, "g", pattern(70000, 41));
    testutil::write_file_at(deep, "h", pattern(70000, 42));
    const std::string dirs = "[" + testutil::json_str(d / "deep") + "]";
    dup_json_doc doc;
    run_scan(dirs.c_str(), "{}", doc);
    if (HasFatalFailure()) return;
    EXPECT_EQ(doc["scanned_files"].GetInt64(), 3);
    ASSERT_EQ(doc["groups"].Size(), 1u);
    const auto &files = doc["groups"][0]["files"];
    ASSERT_EQ(files.Size(), 2u);
    EXPECT_EQ(std::string(files[0].GetString()), deep + "/f");
    EXPECT_EQ(std::string(files[1].GetString()), deep + "/g");
}

// More groups than the array first has room for are all kept, in ascending
// size, with their wasted bytes.
TEST_F(Grouping, ManyGroupsInAscendingSize) {
    Scan s;
    int64_t wasted = 0;
    for (int k = 17; k >= 1; k--) {
        const std::string c = pattern(static_cast<size_t>(k), static_cast<unsigned>(k));
        for (const char *suffix : {"a", "b"}) {
            std::string p = d / (std::to_string(k) + suffix);
            write_file(p, c);
            s.add(p);
        }
        wasted += k;
    }
    ASSERT_EQ(s.group(), 0);
    ASSERT_EQ(s.s.n_groups, 17);
    EXPECT_EQ(s.s.wasted_bytes, wasted);
    for (int32_t i = 0; i < 17; i++) {
        EXPECT_EQ(s.s.groups[i].size, i + 1);
        EXPECT_EQ(s.groups()[static_cast<size_t>(i)],
                  (Groups::value_type{d / (std::to_string(i + 1) + "a"), d / (std::to_string(i + 1) + "b")}));
    }
}

// A cancel stops grouping at the next fingerprint: partial fingerprints are
// all used before any group is made, and none is used after the cancel.
TEST_F(Grouping, CancelStopsBeforeTheNextFingerprint) {
    const std::string small = pattern(10, 1), big = pattern(100, 2);
    for (const char *n : {"s1", "s2"}) write_file(d / n, small);
    for (const char *n : {"b1", "b2", "b3"}) write_file(d / n, big);

    struct Case {
        const char *what;
        int cancel_at_partial;  // which partial fingerprint (1-based) sets cancel
        int partials_taken;
    };
    const Case cases[] = {
        {"while the partial fingerprints are used", 3, 3},
        {"after the last partial fingerprint, before any full one", 5, 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Scan s;
        int partials = 0, fulls = 0;
        set_hook([&](const std::string &, int full, uint64_t h) {
            if (full) fulls++;
            if (!full && ++partials == c.cancel_at_partial) s.s.cancel.store(1);
            return h;
        });
        for (const char *n : {"b1", "s1", "b2", "s2", "b3"}) s.add(d / n);
        EXPECT_EQ(s.group(), 1);
        EXPECT_EQ(partials, c.partials_taken);
        EXPECT_EQ(fulls, 0);
        EXPECT_TRUE(s.groups().empty());
        for (const char *n : {"b1", "b2", "b3"}) {
            const dup_file_t *f = s.file(d / n);
            ASSERT_NE(f, nullptr) << n;
            EXPECT_EQ(f->full_ok, 0) << n;
        }
    }
}

// Files are read by pools of threads; however many there are, every result
// and every record must come out as with the worker alone. The tree mixes
// many small groups, same-size files that differ only past the first block,
// empty files, records whose file is shorter than recorded (their
// fingerprint fails), and runs too large for one lockstep batch, of large
// and of one-block files, some members differing only in the last byte.
TEST_F(Grouping, PoolSizeChangesNoResult) {
    std::mt19937 rng(777);
    std::vector<std::pair<std::string, int64_t>> recs;  // path, recorded size
    for (int k = 0; k < 600; k++) {
        const size_t size = k % 50 == 0 ? 0
                                        : (k % 97 == 0 ? static_cast<size_t>(70000 + k % 3) : 64 * (1 + rng() % 12));
        std::string c = pattern(size, static_cast<unsigned>(rng() % 5));  // few contents per size
        if (size > 65536 && rng() % 2) c = flip(c, size - 1);
        const std::string p = d / ("f" + std::to_string(rng() % 100000) + "_" + std::to_string(k));
        write_file(p, c);
        recs.emplace_back(p, static_cast<int64_t>(size) + (k % 61 == 0 ? 5 : 0));
    }
    for (const size_t size : {size_t{1000}, size_t{200000}}) {
        for (int k = 0; k < 40; k++) {
            const std::string c = k % 7 == 3 ? flip(pattern(size, 9), size - 1) : pattern(size, 9);
            const std::string p = d / ("big" + std::to_string(size) + "_" + std::to_string(k));
            write_file(p, c);
            recs.emplace_back(p, static_cast<int64_t>(size));
        }
    }

    struct Outcome {
        int r;
        Groups groups;
        std::vector<uint64_t> hashes;
        int64_t wasted;
        std::vector<std::tuple<std::string, uint64_t, int32_t, int32_t>> records;
    };
    auto run = [&](int32_t threads) {
        dup_reading_threads = threads;
        Scan s;
        for (const auto &[p, size] : recs) {
            const testutil::file_id id = testutil::identity(p);
            s.add_raw(p, size, id.dev, id.ino);
        }
        Outcome o{s.group(), s.groups(), {}, s.s.wasted_bytes, {}};
        for (int32_t i = 0; i < s.s.n_groups; i++) o.hashes.push_back(s.s.groups[i].hash);
        for (int32_t i = 0; i < s.s.n_files; i++) {
            const dup_file_t &f = s.s.files[i];
            o.records.emplace_back(f.path, f.full_hash, f.partial_ok, f.full_ok);
        }
        return o;
    };
    const Outcome alone = run(1);
    ASSERT_EQ(alone.r, 0);
    ASSERT_GE(alone.groups.size(), 20u);
    for (int32_t threads : {2, 4, 8}) {
        SCOPED_TRACE(threads);
        const Outcome o = run(threads);
        EXPECT_EQ(o.r, 0);
        EXPECT_EQ(o.groups, alone.groups);
        EXPECT_EQ(o.hashes, alone.hashes);
        EXPECT_EQ(o.wasted, alone.wasted);
        EXPECT_EQ(o.records, alone.records);
    }
}

// A cancel that is pending when the pool starts stops every thread before
// its first fingerprint: no file is opened and no group is made.
TEST_F(Grouping, CancelStopsThePool) {
    const std::string c = pattern(5000, 3);
    Scan s;
    for (int k = 0; k < 200; k++) {
        const std::string p = d / ("f" + std::to_string(k));
        write_file(p, c);
        s.add(p);
    }
    dup_reading_threads = 4;
    s.s.cancel.store(1);
    EXPECT_EQ(s.group(), 1);
    EXPECT_EQ(s.s.n_groups, 0);
    for (int32_t i = 0; i < s.s.n_files; i++) EXPECT_EQ(s.s.files[i].partial_ok, 0) << s.s.files[i].path;
}
