// SPDX-License-Identifier: MIT
// Reading content: the first-block fingerprint, the content open that
// refuses what is not the recorded regular file, and XXH64 vectors through
// the whole grouping.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <xxhash.h>

#include "first_block.h"
#include "handles.h"
#include "platform/platform.h"
#include "scan_fixture.h"
#include "test_util.h"

namespace {

using testutil::pattern;
using testutil::TempDir;
using testutil::write_file;
using Scan = ScanFixture;

uint64_t xxh(const std::string &s, size_t n) { return XXH64(s.data(), n, 0); }

// Runs fn in a child process and reports whether it exited 0 within the
// limit; a child that hangs is killed. Keeps a hang from stalling the suite.
template <class Fn>
bool finishes_ok_within(Fn fn, std::chrono::seconds limit) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 1);
    auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

}  // namespace

// Golden vectors through the grouping: each file and its copy form a group
// whose hash is XXH64 (seed 0) of the whole content, and whose first-block
// fingerprint is XXH64 of its first 64 KiB, around the block size.
TEST(Content, FingerprintsMatchXxh64AroundTheBlockSize) {
    TempDir d;
    Scan s;
    std::vector<std::pair<std::string, size_t>> made;
    for (size_t n : {size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{200000}}) {
        const std::string content = pattern(n, static_cast<unsigned>(n));
        for (const char *copy : {"a", "b"}) {
            const std::string p = d / ("f" + std::to_string(n) + copy);
            write_file(p, content);
            s.add(p);
        }
        made.emplace_back(content, n);
    }
    // The first-block fingerprints as grouping took them, seen through the
    // test seam, which hands them back unchanged.
    static std::map<std::string, uint64_t> first_block;
    first_block.clear();
    dup_test_fingerprint_hook = [](const char *path, int full, uint64_t computed) {
        if (!full) first_block[path] = computed;
        return computed;
    };
    const int grouped = s.group();
    dup_test_fingerprint_hook = nullptr;
    ASSERT_EQ(grouped, DUP_OK);
    ASSERT_EQ(s.s.n_groups, 5);
    for (int32_t g = 0; g < s.s.n_groups; g++) {
        const auto &[content, n] = made[static_cast<size_t>(g)];  // groups come by ascending size
        SCOPED_TRACE(n);
        EXPECT_EQ(s.s.groups[g].size, static_cast<int64_t>(n));
        EXPECT_EQ(s.s.groups[g].hash, xxh(content, n));
        for (int32_t k = 0; k < s.s.groups[g].n_files; k++) {
            const auto taken = first_block.find(s.s.groups[g].files[k]);
            ASSERT_NE(taken, first_block.end());
            EXPECT_EQ(taken->second, xxh(content, n < 65536 ? n : 65536));
        }
    }
}

TEST(Content, FirstBlockFollowsTheRecordedSize) {
    TempDir d;
    const std::string content = pattern(1000);
    const std::string p = d / "f";
    write_file(p, content);

    uint64_t h = 0;
    int whole = -1;
    ASSERT_EQ(dup_hash_first_block(p.c_str(), 1000, 0, 0, &h, &whole), DUP_OK);
    EXPECT_EQ(h, xxh(content, 1000));
    EXPECT_EQ(whole, 1);  // ends where recorded: also the full fingerprint
    // Recorded smaller than the file: hashes only that many bytes, and the
    // file is not known to end there.
    ASSERT_EQ(dup_hash_first_block(p.c_str(), 600, 0, 0, &h, &whole), DUP_OK);
    EXPECT_EQ(h, xxh(content, 600));
    EXPECT_EQ(whole, 0);

    // Recorded larger than the file, negative, or nothing to store into.
    const uint64_t untouched = 0x1234;
    for (int64_t size : {int64_t{1001}, int64_t{-1}}) {
        h = untouched;
        EXPECT_EQ(dup_hash_first_block(p.c_str(), size, 0, 0, &h, nullptr), DUP_FAILED) << size;
        EXPECT_EQ(h, untouched);
    }
    EXPECT_EQ(dup_hash_first_block(p.c_str(), 10, 0, 0, nullptr, nullptr), DUP_FAILED);
    EXPECT_EQ(dup_hash_first_block(nullptr, 10, 0, 0, &h, nullptr), DUP_FAILED);
    EXPECT_EQ(dup_hash_first_block((d / "missing").c_str(), 0, 0, 0, &h, nullptr), DUP_FAILED);

    // Read only while the entry is still the file the walk recorded.
    const testutil::file_id st = testutil::identity(p);
    dup_content_t same = DUP_CONTENT_NONE;
    EXPECT_EQ(dup_content_open(p.c_str(), 0, st.dev, st.ino, &same), DUP_OK);
    EXPECT_NE(same, DUP_CONTENT_NONE);
    dup_content_close(same);
    dup_content_t other = 0;
    EXPECT_EQ(dup_content_open(p.c_str(), 0, st.dev, st.ino + 1, &other), DUP_FAILED);
    EXPECT_EQ(other, DUP_CONTENT_NONE);
    EXPECT_EQ(dup_hash_first_block(p.c_str(), 10, st.dev + 1, st.ino, &h, nullptr), DUP_FAILED);
}

