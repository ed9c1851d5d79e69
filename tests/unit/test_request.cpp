// SPDX-License-Identifier: MIT
// Request parsing, seen from inside: after a start, the slot's fields are
// inspected directly, and every start message comes in its order.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dupfind.h"
#include "scan_table.h"
#include "test_util.h"

namespace {

struct OptionsSeen {
    int64_t min_size;
    int32_t follow;
    int64_t max_files;
    std::vector<const char *> exclude;  // nullptr for a null entry
};

// Starts a scan of an empty directory with the given options and returns
// what the slot holds.
OptionsSeen start_and_read(const testutil::TempDir &d, const char *options) {
    std::string dirs = "[" + testutil::json_str(d.path()) + "]";
    int id = dupfind_scan_start(dirs.c_str(), options);
    EXPECT_GT(id, 0) << dupfind_last_error() << " for " << (options ? options : "(null)");
    g_mu.lock();
    dup_scan_t *s = dup_scan_get(id);
    OptionsSeen seen{};
    if (s) {
        seen.min_size = s->min_size;
        seen.follow = s->follow_symlinks;
        seen.max_files = s->max_files;
        for (int i = 0; i < s->n_exclude; i++) seen.exclude.push_back(s->exclude[i]);
    }
    g_mu.unlock();
    testutil::wait_for_scan(dupfind_scan_progress, id);
    return seen;
}

}  // namespace

TEST(Request, OptionsTable) {
    testutil::TempDir d;
    struct Case {
        const char *options;
        int64_t min_size;
        int32_t follow;
        int64_t max_files;
    };
    const Case cases[] = {
        {nullptr, 1, 0, 0},
        {"", 1, 0, 0},
        {"null", 1, 0, 0},
        {"{}", 1, 0, 0},
        {R"({"min_size": 1.5})", 1, 0, 0},
        {R"({"min_size": "10"})", 1, 0, 0},
        {R"({"min_size": true})", 1, 0, 0},
        {R"({"min_size": 1e3})", 1, 0, 0},
        {R"({"min_size": 0})", 0, 0, 0},
        {R"({"min_size": -1})", -1, 0, 0},
        // Above the signed range: larger than any file, not a negative floor
        // that would admit every file.
        {R"({"min_size": 18446744073709551615})", INT64_MAX, 0, 0},
        {R"({"min_size": 9223372036854775808})", INT64_MAX, 0, 0},
        {R"({"max_files": 18446744073709551615})", 1, 0, INT64_MAX},
        // Beyond 64 bits an integer reads as a real, and is ignored.
        {R"({"min_size": 18446744073709551616})", 1, 0, 0},
        {R"({"follow_symlinks": true})", 1, 1, 0},
        {R"({"follow_symlinks": 2})", 1, 1, 0},
        {R"({"follow_symlinks": false})", 1, 0, 0},
        {R"({"follow_symlinks": 0})", 1, 0, 0},
        {R"({"follow_symlinks": 4294967296})", 1, 0, 0},  // low 32 bits all zero
        {R"({"follow_symlinks": 4294967297})", 1, 1, 0},
        {R"({"follow_symlinks": -1})", 1, 1, 0},
        {R"({"follow_symlinks": "yes"})", 1, 0, 0},
        {R"({"max_files": 4294967301})", 1, 0, 4294967301LL},
        {R"({"max_files": -3})", 1, 0, -3},
        // Only the first occurrence of a key is looked at.
        {R"({"min_size": "x", "min_size": 5})", 1, 0, 0},
        {R"({"min_size": 5, "min_size": 7})", 5, 0, 0},
        // Keys are case-sensitive and compared after their escapes.
        {R"({"Min_Size": 5})", 1, 0, 0},
        {R"({"min\u005fsize": 6})", 6, 0, 0},
        {R"({"other": 1, "max_files": 9})", 1, 0, 9},
    };
    for (const Case &c : cases) {
        OptionsSeen seen = start_and_read(d, c.options);
        SCOPED_TRACE(c.options ? c.options : "(null)");
        EXPECT_EQ(seen.min_size, c.min_size);
        EXPECT_EQ(seen.follow, c.follow);
        EXPECT_EQ(seen.max_files, c.max_files);
        EXPECT_TRUE(seen.exclude.empty());
    }
}

