// SPDX-License-Identifier: MIT
// The library's interface: the seven exported functions, and nothing else.
// Each clears the calling thread's error text first where the header says
// so, and leaves one fixed message there when it fails. No exception leaves
// them: the code below them reports through results only.
#include <cstdlib>

#include "base.h"
#include "dupfind.h"
#include "platform/platform.h"
#include "remove.h"
#include "request.h"
#include "roots.h"
#include "scan_table.h"
#include "worker.h"

namespace {

// Steps of the start after the slot was taken: DUP_OK when the worker is
// running, else the start's failure. Runs without g_mu: the slot
// is marked in use, so no other start takes it, and no query looks at the
// fields filled here (queries read only the atomics, and error or
// results_json once the worker has published them). Resolving thousands of
// roots therefore never holds up another thread's query.
dup_result fill_and_start(dup_scan_t *scan, const char *dirs_json, const char *options_json) {
    if (const dup_result r = dup_parse_request(scan, dirs_json, options_json); r != DUP_OK) return r;
    dup_register_roots(scan->real_roots, scan->n_real_roots);
    if (dup_thread_spawn(dup_scan_worker, scan) != DUP_OK) return DUP_E_THREAD;
    return DUP_OK;
}

// Leaves the fixed message of a failure in the caller's error text.
void fail_with(dup_result r) { dup_set_error("%s", dup_result_message(r)); }

// The scan in use with this id, for a query that holds g_mu; leaves
// "invalid scan_id" in the caller's error text when there is none.
dup_scan_t *find_scan(int scan_id) {
    dup_scan_t *scan = dup_scan_get(scan_id);
    if (!scan) fail_with(DUP_E_INVALID_ID);
    return scan;
}

}  // namespace

extern "C" {

DUPFIND_API int dupfind_scan_start(const char *dirs_json, const char *options_json) noexcept {
    dup_clear_error();
    if (!dirs_json) {
        fail_with(DUP_E_NULL_DIRS_JSON);
        return -1;
    }
    dup_scan_t *scan;
    int32_t id;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        scan = dup_scan_alloc();
        if (!scan) {
            fail_with(DUP_E_TOO_MANY_SCANS);
            return -1;
        }
        id = scan->id;
    }
    if (const dup_result r = fill_and_start(scan, dirs_json, options_json); r != DUP_OK) {
        {
            std::lock_guard<std::mutex> lock(g_mu);
            dup_scan_release(scan);
        }
        fail_with(r);
        return -1;
    }
    return id;
}

DUPFIND_API int dupfind_scan_progress(int scan_id) noexcept {
    dup_clear_error();
    std::lock_guard<std::mutex> lock(g_mu);
    dup_scan_t *scan = find_scan(scan_id);
    if (!scan) return -1;
    const int32_t p = dup_load_progress(scan);
    if (p < 0 && scan->error[0]) dup_set_error("%s", scan->error);
    return p;
}

DUPFIND_API char *dupfind_scan_results(int scan_id) noexcept {
    dup_clear_error();
    std::lock_guard<std::mutex> lock(g_mu);
    dup_scan_t *scan = find_scan(scan_id);
    if (!scan) return nullptr;
    if (dup_load_progress(scan) != DUP_PROGRESS_DONE || !scan->results_json) {
        fail_with(DUP_E_NOT_READY);
        return nullptr;
    }
    char *copy = dup_strdup(scan->results_json);
    if (!copy) fail_with(DUP_NOMEM);
    return copy;
}

DUPFIND_API int dupfind_cancel(int scan_id) noexcept {
    dup_clear_error();
    std::lock_guard<std::mutex> lock(g_mu);
    dup_scan_t *scan = find_scan(scan_id);
    if (!scan) return -1;
    scan->cancel.store(1, std::memory_order_relaxed);
    return 0;
}

DUPFIND_API const char *dupfind_last_error(void) noexcept { return dup_error_text(); }

DUPFIND_API void dupfind_free_string(char *p) noexcept { free(p); }

DUPFIND_API int dupfind_delete_file(const char *path) noexcept {
    dup_clear_error();
    // The system's reason for a removal it refused tells the user what to
    // do (a read-only file system, a permission, a file in use).
    char why[256];
    const dup_result r = dup_delete_guarded(path, why, sizeof why);
    if (r == DUP_OK) return 1;
    if (why[0]) dup_set_error("%s: %s", dup_result_message(r), why);
    else fail_with(r);
    return dup_result_refused(r) ? 0 : -1;
}

}  // extern "C"
