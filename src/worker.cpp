// SPDX-License-Identifier: MIT
// The scan worker and the grouping stage it drives.
#include "worker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cache.h"
#include "content.h"
#include "first_block.h"
#include "handles.h"
#include "platform/platform.h"
#include "pools.h"
#include "results.h"
#include "same_entry.h"
#include "size.h"
#include "walk.h"

// ---- worker ------------------------------------------------------------------------

namespace {

void end_scan(dup_scan_t *scan, dup_result why) {
    snprintf(scan->error, sizeof scan->error, "%s", dup_result_message(why));
    dup_store_progress(scan, DUP_PROGRESS_ENDED);
}

}  // namespace

void (*dup_test_files_hook)(dup_scan_t *scan) = nullptr;

namespace {

// The loaded cache goes with the worker, whichever way the scan ends.
struct cache_owner {
    dup_scan_t *scan;
    ~cache_owner() { dup_cache_release(scan); }
};

}  // namespace

void dup_scan_worker(void *arg) {
    auto *scan = static_cast<dup_scan_t *>(arg);
    scan->started_ns = dup_clock_ns();
    const cache_owner cache{scan};
    dup_store_progress(scan, DUP_PROGRESS_WALKING);

    const dup_result r = dup_walk_collect(scan);
    // A pending cancel wins over a walk that failed at the same time.
    if (dup_cancel_requested(scan)) {
        end_scan(scan, DUP_E_SCAN_CANCELLED);
        return;
    }
    if (r == DUP_NOMEM) {
        end_scan(scan, DUP_E_WALK);
        return;
    }

    // Counted once the records that name one entry under two paths are
    // merged: scanned_files counts entries, not the paths that led to them.
    // The merge finishes the collection, so its failure is the walk's.
    if (dup_merge_same_entries(scan) != DUP_OK) {
        end_scan(scan, DUP_E_WALK);
        return;
    }
    scan->scanned_files = scan->n_files;
    dup_store_progress(scan, DUP_PROGRESS_GROUPING);

    if (dup_cache_load(scan) != DUP_OK) {
        end_scan(scan, DUP_E_GROUPING);
        return;
    }
    if (scan->n_files >= 2 && dup_group_files(scan) == DUP_NOMEM) {
        end_scan(scan, dup_cancel_requested(scan) ? DUP_E_SCAN_CANCELLED : DUP_E_GROUPING);
        return;
    }
    // Also the outcome of a grouping that stopped at a cancel checkpoint.
    if (dup_cancel_requested(scan)) {
        end_scan(scan, DUP_E_SCAN_CANCELLED);
        return;
    }

    // What a cancelled scan learnt is not stored: it was stopped halfway.
    if (dup_cache_save(scan) != DUP_OK) {
        end_scan(scan, DUP_E_GROUPING);
        return;
    }
    // The collected files are the bulk of a scan's memory and no longer
    // needed once the groups have their own copies of their paths, so the
    // results text is built without them beside it.
    if (dup_test_files_hook) dup_test_files_hook(scan);
    if (dup_settle_groups(scan) != DUP_OK) {
        end_scan(scan, DUP_E_GROUPING);
        return;
    }
    dup_store_progress(scan, DUP_PROGRESS_RESULTS);
    if (dup_build_results_json(scan) != DUP_OK) {
        end_scan(scan, DUP_E_RESULTS_TEXT);
        return;
    }
    dup_store_progress(scan, DUP_PROGRESS_DONE);
}

// ---- grouping ----------------------------------------------------------------------
//
// Four stages of rising cost: equal size (size.cpp), equal fingerprint of
// the first block (first_block.cpp), equal fingerprint of the whole content
// and equal bytes (content.cpp, one read for both). The order of the work
// fixes the order of the groups and of the paths inside each group, and the
// results text keeps both, so every shortcut is built to leave exactly the
// order that comparing stage by stage, member by member, would give:
//   - the first-block stage sorts a size run by (fingerprint, path): a total
//     order once every path is unique, so any correct sort gives the result;
//   - the whole-content stage orders a partial run by an exchange sort that
//     is not stable; its permutation decides heads, so order.cpp computes
//     exactly that permutation without its quadratic cost;
//   - the whole content and the bytes share one lockstep read (content.cpp).
// These shortcuts read each file fewer times, and give the same results for
// files that do not change while they are grouped.

