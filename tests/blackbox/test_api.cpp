// SPDX-License-Identifier: MIT
// The interface seen from a host: only dupfind.h and the shared library.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dupfind.h"
#include "test_util.h"

namespace {

std::string dirs_of(const std::string &root) { return "[" + testutil::json_str(root) + "]"; }

}  // namespace

TEST(Api, QueriesOnUnknownIds) {
    for (int id : {0, -1, 1, 7, 2147483647}) {
        EXPECT_EQ(dupfind_scan_progress(id), -1);
        EXPECT_STREQ(dupfind_last_error(), "invalid scan_id");
        EXPECT_EQ(dupfind_scan_results(id), nullptr);
        EXPECT_STREQ(dupfind_last_error(), "invalid scan_id");
        EXPECT_EQ(dupfind_cancel(id), -1);
        EXPECT_STREQ(dupfind_last_error(), "invalid scan_id");
    }
    dupfind_free_string(nullptr);  // a no-op, and it keeps the error text
    EXPECT_STREQ(dupfind_last_error(), "invalid scan_id");
}

TEST(Api, FinishedScanResultsAreSeparateCopies) {
    testutil::TempDir d;
    testutil::write_file(d / "a.txt", "same");
    testutil::write_file(d / "b.txt", "same");
    // A link beside them, where one can be made, is reported and not collected.
    const bool link = testutil::symlinks_unavailable() == nullptr;
    if (link) testutil::make_symlink("a.txt", d / "latest");
    int id = dupfind_scan_start(dirs_of(d.path()).c_str(), nullptr);
    ASSERT_EQ(id, 1) << dupfind_last_error();
    ASSERT_EQ(testutil::wait_for_scan(dupfind_scan_progress, id), 100) << dupfind_last_error();
    EXPECT_STREQ(dupfind_last_error(), "");
    char *r1 = dupfind_scan_results(id);
    char *r2 = dupfind_scan_results(id);
    ASSERT_NE(r1, nullptr);
    ASSERT_NE(r2, nullptr);
    EXPECT_NE(r1, r2);
    EXPECT_STREQ(r1, r2);
    std::string text = r1;
    EXPECT_NE(text.find("\"scanned_files\":2"), std::string::npos) << text;
    if (link) {
        EXPECT_NE(text.find("{\"path\":" + testutil::json_str(d / "latest") + ",\"reason\":\"symlink\"}"),
                  std::string::npos)
            << text;
    }
    dupfind_free_string(r1);
    dupfind_free_string(r2);
    // A cancel after the end changes nothing.
    EXPECT_EQ(dupfind_cancel(id), 0);
    EXPECT_EQ(dupfind_scan_progress(id), 100);
    char *r3 = dupfind_scan_results(id);
    ASSERT_NE(r3, nullptr);
    dupfind_free_string(r3);
}

TEST(Api, CancelledScanReportsCancelledEveryTime) {
    testutil::TempDir d;
    // Enough same-size files that the scan is still busy when the cancel
    // arrives; should it finish first, the cancel must leave it complete.
    for (int i = 0; i < 3000; i++)
        testutil::write_file(d / ("f" + std::to_string(i)), std::string(512, static_cast<char>('a' + i % 7)));
    int id = dupfind_scan_start(dirs_of(d.path()).c_str(), nullptr);
    ASSERT_GT(id, 0);
    ASSERT_EQ(dupfind_cancel(id), 0);
    EXPECT_STREQ(dupfind_last_error(), "");
    int p = testutil::wait_for_scan(dupfind_scan_progress, id);
    if (p == -1) {
        EXPECT_STREQ(dupfind_last_error(), "cancelled");
        EXPECT_EQ(dupfind_scan_progress(id), -1);
        EXPECT_STREQ(dupfind_last_error(), "cancelled");
        EXPECT_EQ(dupfind_scan_results(id), nullptr);
        EXPECT_STREQ(dupfind_last_error(), "results not ready (progress must be 100)");
    } else {
        EXPECT_EQ(p, 100);
    }
}

TEST(Api, ProgressNeverDecreasesAndResultsWaitFor100) {
    testutil::TempDir d;
    for (int i = 0; i < 400; i++)
        testutil::write_file(d / ("f" + std::to_string(i)), std::string(static_cast<size_t>(100 + i % 50), 'z'));
    int id = dupfind_scan_start(dirs_of(d.path()).c_str(), nullptr);
    ASSERT_GT(id, 0);
    int last = 0;
    for (;;) {
        int p = dupfind_scan_progress(id);
        ASSERT_GE(p, last);
        if (p != 100) {
            // The worker may reach 100 between the two calls; a text handed
            // out must then be complete, and progress must read 100.
            if (char *early = dupfind_scan_results(id)) {
                EXPECT_EQ(dupfind_scan_progress(id), 100);
                dupfind_free_string(early);
            } else {
                EXPECT_STREQ(dupfind_last_error(), "results not ready (progress must be 100)");
            }
        }
        last = p;
        if (p == 100) break;
    }
    char *r = dupfind_scan_results(id);
    ASSERT_NE(r, nullptr);
    dupfind_free_string(r);
}

TEST(Api, ErrorTextIsPerThread) {
    testutil::TempDir d;
    std::string good = dirs_of(d.path());
    const char *expected[] = {"NULL dirs_json",          "dirs_json empty", "invalid dirs_json",
                              "dirs_json must be array", "invalid scan_id", ""};
    constexpr int kThreads = 6;
    std::vector<std::string> seen(kThreads * 50);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 50; i++) {
                switch (t) {
                case 0: dupfind_scan_start(nullptr, nullptr); break;
                case 1: dupfind_scan_start("[]", nullptr); break;
                case 2: dupfind_scan_start("[", nullptr); break;
                case 3: dupfind_scan_start("{}", nullptr); break;
                case 4: dupfind_cancel(-5); break;
                case 5:
                    dupfind_scan_progress(-5);
                    dupfind_free_string(nullptr);
                    dupfind_cancel(-5);
                    dupfind_scan_start(nullptr, nullptr);
                    dupfind_scan_results(-1);
                    dupfind_delete_file(nullptr);
                    dupfind_scan_progress(99999);
                    break;
                }
                seen[static_cast<size_t>(t) * 50 + static_cast<size_t>(i)] = dupfind_last_error();
            }
        });
    }
    go = true;
    for (auto &th : threads) th.join();
    for (int t = 0; t < kThreads - 1; t++)
        for (int i = 0; i < 50; i++)
            EXPECT_EQ(seen[static_cast<size_t>(t * 50 + i)], expected[static_cast<size_t>(t)]) << t;
    for (size_t i = 0; i < 50; i++) EXPECT_EQ(seen[5 * 50 + i], "invalid scan_id");
    // This thread never failed: its text is empty.
    EXPECT_STREQ(dupfind_last_error(), "");
    // The failed starts used ids but freed their slots: 32 good ones still fit.
    for (int i = 0; i < 32; i++) ASSERT_GT(dupfind_scan_start(good.c_str(), nullptr), 0);
    EXPECT_EQ(dupfind_scan_start(good.c_str(), nullptr), -1);
    EXPECT_STREQ(dupfind_last_error(), "too many concurrent scans");
}
