// SPDX-License-Identifier: MIT
// Faults that fuzzing found, each pinned down by name. Their inputs are in
// the seed corpus too, so the corpus replay covers them under the sanitizers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dupfind.h"
#include "glob.h"
#include "results.h"
#include "scan.h"
#include "test_util.h"

// A \u escape of a lone low surrogate decodes to bytes that are not UTF-8.
// Such a root could never be written into the results text, so the request
// is as malformed as one with a bad byte; a proper pair is accepted.
TEST(Findings, LoneSurrogateEscapeInARequestStringIsInvalidJson) {
    testutil::TempDir d;
    EXPECT_EQ(dupfind_scan_start(R"(["\udc00"])", nullptr), -1);
    EXPECT_STREQ(dupfind_last_error(), "invalid dirs_json");
    EXPECT_EQ(dupfind_scan_start(R"(["a", "x\udfff"])", nullptr), -1);
    EXPECT_STREQ(dupfind_last_error(), "invalid dirs_json");

    const std::string dirs = "[" + testutil::json_str(d.path()) + "]";
    EXPECT_EQ(dupfind_scan_start(dirs.c_str(), R"({"exclude":["ok","\udc00"]})"), -1);
    EXPECT_STREQ(dupfind_last_error(), "invalid options_json");

    const std::string pair = "[" + testutil::json_str(d.path()) + R"(,"\ud83d\ude00"])";
    int id = dupfind_scan_start(pair.c_str(), R"({"exclude":["\ud83d\ude00"]})");
    ASSERT_GT(id, 0) << dupfind_last_error();
    EXPECT_EQ(testutil::wait_for_scan(dupfind_scan_progress, id), 100);
}

// A string that ends inside a multi-byte sequence made the writer's own
// validation read past the string's terminator (AddressSanitizer:
// heap-buffer-overflow). It must simply fail the results text.
TEST(Findings, StringCutInsideASequenceFailsTheResultsText) {
    for (const char *bad : {"/x\xf1", "/x\xf1\x80", "/x\xf1\x80\x80", "/x\xee", "/x\xee\x80", "\xc3"}) {
        dup_scan_t s;
        std::memset(static_cast<void *>(&s), 0, sizeof s);
        s.n_skipped = s.cap_skipped = 1;
        s.skipped = static_cast<dup_skip_t *>(calloc(1, sizeof(dup_skip_t)));
        s.skipped[0] = {dup_strdup(bad), DUP_SKIP_SYMLINK};
        EXPECT_EQ(dup_build_results_json(&s), DUP_FAILED) << "for " << testing::PrintToString(bad);
        EXPECT_EQ(s.results_json, nullptr);
        free_scan_data(&s);
    }
}

// A byte of a file name that starts no UTF-8 sequence was tested against a
// set as the code point of the same number: "\xE9" was in "[à-ÿ]" and not
// in "[!é]", though a literal 'é' rightly does not match it. Such a byte is
// in no set, range or class; '?' and a negated set still take it.
TEST(Findings, ByteThatIsNoCharacterIsInNoSet) {
    struct Case {
        const char *pattern, *text;
        bool match;
    } const cases[] = {
        {"[\xc3\xa0-\xc3\xbf]", "\xe9", false},
        {"[!\xc3\xa9]", "\xe9", true},
        {"[[:alpha:]]", "\xc1", false},
        {"[!a-z]", "\xff", true},
        {"?", "\xe9", true},
        {"[\xc3\xa0-\xc3\xbf]", "\xc3\xa9", true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(dup_glob_match(c.pattern, c.text), c.match) << testing::PrintToString(c.pattern);
        EXPECT_EQ(dup_glob_match(c.pattern, c.text, true), c.match) << testing::PrintToString(c.pattern) << " folded";
    }
}