// The later option keys: each takes its own type and range, and a request
// without them leaves the settings that change nothing.
TEST(Request, LaterOptionKeys) {
    testutil::TempDir d;
    const std::string dirs = "[" + testutil::json_str(d.path()) + "]";
    struct Case {
        const char *options;
        int32_t hard_links, skip_hidden, one_fs;
        int64_t max_size, max_depth;
        std::vector<std::string> globs;
    } cases[] = {
        {"{}", 1, 0, 0, -1, -1, {}},
        {R"({"hard_links": false, "skip_hidden": true, "one_file_system": true, "max_size": 10, "max_depth": 2,
             "exclude_glob": ["*.iso", "**/.git", "cache/", "./[[:digit:]]*"]})",
         0,
         1,
         1,
         10,
         2,
         {"*.iso", "**/.git", "cache/", "./[[:digit:]]*"}},
        {R"({"max_size": 9223372036854775807, "max_depth": 1, "exclude_glob": []})", 1, 0, 0, INT64_MAX, 1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        const int id = dupfind_scan_start(dirs.c_str(), c.options);
        ASSERT_GT(id, 0) << dupfind_last_error();
        g_mu.lock();
        const dup_scan_t *s = dup_scan_get(id);
        EXPECT_EQ(s->hard_links, c.hard_links);
        EXPECT_EQ(s->skip_hidden, c.skip_hidden);
        EXPECT_EQ(s->one_file_system, c.one_fs);
        EXPECT_EQ(s->max_size, c.max_size);
        EXPECT_EQ(s->max_depth, c.max_depth);
        std::vector<std::string> globs;
        for (int32_t i = 0; i < s->n_exclude_glob; i++)
            globs.emplace_back(s->exclude_glob[i] ? s->exclude_glob[i] : "(null)");
        EXPECT_EQ(globs, c.globs);
        g_mu.unlock();
        testutil::wait_for_scan(dupfind_scan_progress, id);
    }
}

