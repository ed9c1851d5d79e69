// SPDX-License-Identifier: MIT
// The worker's endings, driven synchronously on hand-made scan records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "scan_fixture.h"
#include "test_util.h"
#include "worker.h"

namespace {

using Scan = ScanFixture;

}  // namespace

TEST(Worker, CancelBeforeTheWalkEndsCancelled) {
    testutil::TempDir d;
    testutil::write_file(d / "a", "x");
    Scan sc(d.path());
    sc.s.cancel = 1;
    dup_scan_worker(&sc.s);
    EXPECT_EQ(sc.s.progress.load(), -1);
    EXPECT_STREQ(sc.s.error, "cancelled");
    EXPECT_EQ(sc.s.results_json, nullptr);
}

TEST(Worker, NothingCollectableStillCompletes) {
    testutil::TempDir d;
    Scan sc(d / "missing");
    dup_scan_worker(&sc.s);
    EXPECT_EQ(sc.s.progress.load(), 100);
    EXPECT_STREQ(sc.s.error, "");
    ASSERT_NE(sc.s.results_json, nullptr);
    EXPECT_EQ(std::string(sc.s.results_json),
              "{\"groups\":[],\"wasted_bytes\":0,\"scanned_files\":0,\"skipped\":[{\"path\":" +
                  testutil::json_str(d / "missing") + ",\"reason\":\"root_missing\"}]}");
}

TEST(Worker, OneFileIsCountedAndNeverOpened) {
    testutil::TempDir d;
    testutil::write_file(d / "only", "content");
    chmod((d / "only").c_str(), 0);  // a read would fail; none must happen
    // The worker frees the records after grouping; they are looked at just
    // before that.
    static int records, fingerprinted;
    records = fingerprinted = -1;
    Scan sc(d.path());
    dup_test_files_hook = [](dup_scan_t *scan) {
        records = scan->n_files;
        fingerprinted = 0;
        for (int32_t i = 0; i < scan->n_files; i++) fingerprinted += scan->files[i].partial_ok + scan->files[i].full_ok;
    };
    dup_scan_worker(&sc.s);
    dup_test_files_hook = nullptr;
    EXPECT_EQ(sc.s.progress.load(), 100);
    EXPECT_EQ(sc.s.scanned_files, 1);
    EXPECT_EQ(records, 1);
    EXPECT_EQ(fingerprinted, 0);
}

TEST(Worker, ResultsTextFailureEndsTheScan) {
    // A skipped path that cannot be written as UTF-8 text. The walk itself
    // never records one; a hand-made record stands in for any such failure.
    testutil::TempDir d;
    Scan sc(d / "missing");
    sc.s.roots[0][0] = '\xff';
    dup_scan_worker(&sc.s);
    EXPECT_EQ(sc.s.progress.load(), -1);
    EXPECT_STREQ(sc.s.error, "results json failed");
}