// A FIFO (or a device) put where a collected file was must fail at once:
// opening a FIFO for reading would otherwise wait for a writer forever.
TEST(Content, NonRegularFilesFailWithoutBlocking) {
    DUPFIND_POSIX_ONLY("FIFOs and fork");
    TempDir d;
    std::string fifo = d / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (std::string p : {fifo, std::string("/dev/zero"), d.path()}) {
        SCOPED_TRACE(p);
        EXPECT_TRUE(finishes_ok_within(
            [&] {
                uint64_t h = 0;
                dup_content_t c = 0;
                return dup_hash_first_block(p.c_str(), 1, 0, 0, &h, nullptr) == DUP_FAILED &&
                       dup_content_open(p.c_str(), 0, 0, 0, &c) == DUP_FAILED && c == DUP_CONTENT_NONE;
            },
            std::chrono::seconds(20)));
    }
}

TEST(Content, UnreadableFileFails) {
    DUPFIND_POSIX_ONLY("permissions as another user");
    TempDir d;
    std::string p = d / "secret";
    write_file(p, "content");
    ASSERT_EQ(chmod(p.c_str(), 0), 0);
    int status = testutil::run_unprivileged([&] {
        uint64_t h = 0;
        dup_content_t c = 0;
        return dup_hash_first_block(p.c_str(), 7, 0, 0, &h, nullptr) == DUP_FAILED &&
                       dup_content_open(p.c_str(), 1, 0, 0, &c) == DUP_FAILED && c == DUP_CONTENT_NONE
                   ? 0
                   : 1;
    });
    EXPECT_EQ(status, 0);
}

// Reading the last bytes a file should have also tells whether it ends
// there, and the byte asked for beyond them is stored only where the buffer
// has room for it.
TEST(Content, ReadEndTellsWhereTheFileEnds) {
    TempDir d;
    const std::string content = pattern(70000, 3);
    write_file(d / "f", content);
    write_file(d / "empty", "");
    struct Case {
        const char *file;
        int64_t skip, n, expect;  // skip: bytes read before
    };
    const Case cases[] = {
        {"f", 0, 70000, 70000},  // ends right there
        {"f", 0, 69999, 70000},  // goes on: n + 1
        {"f", 0, 70001, 70000},  // ends sooner
        {"f", 65536, 4464, 4464}, {"f", 65536, 4463, 4464}, {"f", 70000, 0, 0},
        {"f", 69999, 0, 1},       {"empty", 0, 0, 0},       {"empty", 0, 10, 0},
    };
    for (const int room : {0, 1}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.skip) + " " + std::to_string(c.n) + " room " +
                         std::to_string(room));
            dup_content_t h = DUP_CONTENT_NONE;
            ASSERT_EQ(dup_content_open((d / c.file).c_str(), 0, 0, 0, &h), DUP_OK);
            std::vector<unsigned char> skipped(static_cast<size_t>(c.skip) + 1);
            int64_t got = -1;
            ASSERT_EQ(dup_content_read(h, skipped.data(), c.skip, &got), DUP_OK);
            ASSERT_EQ(got, c.skip);
            const size_t guard = static_cast<size_t>(c.n + room);  // the first byte it may not touch
            std::vector<unsigned char> buf(guard + 1, 0xEE);
            EXPECT_EQ(dup_content_read_end(h, buf.data(), c.n, room, &got), DUP_OK);
            EXPECT_EQ(got, c.expect);
            const int64_t stored = std::min(c.expect, c.n);
            EXPECT_EQ(std::string(buf.begin(), buf.begin() + stored),
                      content.substr(static_cast<size_t>(c.skip), static_cast<size_t>(stored)));
            EXPECT_EQ(buf[guard], 0xEE);
            dup_content_close(h);
        }
    }
}

// Content reading leaves half of the process's handles to the host (and to
// the walks of other scans): past that an open answers "out of handles",
// and one closed lets the next one through.
TEST(Content, ReadingHoldsAtMostHalfTheHandles) {
    DUPFIND_POSIX_ONLY("a limit of open files to lower, and fork");
    TempDir d;
    write_file(d / "f", "content");
    const std::string p = d / "f";
    EXPECT_TRUE(finishes_ok_within(
        [&] {
            const struct rlimit lim = {64, 64};
            if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
            dup_handles_set_budget();
            std::vector<dup_content_t> held;
            for (dup_content_t h; held.size() < 64 && dup_open_counted(p.c_str(), 0, 0, 0, &h) == DUP_OK;)
                held.push_back(h);
            uint64_t fp = 0;
            dup_content_t none = 0;
            const bool at_budget = held.size() == 32 && dup_open_counted(p.c_str(), 0, 0, 0, &none) == DUP_NO_HANDLE &&
                                   none == DUP_CONTENT_NONE &&
                                   dup_hash_first_block(p.c_str(), 7, 0, 0, &fp, nullptr) == DUP_NO_HANDLE;
            const int host = open("/dev/null", O_RDONLY);
            dup_close_counted(held.back());
            held.pop_back();
            dup_content_t again = DUP_CONTENT_NONE;
            return at_budget && host >= 0 && dup_open_counted(p.c_str(), 0, 0, 0, &again) == DUP_OK;
        },
        std::chrono::seconds(20)));
}