// A value of the wrong type or range for a later key is refused rather
// than read as the key's absence: the scan it would run is not the one
// asked for. So is a pattern the matcher cannot mean, and one holding a
// NUL, which would cut it short.
TEST(Request, LaterOptionKeysRefuseWrongValues) {
    testutil::TempDir d;
    const std::string dirs = "[" + testutil::json_str(d.path()) + "]";
    const char *refused[] = {
        R"({"hard_links": 0})",
        R"({"hard_links": null})",
        R"({"skip_hidden": 1})",
        R"({"skip_hidden": "yes"})",
        R"({"one_file_system": "yes"})",
        R"({"one_file_system": []})",
        R"({"max_size": -1})",
        R"({"max_size": 1.5})",
        R"({"max_size": 10.0})",
        R"({"max_size": "10"})",
        R"({"max_size": 18446744073709551615})",
        R"({"max_depth": -1})",
        R"({"max_depth": 0})",  // levels count from 1, the root's own entries
        R"({"max_depth": "1"})",
        R"({"max_depth": 1e300})",
        R"({"max_depth": 1e2})",
        R"({"max_depth": true})",
        R"({"newer_than": 1.5})",
        R"({"newer_than": "2024-05-01"})",
        R"({"newer_than": null})",
        R"({"older_than": 18446744073709551615})",
        R"({"older_than": false})",
        R"({"include_glob": "*.jpg"})",
        R"({"include_glob": ["*.jpg", 1]})",
        R"({"include_glob": ["cache/"]})",
        R"({"include_glob": ["[abc"]})",
        R"({"include_glob": ["a\u0000b"]})",
        R"({"glob_ignore_case": 1})",
        R"({"glob_ignore_case": "yes"})",
        R"({"exclude_glob": "big"})",
        R"({"exclude_glob": ["a", 5]})",
        R"({"exclude_glob": [null]})",
        R"({"exclude_glob": {}})",
        R"({"exclude_glob": ["a\u0000b"]})",
        R"({"exclude_glob": [""]})",
        R"({"exclude_glob": ["[abc"]})",
        R"({"exclude_glob": ["a**b"]})",
        R"({"exclude_glob": ["a/../b"]})",
        R"({"cache": 5})",
        R"({"cache": ""})",
        R"({"cache": ["/tmp/c"]})",
        R"({"cache": "/tmp/c\u0000x"})",
        R"({"cache": "/tmp/\udc00"})",
        R"({"cache_keep_scans": 0})",
        R"({"cache_keep_scans": "3"})",
        R"({"cache_keep_scans": 1.5})",
        // The first occurrence of a key is the one read, and checked.
        R"({"max_depth": "1", "max_depth": 1})",
    };
    for (const char *options : refused) {
        SCOPED_TRACE(options);
        EXPECT_EQ(dupfind_scan_start(dirs.c_str(), options), -1);
        EXPECT_STREQ(dupfind_last_error(), "invalid options_json");
    }
}

TEST(Request, ExcludeEntries) {
    testutil::TempDir d;
    OptionsSeen seen = start_and_read(d, R"({"exclude": ["tmp", 5, "cache"]})");
    ASSERT_EQ(seen.exclude.size(), 3u);
    EXPECT_STREQ(seen.exclude[0], "tmp");
    EXPECT_EQ(seen.exclude[1], nullptr);
    EXPECT_STREQ(seen.exclude[2], "cache");
    EXPECT_TRUE(start_and_read(d, R"({"exclude": []})").exclude.empty());
    EXPECT_TRUE(start_and_read(d, R"({"exclude": "tmp"})").exclude.empty());
}

TEST(Request, RootsKeptExactlyAsGiven) {
    testutil::TempDir d;
    testutil::make_dir(d / "sub");
    std::string root_slash = d.path() + "/sub/";
    std::string dirs = "[1, null, \"\", " + testutil::json_str(root_slash) + ", {}, " +
                       testutil::json_str(d / "missing") + ", " + testutil::json_str(root_slash) + "]";
    int id = dupfind_scan_start(dirs.c_str(), nullptr);
    ASSERT_GT(id, 0) << dupfind_last_error();
    g_mu.lock();
    dup_scan_t *s = dup_scan_get(id);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->n_roots, 3);
    EXPECT_EQ(std::string(s->roots[0]), root_slash);
    EXPECT_EQ(std::string(s->roots[1]), d / "missing");
    EXPECT_EQ(std::string(s->roots[2]), root_slash);
    // Canonical forms only for roots that exist: the missing one has none.
    char *canon = realpath((d / "sub").c_str(), nullptr);
    ASSERT_EQ(s->n_real_roots, 2);
    EXPECT_STREQ(s->real_roots[0], canon);
    EXPECT_STREQ(s->real_roots[1], canon);
    free(canon);
    g_mu.unlock();
    testutil::wait_for_scan(dupfind_scan_progress, id);
}

TEST(Request, StartMessagesInCheckOrder) {
    testutil::TempDir d;
    std::string good = "[" + testutil::json_str(d.path()) + "]";
    struct Case {
        const char *dirs;
        const char *options;
        const char *message;
    };
    const Case cases[] = {
        {nullptr, "{", "NULL dirs_json"},
        {"", "{", "invalid options_json"},  // the options are examined first
        {good.c_str(), " null", "options_json must be object"},
        {good.c_str(), "NULL", "invalid options_json"},
        {good.c_str(), "[]", "options_json must be object"},
        {good.c_str(), "7", "options_json must be object"},
        {good.c_str(), "{\"a\":1,}", "invalid options_json"},
        {good.c_str(), "{} x", "invalid options_json"},
        {good.c_str(), "{/*c*/}", "invalid options_json"},
        {good.c_str(), "{\"min_size\": NaN}", "invalid options_json"},
        {good.c_str(), "{\"a\":\"\xff\"}", "invalid options_json"},
        // A NUL inside a pattern would cut it to nothing: every entry excluded.
        {good.c_str(), "{\"exclude\":[\"x\", \"\\u0000\"]}", "invalid options_json"},
        {"", "{}", "dirs_json required"},
        {"", nullptr, "dirs_json required"},
        {"[", nullptr, "invalid dirs_json"},
        {"[\"a\",]", nullptr, "invalid dirs_json"},
        // A NUL inside a root would cut it to the directory above.
        {"[\"/tmp\\u0000/restricted\"]", nullptr, "invalid dirs_json"},
        {"{}", nullptr, "dirs_json must be array"},
        {"\"/tmp\"", nullptr, "dirs_json must be array"},
        {"[]", nullptr, "dirs_json empty"},
        {"[1, null, \"\"]", nullptr, "no valid directories"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(dupfind_scan_start(c.dirs, c.options), -1);
        EXPECT_STREQ(dupfind_last_error(), c.message);
    }
    // Every failed start gave its slot back: all 32 are still free.
    for (int i = 0; i < DUP_MAX_SCANS; i++)
        ASSERT_GT(dupfind_scan_start(good.c_str(), nullptr), 0) << dupfind_last_error();
}

TEST(Request, DeeplyNestedRequestParsesWithoutRecursion) {
    testutil::TempDir d;
    constexpr size_t depth = 1000000;
    std::string options = "{\"exclude\":[\"x\"],\"deep\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    std::string dirs = "[" + testutil::json_str(d.path()) + "," + std::string(depth, '[') + std::string(depth, ']') +
                       "]";
    int id = dupfind_scan_start(dirs.c_str(), options.c_str());
    ASSERT_GT(id, 0) << dupfind_last_error();
    EXPECT_EQ(testutil::wait_for_scan(dupfind_scan_progress, id), 100);
    // Unbalanced nesting is still rejected.
    EXPECT_EQ(dupfind_scan_start((std::string(depth, '[') + "]").c_str(), nullptr), -1);
    EXPECT_STREQ(dupfind_last_error(), "invalid dirs_json");
}
