// SPDX-License-Identifier: MIT
// File handles for reading content.
#include "handles.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace {

// Content handles open at once in the process, over all scans, and how many
// of them reading may hold.
std::atomic<int32_t> g_content_open{0};
std::atomic<int32_t> g_content_budget{INT32_MAX};

// Readers waiting for a handle, and the closes they wait for: a close while
// anyone waits counts one more under g_close_mu and wakes one of them.
std::atomic<int32_t> g_waiters{0};
std::atomic<uint64_t> g_closes{0};
std::mutex g_close_mu;
std::condition_variable g_close_cv;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void dup_handles_set_budget(void) {
    // Below 16 the process's own limit is the tighter one anyway.
    const int64_t limit = dup_open_file_limit();
    const int32_t budget = limit < 0 ? INT32_MAX : static_cast<int32_t>(std::clamp<int64_t>(limit / 2, 16, INT32_MAX));
    g_content_budget.store(budget, std::memory_order_relaxed);
}

dup_result dup_open_counted(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *h) {
    *h = DUP_CONTENT_NONE;
    if (!path) return DUP_FAILED;
    if (g_content_open.fetch_add(1, std::memory_order_relaxed) >= g_content_budget.load(std::memory_order_relaxed)) {
        g_content_open.fetch_sub(1, std::memory_order_relaxed);
        return DUP_NO_HANDLE;
    }
    const dup_result r = dup_content_open(path, sequential, dev, ino, h);
    if (r == DUP_OK) return DUP_OK;
    g_content_open.fetch_sub(1, std::memory_order_relaxed);
    return r == DUP_NO_HANDLE ? DUP_NO_HANDLE : DUP_FAILED;
}

void dup_close_counted(dup_content_t h) {
    if (h == DUP_CONTENT_NONE) return;
    dup_content_close(h);
    g_content_open.fetch_sub(1, std::memory_order_seq_cst);
    if (g_waiters.load(std::memory_order_seq_cst) > 0) {
        std::lock_guard<std::mutex> lock(g_close_mu);
        g_closes.fetch_add(1, std::memory_order_seq_cst);
        g_close_cv.notify_one();
    }
}

dup_handle_wait::dup_handle_wait() {
    g_waiters.fetch_add(1, std::memory_order_seq_cst);
    closes_ = g_closes.load(std::memory_order_seq_cst);
}

dup_handle_wait::~dup_handle_wait() { g_waiters.fetch_sub(1, std::memory_order_seq_cst); }

bool dup_handle_wait::pause() {
    // Handles the library holds come free in time, so waiting for them has
    // no bound; only a shortage that is the host's or the limit's is waited
    // out for a bounded time.
    const bool ours = g_content_open.load(std::memory_order_seq_cst) > 0;
    if (!ours && backoff_.exhausted()) return false;
    const int64_t start = now_ns();
    {
        std::unique_lock<std::mutex> lock(g_close_mu);
        g_close_cv.wait_for(lock, std::chrono::nanoseconds(backoff_.take()),
                            [&] { return g_closes.load(std::memory_order_seq_cst) != closes_; });
        closes_ = g_closes.load(std::memory_order_seq_cst);
    }
    if (!ours) backoff_.spent_ns += now_ns() - start;
    return true;
}

int32_t dup_handle_waiters(void) { return g_waiters.load(std::memory_order_relaxed); }
