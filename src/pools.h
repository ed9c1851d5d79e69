// SPDX-License-Identifier: MIT
// The reader pools: threads that read a scan's files beside its worker.
// Reading is most of a scan's cost, and it is waiting (system calls, the
// disk) and copying as much as computing, so a few threads share it. The
// worker alone decides: groups, their order, progress and test seams.
#ifndef DUP_POOLS_H
#define DUP_POOLS_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "content.h"
#include "first_block.h"
#include "platform/platform.h"
#include "scan.h"

// Threads that read a scan's files while it groups them, the worker among
// them (1: the worker alone). Read when grouping starts; tests change it to
// compare results with and without the pools.
extern int32_t dup_reading_threads;

// Takes the first-block fingerprint of every file of the size-sorted array
// that shares its size with another, on up to dup_reading_threads threads,
// in the order of the files' identities (near their order on disk). Stores
// hash and partial_ok in the records and whole[k] by position. Each thread
// stops at a cancel before its next file. DUP_OK, or DUP_NOMEM (nothing
// taken then).
dup_result dup_take_first_blocks(dup_scan_t *scan, unsigned char *whole);

// The reader threads of one pass, joined when it goes out of scope. A
// thread that cannot be created leaves its share to the others; the worker
// itself always takes part, so start(want) adds up to want - 1.
class dup_thread_group {
public:
    dup_thread_group() = default;
    ~dup_thread_group();
    dup_thread_group(const dup_thread_group &) = delete;
    dup_thread_group &operator=(const dup_thread_group &) = delete;
    void start(void (*fn)(void *), void *arg, int32_t want);

private:
    static constexpr int32_t MAX = 16;
    dup_thread_t *th_[MAX] = {};
    int32_t n_ = 0;
};

// Reads the partial runs of a scan ahead of the worker: the worker claims
// runs from the front, in the order it groups them, the pool from the back,
// the largest first, so that no thread is left with a large run after the
// others are done. A pool thread writes only the records and arrays of the
// run it claimed, and publishes it with a release store.
class dup_content_pool {
public:
    // parent and invalid are by file position; runs are [b, e) of files;
    // a run whose settled flag is set is not read.
    dup_content_pool(dup_scan_t *scan, int32_t *parent, unsigned char *invalid, const unsigned char *whole,
                     const dup_run_bounds &runs, unsigned char *done, signed char *result, unsigned char *merge,
                     const unsigned char *settled);
    ~dup_content_pool();  // stops every thread; threads_ then joins them
    dup_content_pool(const dup_content_pool &) = delete;
    dup_content_pool &operator=(const dup_content_pool &) = delete;

    // Starts up to want - 1 threads (the worker is the other reader). A
    // thread that cannot be created leaves its share to the others.
    void start(int32_t want);
    // Run t as the worker groups it: read by the worker itself unless the
    // pool took it, then waited for. Every run before t must be awaited
    // first. *several_batches tells whether it was read in more than one.
    dup_result await(int32_t t, dup_read_scratch &rd, bool *several_batches);
    dup_partial_run run(int32_t t) const;

private:
    void read(int32_t t, dup_read_scratch &rd);
    static void thread_body(void *self);

    dup_scan_t *scan_;
    int32_t *parent_;
    unsigned char *invalid_;
    const unsigned char *whole_;
    dup_run_bounds runs_;
    unsigned char *done_;           // by run; published with release
    signed char *result_;           // by run: a dup_result
    unsigned char *merge_;          // by run: read in more than one batch
    const unsigned char *settled_;  // by run: known from the cache, not read
    std::atomic<int32_t> stop_{0};
    std::mutex mu_;
    std::condition_variable cv_;
    int32_t front_ = 0, back_;  // under mu_: runs [front_, back_) are not claimed
    bool waiting_ = false;      // under mu_
    dup_thread_group threads_;  // last: joined before the rest goes
};

#endif  // DUP_POOLS_H
