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

// Steps of the start after the slot was taken; returns the message of the
// failure, or null when the worker is running. Runs without g_mu: the slot
// is marked in use, so no other start takes it, and no query looks at the
// fields filled here (queries read only the atomics, and error or
// results_json once the worker has published them). Resolving thousands of
// roots therefore never holds up another thread's query.
const char *fill_and_start(dup_scan_t *scan, const char *dirs_json, const char *options_json) {
    if (const char *msg = dup_parse_request(scan, dirs_json, options_json)) return msg;
    dup_register_roots(scan->real_roots, scan->n_real_roots);
    if (dup_thread_spawn(dup_scan_worker, scan) != 0) return "pthread_create failed";
    return nullptr;
}

// The scan in use with this id, for a query that holds g_mu; leaves
// "invalid scan_id" in the caller's error text when there is none.
dup_scan_t *find_scan(int scan_id) {
    dup_scan_t *scan = dup_scan_get(scan_id);
    if (!scan) dup_set_error("invalid scan_id");
    return scan;
}

}  // namespace

extern "C" {

DUPFIND_API int dupfind_scan_start(const char *dirs_json, const char *options_json) noexcept {
    dup_clear_error();
    if (!dirs_json) {
        dup_set_error("NULL dirs_json");
        return -1;
    }
    dup_scan_t *scan;
    int32_t id;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        scan = dup_scan_alloc();
        if (!scan) {
            dup_set_error("too many concurrent scans");
            return -1;
        }
        id = scan->id;
    }
    if (const char *msg = fill_and_start(scan, dirs_json, options_json)) {
        {
            std::lock_guard<std::mutex> lock(g_mu);
            dup_scan_release(scan);
        }
        dup_set_error("%s", msg);
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
        dup_set_error("results not ready (progress must be 100)");
        return nullptr;
    }
    char *copy = dup_strdup(scan->results_json);
    if (!copy) dup_set_error("oom");
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
    const dup_delete_outcome out = dup_delete_guarded(path);
    if (out.message) dup_set_error("%s", out.message);
    return out.result;
}

}  // extern "C"
