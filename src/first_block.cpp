// SPDX-License-Identifier: MIT
// Grouping by the fingerprint of the first block.
#include "first_block.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <xxhash.h>

#include "handles.h"
#include "order.h"
#include "platform/platform.h"

uint64_t (*dup_test_fingerprint_hook)(const char *path, int full, uint64_t computed) = nullptr;

namespace {

// Closes a content handle (and wakes a reader waiting for one) on every
// path out of a scope.
using content_owner =
    std::unique_ptr<dup_content_t, dup_handle_closer<dup_content_t, DUP_CONTENT_NONE, &dup_close_counted>>;

}  // namespace

dup_result dup_hash_first_block(const char *path, int64_t size, uint64_t dev, uint64_t ino, uint64_t *out, int *whole) {
    if (!out || size < 0 || !path) return DUP_FAILED;
    dup_content_t h;
    const dup_result opened = dup_open_counted(path, 0, dev, ino, &h);
    const content_owner owner(h);  // DUP_CONTENT_NONE on failure: nothing to close
    if (opened != DUP_OK) return opened;

    const int64_t n = size < DUP_BLOCK ? size : DUP_BLOCK;
    // A file that fits in one block is read with its end confirmed: getting
    // exactly n bytes then proves that it ends at its recorded size, so its
    // whole content is what was just hashed.
    unsigned char buf[DUP_BLOCK + 1];
    int64_t got = 0;
    const dup_result r = size <= DUP_BLOCK ? dup_content_read_end(h, buf, n, 1, &got)
                                           : dup_content_read(h, buf, n, &got);
    if (r != DUP_OK || got < n) return DUP_FAILED;  // read error, or shorter than recorded
    *out = XXH64(buf, static_cast<size_t>(n), 0);
    if (whole) *whole = size <= DUP_BLOCK && got == n;
    return DUP_OK;
}

dup_result dup_order_size_run(dup_scan_t *scan, dup_order_scratch &w, unsigned char *whole, int32_t i, int32_t j,
                              dup_run_bounds *runs) {
    dup_file_t *run = scan->files + i;
    const int32_t m = j - i;
    for (int32_t k = 0; k < m; k++) {
        if (dup_cancel_requested(scan)) return DUP_STOPPED;  // before every partial fingerprint is used
        const uint64_t h = run[k].full_hash;                 // the first block's, 0 when it failed
        // The cache keeps it past the whole content's, which takes its field.
        if (scan->states) scan->states[run[k].state].partial = h;
        if (run[k].partial_ok) run[k].full_hash = dup_seam(run[k].path, 0, h);
        w.raw[k] = h;
        w.whole[k] = run[k].partial_ok ? whole[i + k] : 0;
        w.order[k] = k;
    }
    // Paths are unique here, so (fingerprint, path) is a total order and
    // any sort gives the one result.
    std::sort(w.order.p, w.order.p + m, [&](int32_t a, int32_t b) {
        if (run[a].full_hash != run[b].full_hash) return run[a].full_hash < run[b].full_hash;
        return strcmp(run[a].path, run[b].path) < 0;
    });
    dup_apply_order(run, w.order.p, m);
    for (int32_t t = 0; t < m; t++) whole[i + t] = w.whole[w.order[t]];

    for (int32_t b = 0; b < m;) {
        int32_t e = b + 1;
        if (run[b].partial_ok)
            while (e < m && run[e].partial_ok && run[e].full_hash == run[b].full_hash) e++;
        if (e - b >= 2) {
            for (int32_t t = b; t < e; t++) run[t].full_hash = w.raw[w.order[t]];
            if (!dup_array_reserve(runs->b, runs->n, runs->cap_b, 64, false) ||
                !dup_array_reserve(runs->e, runs->n, runs->cap_e, 64, false))
                return DUP_NOMEM;
            runs->b[runs->n] = i + b;
            runs->e[runs->n] = i + e;
            runs->n++;
        }
        b = e;
    }
    return DUP_OK;
}
