// SPDX-License-Identifier: MIT
// A scan start that takes long to resolve its roots (a slow or hung file
// system, or 100,000 roots) must not hold up queries on other scans.
// The platform layer resolves every root through its replaceable
// "canonical_path" entry; a hook there holds a start inside root resolution
// for as long as a test likes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "dupfind.h"
#include "platform/platform.h"
#include "roots.h"
#include "test_util.h"

namespace {
std::mutex g_mu_hook;
std::condition_variable g_cv;
std::string g_block;  // a path whose resolution waits until released
bool g_entered = false, g_released = false;

char *hooked_canonical_path(const char *path) {
    static const auto system = reinterpret_cast<char *(*)(const char *)>(dup_syscall_default("canonical_path"));
    if (path) {
        std::unique_lock<std::mutex> lock(g_mu_hook);
        if (!g_block.empty() && g_block == path) {
            g_entered = true;
            g_cv.notify_all();
            g_cv.wait(lock, [] { return g_released; });
        }
    }
    return system(path);
}

const bool g_hook_installed = dup_syscall_replace("canonical_path",
                                                  reinterpret_cast<dup_syscall_ptr>(&hooked_canonical_path));
}  // namespace

namespace {

TEST(StartLock, ResolvingRootsHoldsUpNoQuery) {
    ASSERT_TRUE(g_hook_installed);
    testutil::TempDir d;
    testutil::make_dir(d / "slow");
    testutil::write_file(d / "a", "same");
    testutil::write_file(d / "b", "same");
    const std::string dirs = "[" + testutil::json_str(d.path()) + "]";
    const int done = dupfind_scan_start(dirs.c_str(), nullptr);
    ASSERT_GT(done, 0) << dupfind_last_error();
    ASSERT_EQ(testutil::wait_for_scan(dupfind_scan_progress, done), 100);

    {
        std::lock_guard<std::mutex> lock(g_mu_hook);
        g_block = d / "slow";
    }
    const std::string slow = "[" + testutil::json_str(d / "slow") + "]";
    std::thread starter([&] { EXPECT_GT(dupfind_scan_start(slow.c_str(), nullptr), 0); });
    {
        std::unique_lock<std::mutex> lock(g_mu_hook);
        g_cv.wait(lock, [] { return g_entered; });
    }
    // The start is now inside root resolution. Each query must answer
    // without it; a generous bound keeps a hang from hanging the suite.
    auto queries = std::async(std::launch::async, [&] {
        const int p = dupfind_scan_progress(done);
        char *text = dupfind_scan_results(done);
        const bool ok = p == 100 && text && dupfind_cancel(done) == 0 && dupfind_scan_progress(-5) == -1;
        dupfind_free_string(text);
        return ok;
    });
    const bool answered = queries.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lock(g_mu_hook);
        g_released = true;
        g_cv.notify_all();
    }
    starter.join();
    ASSERT_TRUE(answered) << "a query waited for another thread's scan start";
    EXPECT_TRUE(queries.get());
}

// Many roots register once each, and a delete below any one of them is
// admitted, below none refused.
TEST(StartLock, ManyRootsRegisterOnceEach) {
    testutil::TempDir d;
    constexpr int n = 20000;
    std::string dirs = "[";
    for (int i = 0; i < n; i++) {
        const std::string dir = d / ("r" + std::to_string(i));
        if (i % 1000 == 0) testutil::make_dir(dir);
        dirs += (i ? "," : "") + testutil::json_str(dir) + "," + testutil::json_str(dir);
    }
    dirs += "]";
    const int id = dupfind_scan_start(dirs.c_str(), nullptr);
    ASSERT_GT(id, 0) << dupfind_last_error();
    ASSERT_EQ(testutil::wait_for_scan(dupfind_scan_progress, id), 100);
    g_roots_mu.lock();
    const int32_t registered = g_n_roots;
    g_roots_mu.unlock();
    EXPECT_EQ(registered, n / 1000);  // only roots that exist are registered

    testutil::write_file(d / "r19000/x", "x");
    testutil::write_file(d / "r1900x", "x");
    EXPECT_EQ(dupfind_delete_file((d / "r19000/x").c_str()), 1) << dupfind_last_error();
    EXPECT_EQ(dupfind_delete_file((d / "r1900x").c_str()), 0);
    EXPECT_STREQ(dupfind_last_error(), "refused: outside scanned roots");
}

}  // namespace
