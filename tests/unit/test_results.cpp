// SPDX-License-Identifier: MIT
// The results text, built from hand-made scan records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "results.h"
#include "scan.h"

namespace {

// A scan record that owns its data and frees it at the end of the test.
struct Record {
    dup_scan_t s;
    Record() { std::memset(static_cast<void *>(&s), 0, sizeof s); }
    ~Record() { free_scan_data(&s); }

    void add_group(uint64_t hash, int64_t size, std::vector<const char *> paths) {
        s.groups = static_cast<dup_group_t *>(
            realloc(s.groups, sizeof(dup_group_t) * static_cast<size_t>(s.n_groups + 1)));
        dup_group_t &g = s.groups[s.n_groups++];
        g.hash = hash;
        g.size = size;
        g.n_files = static_cast<int32_t>(paths.size());
        g.packed = 0;  // each path a heap copy of its own
        g.files = static_cast<char **>(calloc(paths.size(), sizeof(char *)));
        for (size_t i = 0; i < paths.size(); i++) g.files[i] = dup_strdup(paths[i]);
        s.cap_groups = s.n_groups;
    }
    void add_skip(const char *path, dup_skip_reason reason) {
        s.skipped = static_cast<dup_skip_t *>(
            realloc(s.skipped, sizeof(dup_skip_t) * static_cast<size_t>(s.n_skipped + 1)));
        s.skipped[s.n_skipped++] = {dup_strdup(path), reason};
        s.cap_skipped = s.n_skipped;
    }
    std::string build() {
        if (dup_build_results_json(&s) != DUP_OK) return "(failed)";
        return s.results_json;
    }
};

}  // namespace

TEST(Results, WorkedExampleForm) {
    Record r;
    r.add_group(0x3c9a61f0d2b7e845ULL, 1048576, {"/data/a/report.pdf", "/data/b/report.pdf"});
    r.s.wasted_bytes = 1048576;
    r.s.scanned_files = 2;
    r.add_skip("/data/b/latest", DUP_SKIP_SYMLINK);
    EXPECT_EQ(
        r.build(),
        R"({"groups":[{"hash":"3c9a61f0d2b7e845","size":1048576,"files":["/data/a/report.pdf","/data/b/report.pdf"]}],"wasted_bytes":1048576,"scanned_files":2,"skipped":[{"path":"/data/b/latest","reason":"symlink"}]})");
}

TEST(Results, EmptyScan) {
    Record r;
    r.s.scanned_files = 7;
    EXPECT_EQ(r.build(), R"({"groups":[],"wasted_bytes":0,"scanned_files":7,"skipped":[]})");
}

TEST(Results, HashDigitsAndLargeNumbers) {
    Record r;
    r.add_group(0, 1, {"a", "b"});
    r.add_group(31, 2, {"c", "d"});
    r.add_group(UINT64_MAX, INT64_MAX, {"e", "f"});
    r.s.wasted_bytes = INT64_MAX;
    r.s.scanned_files = 6;
    std::string t = r.build();
    EXPECT_NE(t.find(R"("hash":"0000000000000000","size":1)"), std::string::npos) << t;
    EXPECT_NE(t.find(R"("hash":"000000000000001f","size":2)"), std::string::npos) << t;
    EXPECT_NE(t.find(R"("hash":"ffffffffffffffff","size":9223372036854775807)"), std::string::npos) << t;
    EXPECT_NE(t.find(R"("wasted_bytes":9223372036854775807)"), std::string::npos) << t;
}

TEST(Results, NullStrings) {
    Record r;
    r.add_group(1, 5, {"x", nullptr, "y"});  // a null path is left out
    r.add_skip(nullptr, DUP_SKIP_EXCLUDE);   // a null path becomes ""
    EXPECT_EQ(
        r.build(),
        R"({"groups":[{"hash":"0000000000000001","size":5,"files":["x","y"]}],"wasted_bytes":0,"scanned_files":0,"skipped":[{"path":"","reason":"exclude"}]})");
}

// A record whose reason has no name in the table cannot be written: the
// text fails whole rather than carry an empty or invented reason.
TEST(Results, ReasonOutsideTheTableFailsTheWholeText) {
    Record r;
    r.s.results_json = dup_strdup("old");
    r.add_skip("/p", DUP_SKIP_SYMLINK);
    r.add_skip("/q", static_cast<dup_skip_reason>(DUP_SKIP_REASON_COUNT));
    EXPECT_EQ(dup_build_results_json(&r.s), DUP_FAILED);
    EXPECT_STREQ(r.s.results_json, "old");
}

TEST(Results, EscapingKeepsSlashAndNonAscii) {
    Record r;
    r.add_skip("/d/q\"b\\c\x01\t\n\x7f/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", DUP_SKIP_SYMLINK);
    EXPECT_EQ(r.build(),
              "{\"groups\":[],\"wasted_bytes\":0,\"scanned_files\":0,\"skipped\":[{\"path\":"
              "\"/d/q\\\"b\\\\c\\u0001\\t\\n\x7f/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\","
              "\"reason\":\"symlink\"}]}");
}

TEST(Results, InvalidUtf8FailsTheWholeText) {
    const char *bad[] = {"/a/\xff", "/a/\xc3", "/a/\xc0\xaf", "/a/\xed\xa0\x80", "/a/\xf4\x90\x80\x80"};
    for (const char *p : bad) {
        Record r;
        r.s.results_json = dup_strdup("old");
        r.add_group(1, 1, {"/ok", p});
        EXPECT_EQ(dup_build_results_json(&r.s), DUP_FAILED) << p;
        EXPECT_STREQ(r.s.results_json, "old");  // left as it was
    }
}

TEST(Results, RebuildReplacesText) {
    Record r;
    r.s.results_json = dup_strdup("old");
    ASSERT_EQ(dup_build_results_json(&r.s), DUP_OK);
    EXPECT_EQ(std::string(r.s.results_json), R"({"groups":[],"wasted_bytes":0,"scanned_files":0,"skipped":[]})");
}
