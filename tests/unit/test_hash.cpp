// Fingerprints and byte comparison on real files.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <xxhash.h>

#include "dup_internal.h"
#include "test_util.h"

namespace {

using testutil::TempDir;
using testutil::pattern;
using testutil::write_file;

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

TEST(Hash, FingerprintsMatchXxh64AroundTheBlockSize) {
    TempDir d;
    for (size_t n : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{200000}}) {
        SCOPED_TRACE(n);
        std::string content = pattern(n, static_cast<unsigned>(n));
        std::string p = d / ("f" + std::to_string(n));
        write_file(p, content);

        uint64_t part = 0, full = 0;
        int whole = -1;
        ASSERT_EQ(dup_hash_partial_ex(p.c_str(), static_cast<int64_t>(n), 0, 0, &part, &whole), 0);
        EXPECT_EQ(part, xxh(content, n < 65536 ? n : 65536));
        EXPECT_EQ(whole, n <= 65536 ? 1 : 0);
        ASSERT_EQ(dup_hash_full(p.c_str(), &full), 0);
        EXPECT_EQ(full, xxh(content, n));
        if (n <= 65536) {
            EXPECT_EQ(part, full);  // the shortcut the grouping relies on
        }
    }
}

TEST(Hash, PartialFollowsTheRecordedSize) {
    TempDir d;
    std::string content = pattern(1000);
    std::string p = d / "f";
    write_file(p, content);

    uint64_t h = 0;
    int whole = -1;
    // Recorded smaller than the file: hashes only that many bytes, and the
    // file is not known to end there.
    ASSERT_EQ(dup_hash_partial_ex(p.c_str(), 600, 0, 0, &h, &whole), 0);
    EXPECT_EQ(h, xxh(content, 600));
    EXPECT_EQ(whole, 0);

    // Recorded larger than the file, negative, or nothing to store into.
    const uint64_t untouched = 0x1234;
    for (int64_t size : {int64_t{1001}, int64_t{-1}}) {
        h = untouched;
        EXPECT_EQ(dup_hash_partial(p.c_str(), size, &h), -1) << size;
        EXPECT_EQ(h, untouched);
    }
    EXPECT_EQ(dup_hash_partial(p.c_str(), 10, nullptr), -1);
    EXPECT_EQ(dup_hash_partial(nullptr, 10, &h), -1);
    EXPECT_EQ(dup_hash_full(nullptr, &h), -1);
    EXPECT_EQ(dup_hash_full(p.c_str(), nullptr), -1);

    // Read only while the entry is still the file the walk recorded.
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    intptr_t same = dup_content_open(p.c_str(), 0, st.st_dev, st.st_ino);
    EXPECT_GE(same, 0);
    dup_content_close(same);
    EXPECT_EQ(dup_content_open(p.c_str(), 0, st.st_dev, st.st_ino + 1), -1);
    EXPECT_EQ(dup_hash_partial_ex(p.c_str(), 10, st.st_dev + 1, st.st_ino, &h, nullptr), -1);

    h = untouched;
    EXPECT_EQ(dup_hash_full((d / "missing").c_str(), &h), -1);
    EXPECT_EQ(dup_hash_partial((d / "missing").c_str(), 0, &h), -1);
    EXPECT_EQ(h, untouched);
}

TEST(Hash, FilesEqualCases) {
    TempDir d;
    const size_t n = 65537;  // a multiple of the block size plus one
    std::string a = pattern(n);
    std::string b = a;
    b[n - 1] = static_cast<char>(b[n - 1] ^ 1);
    std::string longer = a + "tail";
    write_file(d / "a", a);
    write_file(d / "a2", a);
    write_file(d / "b", b);
    write_file(d / "long", longer);
    write_file(d / "short", a.substr(0, 100));

    struct Case {
        const char *what;
        std::string x, y;
        int64_t len;
        int expect;
    };
    const std::string missing = d / "missing";
    const Case cases[] = {
        {"identical copies", d / "a", d / "a2", int64_t(n), 1},
        {"last byte differs, found in the final one-byte block", d / "a", d / "b", int64_t(n), 0},
        {"equal up to len", d / "a", d / "b", int64_t(n - 1), 1},
        {"longer file agrees over len", d / "a", d / "long", int64_t(n), 1},
        {"second file shorter than len", d / "a", d / "short", int64_t(n), 0},
        {"first file shorter than len", d / "short", d / "a", int64_t(n), 0},
        {"same path string, no such file", missing, missing, int64_t(n), 1},
        {"len 0, both open", d / "a", d / "b", 0, 1},
        {"len negative, both open", d / "a", d / "b", -5, 1},
        {"len 0, one missing", d / "a", missing, 0, 0},
        {"len 0, first missing", missing, d / "a", 0, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(dup_files_equal(c.x.c_str(), c.y.c_str(), c.len), c.expect) << c.what;
    EXPECT_EQ(dup_files_equal(nullptr, (d / "a").c_str(), 1), 0);
    EXPECT_EQ(dup_files_equal((d / "a").c_str(), nullptr, 1), 0);
}

// A FIFO (or a device) put where a collected file was must fail at once:
// opening a FIFO for reading would otherwise wait for a writer forever.
TEST(Hash, NonRegularFilesFailWithoutBlocking) {
    TempDir d;
    std::string fifo = d / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    write_file(d / "plain", "x");
    std::string plain = d / "plain";
    for (std::string p : {fifo, std::string("/dev/zero"), d.path()}) {
        SCOPED_TRACE(p);
        EXPECT_TRUE(finishes_ok_within(
            [&] {
                uint64_t h = 0;
                return dup_hash_partial(p.c_str(), 1, &h) == -1 && dup_hash_full(p.c_str(), &h) == -1 &&
                       dup_files_equal(p.c_str(), plain.c_str(), 1) == 0 &&
                       dup_files_equal(plain.c_str(), p.c_str(), 1) == 0 && dup_content_open(p.c_str(), 0, 0, 0) == -1;
            },
            std::chrono::seconds(20)));
    }
}

TEST(Hash, UnreadableFileFails) {
    TempDir d;
    std::string p = d / "secret";
    write_file(p, "content");
    ASSERT_EQ(chmod(p.c_str(), 0), 0);
    int status = testutil::run_unprivileged([&] {
        uint64_t h = 0;
        bool ok = dup_hash_partial(p.c_str(), 7, &h) == -1 && dup_hash_full(p.c_str(), &h) == -1 &&
                  dup_files_equal(p.c_str(), p.c_str(), 7) == 1;  // same path: never opened
        return ok ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}
