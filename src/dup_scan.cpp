// The scan worker, the grouping of duplicates and the results text.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dup_internal.h"

// ---- worker ------------------------------------------------------------------

namespace {

void end_scan(dup_scan_t *scan, const char *text) {
    snprintf(scan->error, sizeof scan->error, "%s", text);
    dup_store_progress(scan, -1);
    scan->state.store(DUP_STATE_ENDED, std::memory_order_release);
}

}  // namespace

void *dup_scan_worker(void *arg) {
    auto *scan = static_cast<dup_scan_t *>(arg);
    dup_store_progress(scan, 1);

    int r = dup_walk_collect(scan);
    // A pending cancel wins over a walk that failed at the same time.
    if (dup_cancel_requested(scan)) {
        end_scan(scan, "cancelled");
        return nullptr;
    }
    if (r < 0) {
        end_scan(scan, "walk failed");
        return nullptr;
    }

    scan->scanned_files = scan->n_files;
    dup_store_progress(scan, 40);

    if (scan->n_files >= 2 && dup_group_files(scan) < 0) {
        end_scan(scan, dup_cancel_requested(scan) ? "cancelled" : "grouping failed");
        return nullptr;
    }
    // Also the outcome of a grouping that stopped at a cancel checkpoint.
    if (dup_cancel_requested(scan)) {
        end_scan(scan, "cancelled");
        return nullptr;
    }

    dup_store_progress(scan, 96);
    if (dup_build_results_json(scan) != 0) {
        end_scan(scan, "results json failed");
        return nullptr;
    }
    dup_store_progress(scan, 100);
    scan->state.store(DUP_STATE_DONE, std::memory_order_release);
    return nullptr;
}

// ---- grouping ------------------------------------------------------------------

int dup_group_files(dup_scan_t *scan) {
    (void)scan;  // grouping not built yet: no groups
    return 0;
}

// ---- results text ----------------------------------------------------------------

namespace {

bool write_string(dup_json_writer &w, const char *s) {
    if (!s) s = "";
    return w.String(s, static_cast<rapidjson::SizeType>(strlen(s)));
}

// Streams the whole document into w. False when a string is not valid UTF-8.
// An allocation failure throws std::bad_alloc out of the writer.
bool write_results(dup_json_writer &w, const dup_scan_t *scan) {
    bool ok = w.StartObject();
    ok = ok && w.Key("groups") && w.StartArray();
    for (int32_t i = 0; ok && i < scan->n_groups; i++) {
        const dup_group_t &g = scan->groups[i];
        char hex[17];
        snprintf(hex, sizeof hex, "%016" PRIx64, g.hash);
        ok = w.StartObject() && w.Key("hash") && w.String(hex, 16) && w.Key("size") &&
             w.Int64(g.size) && w.Key("files") && w.StartArray();
        for (int32_t k = 0; ok && k < g.n_files; k++)
            if (g.files[k]) ok = write_string(w, g.files[k]);
        ok = ok && w.EndArray() && w.EndObject();
    }
    ok = ok && w.EndArray();
    ok = ok && w.Key("wasted_bytes") && w.Int64(scan->wasted_bytes);
    ok = ok && w.Key("scanned_files") && w.Int64(scan->scanned_files);
    ok = ok && w.Key("skipped") && w.StartArray();
    for (int32_t i = 0; ok && i < scan->n_skipped; i++) {
        const dup_skip_t &s = scan->skipped[i];
        ok = w.StartObject() && w.Key("path") && write_string(w, s.path) && w.Key("reason") &&
             write_string(w, s.reason) && w.EndObject();
    }
    ok = ok && w.EndArray() && w.EndObject();
    return ok;
}

}  // namespace

int dup_build_results_json(dup_scan_t *scan) {
    // The text is written whole or not at all: a results text that silently
    // lacks a group or a path because memory ran out would be a wrong answer
    // reported as success.
    char *text = nullptr;
    try {
        dup_json_buffer buf;
        dup_json_writer w(buf);
        if (!write_results(w, scan) || !w.IsComplete()) return -1;
        size_t n = buf.GetSize();
        text = static_cast<char *>(malloc(n + 1));
        if (!text) return -1;
        memcpy(text, buf.GetString(), n);
        text[n] = '\0';
    } catch (const std::bad_alloc &) {
        free(text);
        return -1;
    }
    free(scan->results_json);
    scan->results_json = text;
    return 0;
}
