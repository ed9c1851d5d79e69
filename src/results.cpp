// SPDX-License-Identifier: MIT
// The results text: the outcome of a finished scan as one compact JSON
// object, written whole or not at all.
#include "results.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json.h"

namespace {

bool write_string(dup_json_writer &w, const char *s) {
    if (!s) s = "";
    size_t n = strlen(s);
    // The writer validates too, but reads past the end of a string that
    // stops inside a multi-byte sequence; it only ever sees checked text.
    if (!dup_utf8_valid(s, n)) return false;
    return w.String(s, static_cast<rapidjson::SizeType>(n));
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
        ok = w.StartObject() && w.Key("hash") && w.String(hex, 16) && w.Key("size") && w.Int64(g.size) &&
             w.Key("files") && w.StartArray();
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
        // A reason outside the table has no text: the document cannot be whole.
        const char *reason = dup_skip_reason_name(s.reason);
        ok = reason && w.StartObject() && w.Key("path") && write_string(w, s.path) && w.Key("reason") &&
             write_string(w, reason) && w.EndObject();
    }
    ok = ok && w.EndArray() && w.EndObject();
    return ok;
}

}  // namespace

dup_result dup_build_results_json(dup_scan_t *scan) {
    // The text is written whole or not at all: a results text that silently
    // lacks a group or a path because memory ran out would be a wrong answer
    // reported as success.
    char *text = nullptr;
    try {
        dup_json_buffer buf;
        dup_json_writer w(buf);
        if (!write_results(w, scan) || !w.IsComplete()) return DUP_FAILED;
        size_t n = buf.GetSize();
        text = static_cast<char *>(dup_malloc(n + 1));
        if (!text) return DUP_NOMEM;
        memcpy(text, buf.GetString(), n);
        text[n] = '\0';
    } catch (const std::bad_alloc &) {
        free(text);
        return DUP_NOMEM;
    }
    free(scan->results_json);
    scan->results_json = text;
    return DUP_OK;
}
