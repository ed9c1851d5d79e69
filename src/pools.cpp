// SPDX-License-Identifier: MIT
// The reader pools.
#include "pools.h"

#include <algorithm>

#include "handles.h"
#include "size.h"

int32_t dup_reading_threads = 8;

namespace {

constexpr int32_t MAX_FIRST_BLOCK_THREADS = 16;

// ---- first blocks ---------------------------------------------------------------------

// Opening and reading the first block of every file that shares its size is
// most of a scan's cost, and it is latency (system calls, or the disk when
// the cache is cold) more than computation. So before the size runs are
// walked, a few threads take those fingerprints at once and store them in
// the records; the runs then use the stored values in their usual order.
// The test seam is applied later, on the worker, so a hook never runs on a
// pool thread.
struct first_block_pool {
    const dup_scan_t *scan;
    dup_file_t *f;
    const int32_t *todo;  // positions to fingerprint
    int32_t n_todo;
    unsigned char *whole;  // by position: the first block was the whole file
    std::atomic<int32_t> next{0};
};

void take_first_blocks(void *arg) {
    auto *pp = static_cast<first_block_pool *>(arg);
    for (;;) {
        const int32_t t = pp->next.fetch_add(1, std::memory_order_relaxed);
        if (t >= pp->n_todo || dup_cancel_requested(pp->scan)) return;
        dup_file_t &r = pp->f[pp->todo[t]];
        uint64_t h = 0;
        int whole = 0;
        const dup_result got = dup_retry_for_handle(
            pp->scan, [&] { return dup_hash_first_block(r.path, r.size, pp->scan->devs[r.dev], r.ino, &h, &whole); });
        if (got == DUP_OK) {
            r.full_hash = h;
            r.partial_ok = 1;
            pp->whole[pp->todo[t]] = static_cast<unsigned char>(whole);
        } else if (got != DUP_CANCELLED) {
            r.read_failed = 1;
        }
    }
}

}  // namespace

dup_thread_group::~dup_thread_group() {
    for (int32_t k = 0; k < n_; k++) dup_thread_join(th_[k]);
}

void dup_thread_group::start(void (*fn)(void *), void *arg, int32_t want) {
    for (int32_t k = 1; k < want && n_ < MAX; k++)
        if (dup_thread_start(fn, arg, &th_[n_]) == DUP_OK) n_++;
}

dup_result dup_take_first_blocks(dup_scan_t *scan, unsigned char *whole) {
    const dup_file_t *f = scan->files;
    const int32_t n = scan->n_files;
    dup_tmp_array<int32_t> todo;
    if (!todo.alloc(static_cast<size_t>(n))) return DUP_NOMEM;
    int32_t m = 0;
    // A file whose fingerprint came from the cache is not opened.
    for (int32_t k = 0; k < n; k++)
        if (dup_size_shared(f, n, k) && !f[k].partial_ok) todo[m++] = k;
    std::sort(todo.p, todo.p + m, [&](int32_t a, int32_t b) {
        if (f[a].dev != f[b].dev) return f[a].dev < f[b].dev;
        return f[a].ino != f[b].ino ? f[a].ino < f[b].ino : a < b;
    });

    first_block_pool pp;
    pp.scan = scan;
    pp.f = scan->files;
    pp.todo = todo.p;
    pp.n_todo = m;
    pp.whole = whole;
    int32_t want = dup_reading_threads < 1 ? 1 : std::min(dup_reading_threads, MAX_FIRST_BLOCK_THREADS);
    want = std::min(want, std::max(m / 16, 1));  // a handful of files is not worth a thread
    {
        dup_thread_group pool;
        pool.start(take_first_blocks, &pp, want);
        take_first_blocks(&pp);
    }
    return DUP_OK;
}

// ---- whole content ---------------------------------------------------------------------

dup_content_pool::dup_content_pool(dup_scan_t *scan, int32_t *parent, unsigned char *invalid,
                                   const unsigned char *whole, const dup_run_bounds &runs, unsigned char *done,
                                   signed char *result, unsigned char *merge, const unsigned char *settled)
    : scan_(scan),
      parent_(parent),
      invalid_(invalid),
      whole_(whole),
      runs_(runs),
      done_(done),
      result_(result),
      merge_(merge),
      settled_(settled),
      back_(runs.n) {}

dup_content_pool::~dup_content_pool() { stop_.store(1, std::memory_order_relaxed); }

void dup_content_pool::start(int32_t want) { threads_.start(thread_body, this, want); }

dup_partial_run dup_content_pool::run(int32_t t) const {
    const int32_t b = runs_.b[t];
    dup_file_t *f = scan_->files;
    return dup_partial_run{f + b, runs_.e[t] - b, f[b].size, parent_ + b, invalid_ + b, whole_ + b};
}

void dup_content_pool::read(int32_t t, dup_read_scratch &rd) {
    const dup_partial_run rc = run(t);
    int32_t batches = 0;
    dup_result r = DUP_OK;
    if (!settled_[t]) {  // a settled run has its classes from the cache already
        for (int32_t k = 0; k < rc.n; k++) {
            rc.parent[k] = k;
            rc.invalid[k] = 0;
        }
        r = dup_read_run(scan_, rd, rc, &batches);
    }
    result_[t] = static_cast<signed char>(r);
    merge_[t] = batches > 1;
    std::atomic_ref<unsigned char>(done_[t]).store(1, std::memory_order_release);
    std::lock_guard<std::mutex> lock(mu_);
    if (waiting_) cv_.notify_all();
}

void dup_content_pool::thread_body(void *self) {
    auto *pool = static_cast<dup_content_pool *>(self);
    dup_read_scratch rd;
    while (!pool->stop_.load(std::memory_order_relaxed)) {
        int32_t t;
        {
            std::lock_guard<std::mutex> lock(pool->mu_);
            t = pool->front_ < pool->back_ ? --pool->back_ : -1;
        }
        if (t < 0) break;
        pool->read(t, rd);
    }
}

dup_result dup_content_pool::await(int32_t t, dup_read_scratch &rd, bool *several_batches) {
    std::atomic_ref<unsigned char> done(done_[t]);
    bool mine;
    {
        std::lock_guard<std::mutex> lock(mu_);
        mine = front_ == t && t < back_;
        if (mine) front_++;
    }
    if (mine) {
        read(t, rd);
    } else {
        std::unique_lock<std::mutex> lock(mu_);
        waiting_ = true;
        cv_.wait(lock, [&] { return done.load(std::memory_order_acquire) != 0; });
        waiting_ = false;
    }
    *several_batches = merge_[t] != 0;
    return static_cast<dup_result>(result_[t]);
}