namespace {

// A file that could not be opened or read as the walk recorded it is in no
// group, and leaving it out silently would pass a failure off as a file with
// no copy. Each is reported once, on the worker, after the walk's records,
// in byte order of the paths (which does not depend on how the files were
// read or in what order).
// A record that cannot be stored ends the grouping: the file would be
// missing from the results without a word.
dup_result report_read_failures(dup_scan_t *scan) {
    const int32_t first = scan->n_skipped;
    for (int32_t i = 0; i < scan->n_files; i++)
        if (scan->files[i].read_failed && dup_add_skip(scan, scan->files[i].path, DUP_SKIP_READ_FAILED) != DUP_OK)
            return DUP_NOMEM;
    std::sort(scan->skipped + first, scan->skipped + scan->n_skipped,
              [](const dup_skip_t &a, const dup_skip_t &b) { return strcmp(a.path, b.path) < 0; });
    return DUP_OK;
}

}  // namespace

dup_result dup_group_files(dup_scan_t *scan) {
    if (!scan || scan->n_files <= 0) return DUP_OK;
    dup_file_t *f = scan->files;
    const int32_t n = scan->n_files;
    dup_sort_by_size(f, n);

    int32_t max_run = 0;
    for (int32_t i = 0; i < n;) {
        const int32_t j = dup_size_run_end(f, n, i);
        max_run = std::max(max_run, j - i);
        i = j;
    }
    dup_order_scratch ow;
    dup_group_scratch gw;
    dup_tmp_array<unsigned char> whole, invalid, done, merge, settled;
    dup_tmp_array<int32_t> parent;
    dup_tmp_array<signed char> result;
    dup_run_bounds runs;
    struct runs_owner {
        dup_run_bounds &r;
        ~runs_owner() {
            free(r.b);
            free(r.e);
        }
    } own_runs{runs};
    if (max_run >= 2) {  // else no file shares its size, and none is opened
        if (!ow.alloc(static_cast<size_t>(max_run)) || !gw.alloc(static_cast<size_t>(max_run)) ||
            !whole.alloc(static_cast<size_t>(n)))
            return DUP_NOMEM;
        dup_cache_match(scan);
        // The first blocks of every size run first, so that the pool can
        // read later runs while the worker groups earlier ones.
        dup_handles_set_budget();
        if (dup_take_first_blocks(scan, whole.p) != DUP_OK) return DUP_NOMEM;
        if (dup_cancel_requested(scan)) return DUP_STOPPED;
        for (int32_t i = 0; i < n;) {
            const int32_t j = dup_size_run_end(f, n, i);
            if (j - i >= 2) {
                const dup_result r = dup_order_size_run(scan, ow, whole.p, i, j, &runs);
                if (r != DUP_OK) return r;
            }
            i = j;
        }
        // Taken only now, when the first blocks' list of work is gone and
        // the number of partial runs is known: on a large tree these would
        // otherwise add up with it, at room for every possible run.
        if (!invalid.alloc(static_cast<size_t>(n)) || !parent.alloc(static_cast<size_t>(n)) || !done.alloc(runs.n) ||
            !merge.alloc(runs.n) || !result.alloc(runs.n) || !settled.alloc(runs.n))
            return DUP_NOMEM;
        if (dup_cache_settle(scan, runs, max_run, parent.p, invalid.p, settled.p) != DUP_OK) return DUP_NOMEM;
    }

    dup_read_scratch rd;  // the worker's: it reads runs too, and joins classes of batches
    if (runs.n > 0 && !rd.ready()) return DUP_NOMEM;
    dup_content_pool pool(scan, parent.p, invalid.p, whole.p, runs, done.p, result.p, merge.p, settled.p);
    // Reading whole runs out of the cache is CPU work, so more threads than
    // processors only add buffers; two still overlap one run's waiting for
    // the disk with another's hashing.
    pool.start(std::min({dup_reading_threads, std::max(dup_processors(), 2), runs.n}));

    // Whole content and bytes, size run by size run, with progress after
    // each (also for runs of one file, which open nothing).
    int32_t t = 0;
    for (int32_t i = 0; i < n;) {
        const int32_t j = dup_size_run_end(f, n, i);
        dup_store_progress(scan, dup_size_progress(j, n));
        for (; t < runs.n && runs.b[t] < j; t++) {
            bool several = false;
            dup_result r = pool.await(t, rd, &several);
            if (r == DUP_OK) r = dup_group_run(scan, rd, pool.run(t), gw, several);
            if (r != DUP_OK) return r;
        }
        i = j;
    }
    return report_read_failures(scan);
}
