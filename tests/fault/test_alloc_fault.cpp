// SPDX-License-Identifier: MIT
// Every allocation along an operation's path fails once, in turn. Whatever
// fails, the operation must end in its defined failure or in the correct
// result, never in a wrong result reported as success; nothing may crash or
// leak (LeakSanitizer checks each run in the AddressSanitizer build).
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alloc_hook.h"
#include "dupfind.h"
#include "inject.h"
#include "results.h"
#include "scan_fixture.h"
#include "scan_table.h"
#include "test_util.h"

namespace {

using testutil::json_str;
using testutil::TempDir;
using testutil::write_file;

// ---- the results text as data ---------------------------------------------------

struct group_seen {
    std::string hash;
    int64_t size = 0;
    std::vector<std::string> files;
};

struct results_seen {
    bool ok = false;
    std::vector<group_seen> groups;
    int64_t wasted = -1;
    int64_t scanned = -1;
    std::vector<std::pair<std::string, std::string>> skipped;
};

results_seen parse_results(const char *text) {
    results_seen r;
    rapidjson::Document d;
    if (!text || d.Parse(text).HasParseError() || !d.IsObject()) return r;
    if (!d.HasMember("groups") || !d["groups"].IsArray() || !d.HasMember("skipped") || !d["skipped"].IsArray() ||
        !d.HasMember("wasted_bytes") || !d.HasMember("scanned_files"))
        return r;
    for (const auto &g : d["groups"].GetArray()) {
        group_seen gs;
        gs.hash = g["hash"].GetString();
        gs.size = g["size"].GetInt64();
        for (const auto &f : g["files"].GetArray()) gs.files.emplace_back(f.GetString());
        r.groups.push_back(gs);
    }
    r.wasted = d["wasted_bytes"].GetInt64();
    r.scanned = d["scanned_files"].GetInt64();
    for (const auto &s : d["skipped"].GetArray())
        r.skipped.emplace_back(s["path"].GetString(), s["reason"].GetString());
    r.ok = true;
    return r;
}

// A group as a set of paths with its hash and size, for comparisons that do
// not depend on the order inside the group.
using group_key = std::pair<std::pair<std::string, int64_t>, std::set<std::string>>;

std::multiset<group_key> group_sets(const std::vector<group_seen> &gs) {
    std::multiset<group_key> out;
    for (const auto &g : gs) out.insert({{g.hash, g.size}, {g.files.begin(), g.files.end()}});
    return out;
}

std::string describe(const std::multiset<group_key> &gs) {
    std::string s;
    for (const auto &g : gs) {
        s += "{";
        for (const auto &p : g.second) s += p.substr(p.rfind('/') + 1) + " ";
        s += "} ";
    }
    return s;
}

// Problems that any successful results text must not have.
std::string basic_problems(const results_seen &r) {
    if (!r.ok) return "results text does not parse";
    int64_t wasted = 0;
    std::set<std::string> seen;
    for (const auto &g : r.groups) {
        if (g.files.size() < 2) return "a group with fewer than two files";
        for (const auto &f : g.files)
            if (!seen.insert(f).second) return "path listed twice: " + f;
        wasted += g.size * static_cast<int64_t>(g.files.size() - 1);
    }
    if (wasted != r.wasted) return "wasted_bytes does not match the groups";
    return "";
}

bool under(const std::string &path, const std::set<std::string> &dirs) {
    for (const auto &d : dirs)
        if (path.compare(0, d.size() + 1, d + "/") == 0) return true;
    return false;
}

// ---- a fixture tree with groups and skipped entries ------------------------------

// Paths of the regular files that a default scan collects, with their
// contents, and the directories of the tree.
struct tree {
    std::map<std::string, std::string> collected;
    std::vector<std::string> dirs;
};

tree make_tree(const std::string &root) {
    tree t;
    auto dir = [&](const std::string &rel) {
        testutil::make_dir(root + "/" + rel);
        t.dirs.push_back(root + "/" + rel);
    };
    auto file = [&](const std::string &rel, const std::string &content) {
        write_file(root + "/" + rel, content);
        if (!content.empty() && rel.compare(0, 4, "tmp/") != 0) t.collected[root + "/" + rel] = content;
    };
    dir("sub");
    dir("sub/deep");
    dir("pairs");
    dir("empties");
    dir("tmp");
    file("a1", "alpha content");
    file("sub/a2", "alpha content");
    file("sub/deep/a3", "alpha content");
    file("b1", "bravo!");
    file("sub/b2", "bravo!");
    file("c-unique", "charlie, no copy anywhere");
    file("s1", "same size A");
    file("s2", "same size B");  // equal size, different content
    std::string big(70000, 'x');
    for (size_t i = 0; i < big.size(); i += 97) big[i] = static_cast<char>('a' + i % 23);
    std::string big_tail = big;
    big_tail.back() = '!';  // same first 64 KiB, different later
    file("big1", big);
    file("sub/big2", big);
    file("sub/deep/big3", big_tail);
    // Seventeen more groups, so that the group array grows past its first
    // capacity of sixteen.
    for (int i = 0; i < 17; i++) {
        std::string c = "pair content " + std::to_string(i) + std::string(static_cast<size_t>(i), '#');
        file("pairs/p" + std::to_string(i) + "a", c);
        file("pairs/p" + std::to_string(i) + "b", c);
    }
    // More skipped entries than the skip array's first capacity of 32.
    for (int i = 0; i < 34; i++) file("empties/e" + std::to_string(i), "");
    file("tmp/ignored", "alpha content");
    // A link and a FIFO, each skipped with its record, where the system has
    // them: Windows has no FIFOs, and Wine makes no symbolic links.
    if (!testutil::symlinks_unavailable()) testutil::make_symlink(root + "/a1", root + "/link");
#ifndef _WIN32
    if (::mkfifo((root + "/fifo").c_str(), 0644) != 0) throw std::runtime_error("mkfifo");
#endif
    return t;
}

// The groups a correct scan must report: every set of two or more collected
// files with equal content.
std::vector<std::set<std::string>> expected_groups(const tree &t) {
    std::map<std::string, std::set<std::string>> by_content;
    for (const auto &[path, content] : t.collected) by_content[content].insert(path);
    std::vector<std::set<std::string>> out;
    for (const auto &[content, paths] : by_content)
        if (paths.size() >= 2) out.push_back(paths);
    std::sort(out.begin(), out.end());
    return out;
}

struct worker_reference {
    std::string text;
    results_seen parsed;
    std::set<std::string> files;
};

// What a scan whose walk met one failed allocation and still succeeded may
// differ in: one directory that could not be listed (recorded as
// "opendir_failed") with everything below it missing. Nothing goes missing
// without a record: a record that cannot be stored fails the walk.
std::string check_walk_allowance(const results_seen &got, const std::set<std::string> &files,
                                 const worker_reference &ref) {
    std::set<std::string> lost_dirs;
    std::set<std::pair<std::string, std::string>> ref_skips(ref.parsed.skipped.begin(), ref.parsed.skipped.end());
    for (const auto &s : got.skipped) {
        if (ref_skips.count(s)) continue;
        struct stat st;
        if (s.second != "opendir_failed" || ::lstat(s.first.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return "unexpected skip record " + s.first + " " + s.second;
        lost_dirs.insert(s.first);
    }
    if (lost_dirs.size() > 1) return "more than one directory lost to one failure";

    std::set<std::string> want_files;
    for (const auto &f : ref.files)
        if (!under(f, lost_dirs)) want_files.insert(f);
    if (files != want_files) return "collected files differ beyond the lost directory";
    if (got.scanned != static_cast<int64_t>(files.size())) return "scanned_files differs";

    std::vector<std::pair<std::string, std::string>> want_skips, got_skips;
    for (const auto &s : ref.parsed.skipped)
        if (!under(s.first, lost_dirs)) want_skips.push_back(s);
    for (const auto &s : got.skipped)
        if (!lost_dirs.count(s.first)) got_skips.push_back(s);
    if (got_skips != want_skips) return "skip records differ beyond the lost directory";

    std::multiset<group_key> want;
    for (const auto &g : group_sets(ref.parsed.groups)) {
        std::set<std::string> left;
        for (const auto &f : g.second)
            if (!under(f, lost_dirs)) left.insert(f);
        if (left.size() >= 2) want.insert({g.first, left});
    }
    if (group_sets(got.groups) != want)
        return "groups " + describe(group_sets(got.groups)) + "instead of " + describe(want);
    return "";
}

// What a scan whose grouping met one failed allocation and still succeeded
// may differ in: files that could not be read, each reported "read_failed"
// after the walk's records and missing from its group (a group left with
// one file disappears). A group member never vanishes without a record.
std::string check_grouping_allowance(const results_seen &got, const worker_reference &ref) {
    if (got.scanned != ref.parsed.scanned) return "scanned_files changed";
    const auto &ref_skips = ref.parsed.skipped;
    if (got.skipped.size() < ref_skips.size() || !std::equal(ref_skips.begin(), ref_skips.end(), got.skipped.begin()))
        return "the walk's records changed";
    std::set<std::string> unread;
    for (size_t k = ref_skips.size(); k < got.skipped.size(); k++) {
        if (got.skipped[k].second != "read_failed") return "unexpected record " + got.skipped[k].first;
        unread.insert(got.skipped[k].first);
    }
    std::multiset<group_key> want;
    for (const auto &g : group_sets(ref.parsed.groups)) {
        std::set<std::string> left;
        for (const auto &f : g.second)
            if (!unread.count(f)) left.insert(f);
        if (left.size() >= 2) want.insert({g.first, left});
    }
    std::multiset<group_key> have = group_sets(got.groups);
    if (have != want) return "groups " + describe(have) + "instead of " + describe(want);
    return "";
}

}  // namespace

// A full scan: walk, grouping and results text, run on this thread so that
// the failure lands in the stage that the scan's progress names. With a
// cache, each run starts from the same cache file, so that its reading, the
// files it settles and its writing fail in turn; a cache that could not be
// read or written for want of memory fails the scan rather than change its
// results.
namespace {

void full_scan_under_faults(bool cached) {
    TempDir d;
    const std::string root = d / "tree";
    testutil::make_dir(root);
    tree t = make_tree(root);
    const std::string cache = d / "cache", kept = d / "cache.kept";
    auto prepare = [&](ScanFixture &rec) {
        if (!cached) return;
        testutil::write_file(cache, testutil::read_file(kept));
        rec.s.cache_path = dup_strdup(cache.c_str());
    };
    if (cached) {
        // Files changed less than two seconds before a scan are not stored.
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
        ScanFixture first(root, {"tree/tmp/"});
        first.s.cache_path = dup_strdup(cache.c_str());
        dup_scan_worker(&first.s);
        ASSERT_EQ(first.s.progress.load(), 100) << first.s.error;
        testutil::write_file(kept, testutil::exists(cache) ? testutil::read_file(cache) : "");
        ASSERT_GT(testutil::read_file(kept).size(), 64u) << "no entry stored: the runs would not use the cache";
    }

    worker_reference ref;
    {
        ScanFixture rec(root, {"tree/tmp/"});
        prepare(rec);
        dup_scan_worker(&rec.s);
        ASSERT_EQ(rec.s.progress.load(), 100) << rec.s.error;
        ref.text = rec.s.results_json;
        ref.parsed = parse_results(rec.s.results_json);
        ref.files = rec.file_paths();
    }
    ASSERT_EQ(basic_problems(ref.parsed), "");
    std::vector<std::set<std::string>> ref_groups;
    for (const auto &g : ref.parsed.groups) ref_groups.emplace_back(g.files.begin(), g.files.end());
    std::sort(ref_groups.begin(), ref_groups.end());
    ASSERT_EQ(ref_groups, expected_groups(t)) << "the uninjected scan is wrong; nothing to compare with";

    long n = inject::each_allocation(cached ? "full scan with a cache" : "full scan", [&](long k) -> std::string {
        ScanFixture rec(root, {"tree/tmp/"});
        prepare(rec);
        allochook::watch(&rec.s.progress);
        allochook::arm(k);
        dup_scan_worker(&rec.s);
        allochook::disarm();
        allochook::watch(nullptr);
        const bool hit = allochook::hit();
        const int32_t stage = allochook::watched_at_hit();
        const int32_t progress = rec.s.progress.load();
        const std::string error = rec.s.error;

        if (progress == -1) {
            inject::outcome(error);
            if (!hit) return "failed without any failed allocation: " + error;
            const char *want = stage == 1 ? "walk failed" : stage < 96 ? "grouping failed" : "results json failed";
            if (error != want)
                return "ended with \"" + error + "\" at progress " + std::to_string(stage) + ", not \"" + want + "\"";
            if (rec.s.results_json) return "a results text was stored by a failed scan";
            // A grouping that ran out of memory leaves only whole groups.
            for (int32_t g = 0; g < rec.s.n_groups; g++) {
                const dup_group_t &grp = rec.s.groups[g];
                if (grp.n_files < 2) return "a stored group has fewer than two files";
                for (int32_t f = 0; f < grp.n_files; f++)
                    if (!grp.files[f]) return "a stored group has a missing path";
            }
            return "";
        }
        if (progress != 100 || !rec.s.results_json)
            return "neither done nor ended: progress " + std::to_string(progress);
        results_seen got = parse_results(rec.s.results_json);
        if (std::string p = basic_problems(got); !p.empty()) return p;
        if (ref.text == rec.s.results_json) {
            inject::outcome("identical text");
            return "";
        }
        if (!hit || stage == 96) return "results text differs from the reference";
        inject::outcome(stage == 1 ? "walk degraded" : "grouping degraded");
        if (stage == 1) return check_walk_allowance(got, rec.file_paths(), ref);
        return check_grouping_allowance(got, ref);
    });
    EXPECT_GT(n, 100);
}

}  // namespace

TEST(AllocFault, FullScanEndsInItsDefinedFailureOrTheCorrectResult) { full_scan_under_faults(false); }

TEST(AllocFault, CachedScanEndsInItsDefinedFailureOrTheCorrectResult) {
#ifdef _WIN32
    GTEST_SKIP() << "no cache is kept on Windows: the run would repeat the one above";
#endif
    full_scan_under_faults(true);
}

// The results text alone, on a record with escapes, non-ASCII paths, null
// entries and arrays past their first capacity: the text is whole or absent.
TEST(AllocFault, ResultsTextIsWholeOrAbsent) {
    auto fill = [](dup_scan_t &s) {
        std::memset(static_cast<void *>(&s), 0, sizeof s);
        s.n_groups = s.cap_groups = 20;
        s.groups = static_cast<dup_group_t *>(calloc(20, sizeof(dup_group_t)));
        for (int g = 0; g < 20; g++) {
            dup_group_t &grp = s.groups[g];
            grp.hash = uint64_t{0x0123456789abcdef} * static_cast<uint64_t>(g);
            grp.size = 1000 + g;
            grp.n_files = 3;
            grp.files = static_cast<char **>(calloc(3, sizeof(char *)));
            grp.files[0] = dup_strdup(("/data/\xc3\xa9t\xc3\xa9/" + std::to_string(g)).c_str());
            grp.files[1] = g % 5 == 0 ? nullptr : dup_strdup("/q\"uote\\back\tslash");
            grp.files[2] = dup_strdup(std::string(300, static_cast<char>('a' + g)).c_str());
        }
        s.n_skipped = s.cap_skipped = 40;
        s.skipped = static_cast<dup_skip_t *>(calloc(40, sizeof(dup_skip_t)));
        for (int k = 0; k < 40; k++) {
            s.skipped[k].path = k == 3 ? nullptr : dup_strdup(("/skip/\x01/" + std::to_string(k)).c_str());
            s.skipped[k].reason = static_cast<dup_skip_reason>(k % DUP_SKIP_REASON_COUNT);
        }
        s.wasted_bytes = 123456789;
        s.scanned_files = 77;
    };
    std::string ref;
    {
        dup_scan_t s;
        fill(s);
        ASSERT_EQ(dup_build_results_json(&s), DUP_OK);
        ref = s.results_json;
        free_scan_data(&s);
    }
    long n = inject::each_allocation("results text", [&](long k) -> std::string {
        dup_scan_t s;
        fill(s);
        char *before = dup_strdup("earlier text");
        s.results_json = before;
        allochook::arm(k);
        const dup_result r = dup_build_results_json(&s);
        allochook::disarm();
        std::string problem;
        inject::outcome(r == DUP_OK ? "whole text" : "failed");
        if (r == DUP_OK) {
            if (ref != s.results_json) problem = "a text other than the whole one was stored";
        } else if (r != DUP_NOMEM || s.results_json != before) {
            problem = "failure changed the stored text";
        } else if (!allochook::hit()) {
            problem = "failed without any failed allocation";
        }
        free_scan_data(&s);
        return problem;
    });
    EXPECT_GT(n, 3);
}

// A scan start with options and several roots: it fails with one of its
// messages and leaves no slot taken, or it holds exactly the request, where
// only a root that could not be canonicalised may be missing from the
// canonical list (the delete then refuses what lies below it).
TEST(AllocFault, ScanStartFailsWithItsMessageOrHoldsTheRequest) {
    TempDir d;
    const std::string dir_root = d / "r1", file_root = d / "file", missing = d / "missing";
    testutil::make_dir(dir_root);
    write_file(dir_root + "/x", "xx");
    write_file(file_root, "yy");
    const std::string dirs = "[" + json_str(dir_root) + ",7," + json_str(file_root) + ",\"\"," + json_str(missing) +
                             "," + json_str(dir_root) + "]";
    const char *options = R"({"min_size":0,"follow_symlinks":true,"max_files":100,"exclude":["skip",3,"tmp"]})";
    const std::vector<std::string> want_roots{dir_root, file_root, missing, dir_root};
    char *rd = realpath(dir_root.c_str(), nullptr);
    char *rf = realpath(file_root.c_str(), nullptr);
    const std::vector<std::string> want_real{rd, rf, rd};
    free(rd);
    free(rf);

    long n = inject::each_allocation("scan start", [&](long k) -> std::string {
        allochook::arm(k);
        int id = dupfind_scan_start(dirs.c_str(), options);
        allochook::disarm();
        const std::string err = dupfind_last_error();
        const bool hit = allochook::hit();
        inject::outcome(id < 0 ? err : "started");
        if (id < 0) {
            if (!hit) return "failed without any failed allocation: " + err;
            static const std::set<std::string> allowed{"oom", "invalid options_json", "invalid dirs_json",
                                                       "pthread_create failed"};
            if (!allowed.count(err)) return "failed with \"" + err + "\"";
            g_mu.lock();
            bool taken = dup_scan_get(1) != nullptr;
            g_mu.unlock();
            return taken ? "the failed start kept its slot" : "";
        }
        if (!err.empty()) return "succeeded with error text \"" + err + "\"";

        std::string problem;
        g_mu.lock();
        dup_scan_t *s = dup_scan_get(id);
        if (s->n_roots != 4) problem = "n_roots " + std::to_string(s->n_roots);
        // A root or pattern that got no copy fails the start: a started scan
        // holds every one of them.
        for (int32_t i = 0; problem.empty() && i < s->n_roots; i++)
            if (!s->roots[i] || want_roots[static_cast<size_t>(i)] != s->roots[i])
                problem = "root " + std::to_string(i) + " wrong";
        size_t w = 0;
        for (int32_t i = 0; problem.empty() && i < s->n_real_roots; i++) {
            while (w < want_real.size() && (!s->real_roots[i] || want_real[w] != s->real_roots[i])) w++;
            if (w++ >= want_real.size()) problem = "canonical root " + std::to_string(i) + " wrong";
        }
        if (problem.empty() && !hit && s->n_real_roots != 3) problem = "canonical roots missing";
        if (problem.empty() && (s->min_size != 0 || s->follow_symlinks != 1 || s->max_files != 100))
            problem = "options wrong";
        if (problem.empty() && s->n_exclude != 3) problem = "n_exclude " + std::to_string(s->n_exclude);
        if (problem.empty() && (!s->exclude[0] || strcmp(s->exclude[0], "skip") != 0 || s->exclude[1] ||
                                !s->exclude[2] || strcmp(s->exclude[2], "tmp") != 0))
            problem = "exclude entries wrong";
        g_mu.unlock();

        int p = testutil::wait_for_scan(dupfind_scan_progress, id);
        if (problem.empty() && p != 100) problem = "the scan ended with " + std::to_string(p);
        // Cleanup for the leak check only: the library itself never gives a
        // started scan's slot back. The worker stores its final progress,
        // which wait_for_scan waited for, after it has released everything
        // it allocated and touches the slot no more.
        g_mu.lock();
        dup_scan_release(dup_scan_get(id));
        g_mu.unlock();
        return problem;
    });
    EXPECT_GT(n, 5);
}

// A copy of the results text: the whole text, or null with "oom".
TEST(AllocFault, ResultsCopyIsWholeOrOom) {
    TempDir d;
    write_file(d / "a", "same");
    write_file(d / "b", "same");
    const std::string dirs = "[" + json_str(d.path()) + "]";
    long n = inject::each_allocation("results copy", [&](long k) -> std::string {
        int id = dupfind_scan_start(dirs.c_str(), nullptr);
        if (id < 0 || testutil::wait_for_scan(dupfind_scan_progress, id) != 100) return "setup scan failed";
        char *ref = dupfind_scan_results(id);
        allochook::arm(k);
        char *copy = dupfind_scan_results(id);
        allochook::disarm();
        std::string problem;
        inject::outcome(copy ? "whole copy" : dupfind_last_error());
        if (copy ? strcmp(copy, ref) != 0 || *dupfind_last_error()
                 : strcmp(dupfind_last_error(), "oom") != 0 || !allochook::hit())
            problem = std::string("copy ") + (copy ? "differs" : "missing") + ", error \"" + dupfind_last_error() +
                      "\"";
        dupfind_free_string(copy);
        dupfind_free_string(ref);
        return problem;
    });
    EXPECT_GE(n, 1);
}

// Deletes: a failed allocation may refuse a delete that would have been
// allowed, but never lets through one that must be refused.
TEST(AllocFault, DeleteNeverPassesAGuard) {
    TempDir d;
    const std::string root = d / "root", outside = d / "outside", victim = root + "/victim";
    testutil::make_dir(root);
    testutil::make_dir(root + "/dir");
    write_file(outside, "keep");
    const bool links = !testutil::symlinks_unavailable();
    if (links) testutil::make_symlink(outside, root + "/link-out");
    const std::string dirs = "[" + json_str(root) + "]";

    long n = inject::each_allocation("deletes", [&](long k) -> std::string {
        write_file(victim, "delete me");
        int id = dupfind_scan_start(dirs.c_str(), nullptr);
        if (id < 0 || testutil::wait_for_scan(dupfind_scan_progress, id) != 100) return "setup scan failed";
        struct attempt {
            std::string path;
            int result;
            std::string error;
        };
        std::vector<attempt> tries{{victim, 0, ""},
                                   {outside, 0, ""},
                                   {root + "/link-out", 0, ""},
                                   {root + "/dir/../victim", 0, ""},
                                   {root + "/dir", 0, ""}};
        // Nothing but the library may allocate while the hook is armed.
        char errors[5][DUP_ERR_LEN];
        allochook::arm(k);
        for (size_t i = 0; i < tries.size(); i++) {
            tries[i].result = dupfind_delete_file(tries[i].path.c_str());
            snprintf(errors[i], sizeof errors[i], "%s", dupfind_last_error());
        }
        allochook::disarm();
        for (size_t i = 0; i < tries.size(); i++) tries[i].error = errors[i];
        const bool hit = allochook::hit();

        const attempt &v = tries[0];
        inject::outcome(std::to_string(v.result) + " " + v.error);
        bool victim_gone = !testutil::exists(victim);
        bool allowed_outcome = (v.result == 1 && v.error.empty() && victim_gone) ||
                               (hit && !victim_gone &&
                                ((v.result == 0 && v.error == "refused: outside scanned roots") ||
                                 (v.result == -1 && v.error.rfind("unlink failed", 0) == 0)));
        if (!allowed_outcome) return "delete inside the root gave " + std::to_string(v.result) + " \"" + v.error + "\"";
        const std::vector<std::pair<int, std::string>> refusals{{0, "refused: outside scanned roots"},
                                                                {0, "refused: symlink"},
                                                                {0, "refused: path contains .."},
                                                                {0, "refused: directory"}};
        // A path that could not be examined for lack of memory (where the
        // status query allocates, as on Windows) is refused as one that
        // cannot be placed: a refusal still, never a removal or an error.
        for (size_t i = 1; i < tries.size(); i++) {
            if (i == 2 && !links) continue;  // no link was made
            const bool unexamined = hit && tries[i].result == 0 && tries[i].error == refusals[0].second;
            if (!unexamined && (tries[i].result != refusals[i - 1].first || tries[i].error != refusals[i - 1].second))
                return tries[i].path + " gave " + std::to_string(tries[i].result) + " \"" + tries[i].error + "\"";
        }
        if (!testutil::exists(outside)) return "the file outside the roots is gone";
        return "";
    });
    EXPECT_GE(n, 1);
}

// Files given as roots: a failed allocation may keep the unchanged one, but
// the one that another file was renamed over since its scan is refused
// whatever fails, and neither leaves a name of the delete's own behind.
TEST(AllocFault, FileRootDeleteNeverTakesAnotherFile) {
    namespace fs = std::filesystem;
    TempDir d;
    const std::string dir = d / "songs", replaced = dir + "/a.mp3", kept = dir + "/b.mp3";
    testutil::make_dir(dir);

    long n = inject::each_allocation("file root deletes", [&](long k) -> std::string {
        write_file(replaced, "scanned");
        write_file(kept, "scanned");
        const std::string dirs = "[" + json_str(replaced) + "," + json_str(kept) + "]";
        int id = dupfind_scan_start(dirs.c_str(), nullptr);
        if (id < 0 || testutil::wait_for_scan(dupfind_scan_progress, id) != 100) return "setup scan failed";
        write_file(d / "saved", "never compared");
        fs::rename(d / "saved", replaced);

        char errors[2][DUP_ERR_LEN];
        int results[2];
        allochook::arm(k);
        results[0] = dupfind_delete_file(replaced.c_str());
        snprintf(errors[0], sizeof errors[0], "%s", dupfind_last_error());
        results[1] = dupfind_delete_file(kept.c_str());
        snprintf(errors[1], sizeof errors[1], "%s", dupfind_last_error());
        allochook::disarm();
        const bool hit = allochook::hit();
        inject::outcome(std::to_string(results[1]) + " " + errors[1]);

        if (results[0] != 0 || strcmp(errors[0], "refused: outside scanned roots") != 0)
            return "the replaced root gave " + std::to_string(results[0]) + " \"" + errors[0] + "\"";
        if (!testutil::exists(replaced) || testutil::read_file(replaced) != "never compared")
            return "the file renamed over the root is gone";
        const bool gone = !testutil::exists(kept);
        const bool allowed = (results[1] == 1 && !*errors[1] && gone) ||
                             (hit && !gone && results[1] == 0 &&
                              strcmp(errors[1], "refused: outside scanned roots") == 0);
        if (!allowed) return "the unchanged root gave " + std::to_string(results[1]) + " \"" + errors[1] + "\"";
        const auto names = std::distance(fs::directory_iterator(dir), fs::directory_iterator());
        if (names != (gone ? 1 : 2)) return std::to_string(names) + " names left beside the roots";
        fs::remove(kept);
        return "";
    });
    EXPECT_GE(n, 1);
}
