// SPDX-License-Identifier: MIT
// Helpers of the tests that need nothing of the operating system: test
// data, JSON text, waiting for a scan, and the marks of tests that only some
// systems can run.
#ifndef DUPFIND_TEST_COMMON_H
#define DUPFIND_TEST_COMMON_H

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

// A test that needs what only POSIX systems offer (FIFOs, fork, signals,
// permissions as another user, bind mounts, names that are arbitrary bytes)
// skips on other systems with the reason. Use it first in the test body.
#ifdef _WIN32
#  define DUPFIND_POSIX_ONLY(why) GTEST_SKIP() << "needs POSIX: " << (why)
#else
#  define DUPFIND_POSIX_ONLY(why) static_cast<void>(0)
#endif

// A test that makes symbolic links skips where none can be made.
#define DUPFIND_NEEDS_SYMLINKS()                                                                             \
  do {                                                                                                       \
    if (const char *dupfind_no_links_ = testutil::symlinks_unavailable()) GTEST_SKIP() << dupfind_no_links_; \
  } while (0)

namespace testutil {

// What the system reports as a file's identity: equal for two paths that
// reach one file.
struct file_id {
    uint64_t dev;
    uint64_t ino;
};

// Deterministic bytes that differ at every offset class; different seeds
// give different content.
inline std::string pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// A JSON string literal for a path (quotes and backslashes escaped).
inline std::string json_str(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Polls a progress function until the scan reaches 100 or -1, or until the
// deadline passes (then returns the last value seen).
template <class ProgressFn>
int wait_for_scan(ProgressFn progress, int id, std::chrono::seconds limit = std::chrono::seconds(120)) {
    auto end = std::chrono::steady_clock::now() + limit;
    int p = progress(id);
    while (p != 100 && p >= 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        p = progress(id);
    }
    return p;
}

}  // namespace testutil

#endif  // DUPFIND_TEST_COMMON_H
