// SPDX-License-Identifier: MIT
// The scan table: 32 slots, handed out with ids 1, 2, 3, ... per load.
#include "scan_table.h"

#include <climits>
#include <cstring>

std::mutex g_mu;

namespace {

dup_scan_t g_scans[DUP_MAX_SCANS];
int32_t g_inited = 0;
int32_t g_next_id = 1;

void table_init() {
    if (g_inited) return;
    // Runs before any scan exists, so no worker can be looking at a slot.
    for (auto &s : g_scans) std::memset(static_cast<void *>(&s), 0, sizeof s);
    g_inited = 1;
}

}  // namespace

dup_scan_t *dup_scan_get(int32_t id) {
    table_init();
    for (auto &s : g_scans)
        if (s.in_use && s.id == id) return &s;
    return nullptr;
}

dup_scan_t *dup_scan_alloc(void) {
    table_init();
    for (auto &s : g_scans) {
        if (s.in_use) continue;
        free_scan_data(&s);
        s.id = g_next_id;
        g_next_id = g_next_id == INT32_MAX ? 1 : g_next_id + 1;
        s.progress.store(0, std::memory_order_relaxed);
        s.in_use = 1;
        s.cancel.store(0, std::memory_order_relaxed);
        dup_scan_defaults(&s);
        s.error[0] = '\0';
        return &s;
    }
    return nullptr;
}

void dup_scan_release(dup_scan_t *scan) {
    if (!scan) return;
    free_scan_data(scan);
    scan->in_use = 0;
}
