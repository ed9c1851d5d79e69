// SPDX-License-Identifier: MIT
// Request parsing: the two request texts of a scan start, read into a slot.
#include "request.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "glob.h"
#include "json.h"
#include "roots.h"

namespace {

bool json_is_integer(const dup_json_value &v) { return v.IsInt64() || v.IsUint64(); }

// The reader validates the bytes of the text, but decodes a \u escape of a
// lone low surrogate into bytes that are not UTF-8. A request string that
// holds them makes the text as malformed as a bad byte would: such a root
// could never be written into the results text. A \u0000 escape decodes
// into a NUL inside the string, and every path past it would be cut there:
// the root "/a\u0000/restricted" would scan and register "/a". Such a
// string is rejected as well.
bool json_array_strings_are_clean(const dup_json_value &arr) {
    for (const auto &e : arr.GetArray()) {
        if (!e.IsString()) continue;
        const char *s = e.GetString();
        const size_t n = e.GetStringLength();
        if (memchr(s, '\0', n) || !dup_utf8_valid(s, n)) return false;
    }
    return true;
}

// The value as a signed 64-bit integer. An unsigned value above the signed
// range means "more than any file has or any tree holds", so it is clamped
// to the largest signed value rather than wrapped into a negative one (a
// negative size floor would admit every file).
int64_t json_int64_clamped(const dup_json_value &v) {
    if (v.IsInt64()) return v.GetInt64();
    const uint64_t u = v.GetUint64();
    return u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u);
}

const dup_json_value *json_member(const dup_json_value &obj, const char *key) {
    // FindMember scans from the first member and compares decoded key bytes
    // with their length, so the first occurrence of a repeated key wins.
    auto it = obj.FindMember(key);
    return it == obj.MemberEnd() ? nullptr : &it->value;
}

// One entry per element of a JSON array: a copy of each string, null for
// anything else. DUP_OK, or DUP_NOMEM (for the entries or for a copy: a
// pattern lost that way would silently leave out nothing).
dup_result copy_strings(const dup_json_value &arr, char ***out, int32_t *n_out) {
    const auto n = static_cast<int32_t>(arr.Size());
    if (n <= 0) return DUP_OK;
    auto **v = static_cast<char **>(dup_calloc(static_cast<size_t>(n), sizeof(char *)));
    if (!v) return DUP_NOMEM;
    *out = v;
    *n_out = n;
    for (int32_t i = 0; i < n; i++) {
        const dup_json_value &e = arr[static_cast<rapidjson::SizeType>(i)];
        if (e.IsString() && !(v[i] = dup_strdup(e.GetString()))) return DUP_NOMEM;
    }
    return DUP_OK;
}

// The keys the first interface defined ("min_size", "follow_symlinks",
// "max_files", "exclude") pass over a value of the wrong type, as they
// always have. Every key added since takes only its own type and range:
// such a key misread would scan something else than the caller asked for,
// without a word. Whether the added keys present are well formed.
bool added_keys_valid(const dup_json_value &obj) {
    for (const char *key : {"hard_links", "skip_hidden", "one_file_system", "glob_ignore_case"})
        if (const dup_json_value *v = json_member(obj, key); v && !v->IsBool()) return false;
    // Whole numbers from 0 to the largest signed 64-bit value; a number
    // written with a fraction or an exponent (1e300) is not one.
    // "max_depth" starts at 1, the root's own entries: 0 would collect
    // nothing below a root directory.
    for (const char *key : {"max_size", "max_depth"})
        if (const dup_json_value *v = json_member(obj, key);
            v && !(v->IsInt64() && v->GetInt64() >= (std::strcmp(key, "max_depth") == 0 ? 1 : 0)))
            return false;
    // A cache file is named by a whole path: an empty one names nothing,
    // and one cut at a NUL would be another file.
    if (const dup_json_value *v = json_member(obj, "cache");
        v && !(v->IsString() && v->GetStringLength() > 0 && !memchr(v->GetString(), '\0', v->GetStringLength()) &&
               dup_utf8_valid(v->GetString(), v->GetStringLength())))
        return false;
    if (const dup_json_value *v = json_member(obj, "cache_keep_scans"); v && !(v->IsInt64() && v->GetInt64() >= 1))
        return false;
    // Any instant, before 1970 as well: the bounds are compared, not stored.
    for (const char *key : {"newer_than", "older_than"})
        if (const dup_json_value *v = json_member(obj, key); v && !v->IsInt64()) return false;
    if (const dup_json_value *v = json_member(obj, "exclude_glob")) {
        if (!v->IsArray()) return false;
        for (const auto &e : v->GetArray())
            if (!e.IsString() || dup_glob_problem(e.GetString()) != nullptr) return false;
    }
    // Only files are kept in by a pattern: one for directories only would
    // keep nothing.
    if (const dup_json_value *v = json_member(obj, "include_glob")) {
        if (!v->IsArray()) return false;
        for (const auto &e : v->GetArray())
            if (!e.IsString() || dup_glob_problem(e.GetString()) != nullptr || dup_glob_dir_only(e.GetString()))
                return false;
    }
    return true;
}

// Applies the options object to the slot. DUP_OK, or DUP_NOMEM when the
// exclude entries could not be allocated.
dup_result apply_options(dup_scan_t *scan, const dup_json_value &obj) {
    if (const dup_json_value *v = json_member(obj, "min_size"); v && json_is_integer(*v))
        scan->min_size = json_int64_clamped(*v);

    if (const dup_json_value *v = json_member(obj, "follow_symlinks")) {
        if (v->IsBool()) scan->follow_symlinks = v->GetBool() ? 1 : 0;
        else if (json_is_integer(*v))
            scan->follow_symlinks = static_cast<uint32_t>(v->IsInt64() ? static_cast<uint64_t>(v->GetInt64())
                                                                       : v->GetUint64()) != 0
                                        ? 1
                                        : 0;
    }

    if (const dup_json_value *v = json_member(obj, "max_files"); v && json_is_integer(*v))
        scan->max_files = json_int64_clamped(*v);

    if (const dup_json_value *v = json_member(obj, "exclude"); v && v->IsArray())
        if (copy_strings(*v, &scan->exclude, &scan->n_exclude) != DUP_OK) return DUP_NOMEM;

    // The added keys, checked by added_keys_valid.
    if (const dup_json_value *v = json_member(obj, "hard_links")) scan->hard_links = v->GetBool() ? 1 : 0;
    if (const dup_json_value *v = json_member(obj, "max_size")) scan->max_size = v->GetInt64();
    if (const dup_json_value *v = json_member(obj, "exclude_glob"))
        if (copy_strings(*v, &scan->exclude_glob, &scan->n_exclude_glob) != DUP_OK) return DUP_NOMEM;
    if (const dup_json_value *v = json_member(obj, "skip_hidden")) scan->skip_hidden = v->GetBool() ? 1 : 0;
    if (const dup_json_value *v = json_member(obj, "one_file_system")) scan->one_file_system = v->GetBool() ? 1 : 0;
    if (const dup_json_value *v = json_member(obj, "max_depth")) scan->max_depth = v->GetInt64();
    if (const dup_json_value *v = json_member(obj, "include_glob"))
        if (copy_strings(*v, &scan->include_glob, &scan->n_include_glob) != DUP_OK) return DUP_NOMEM;
    if (const dup_json_value *v = json_member(obj, "glob_ignore_case")) scan->glob_ignore_case = v->GetBool() ? 1 : 0;
    if (const dup_json_value *v = json_member(obj, "cache"))
        if (!(scan->cache_path = dup_strdup(v->GetString()))) return DUP_NOMEM;
    if (const dup_json_value *v = json_member(obj, "cache_keep_scans")) scan->cache_keep_scans = v->GetInt64();
    if (const dup_json_value *v = json_member(obj, "newer_than")) {
        scan->has_newer_than = 1;
        scan->newer_than = v->GetInt64();
    }
    if (const dup_json_value *v = json_member(obj, "older_than")) {
        scan->has_older_than = 1;
        scan->older_than = v->GetInt64();
    }
    return DUP_OK;
}

bool options_absent(const char *options_json) {
    return !options_json || !*options_json || strcmp(options_json, "null") == 0;
}

}  // namespace

dup_result dup_parse_request(dup_scan_t *scan, const char *dirs_json, const char *options_json) {
    // Each document draws on a pool declared here: left to itself it would
    // create its pool with operator new, and a failure there would throw
    // outside the JSON layer that turns running out of memory into a
    // rejected text.
    if (!options_absent(options_json)) {
        dup_json_doc::AllocatorType pool;
        dup_json_doc doc(&pool);
        // A text the pool had no memory to read is refused as unreadable.
        if (dup_json_parse(doc, options_json, strlen(options_json)) != DUP_OK) return DUP_E_INVALID_OPTIONS;
        if (!doc.IsObject()) return DUP_E_OPTIONS_NOT_OBJECT;
        for (const char *key : {"exclude", "exclude_glob", "include_glob"})
            if (const dup_json_value *ex = json_member(doc, key);
                ex && ex->IsArray() && !json_array_strings_are_clean(*ex))
                return DUP_E_INVALID_OPTIONS;
        if (!added_keys_valid(doc)) return DUP_E_INVALID_OPTIONS;
        if (apply_options(scan, doc) != DUP_OK) return DUP_NOMEM;
    }

    if (!*dirs_json) return DUP_E_DIRS_REQUIRED;
    {
        dup_json_doc::AllocatorType pool;
        dup_json_doc doc(&pool);
        if (dup_json_parse(doc, dirs_json, strlen(dirs_json)) != DUP_OK) return DUP_E_INVALID_DIRS;
        if (!doc.IsArray()) return DUP_E_DIRS_NOT_ARRAY;
        if (!json_array_strings_are_clean(doc)) return DUP_E_INVALID_DIRS;
        const auto n = static_cast<int32_t>(doc.Size());
        if (n <= 0) return DUP_E_DIRS_EMPTY;
        scan->roots = static_cast<char **>(dup_calloc(static_cast<size_t>(n), sizeof(char *)));
        scan->real_roots = static_cast<char **>(dup_calloc(static_cast<size_t>(n), sizeof(char *)));
        if (!scan->roots || !scan->real_roots) return DUP_NOMEM;
        scan->n_roots = scan->n_real_roots = 0;
        for (const auto &e : doc.GetArray()) {
            if (!e.IsString() || e.GetStringLength() == 0) continue;
            // A root that got no copy would be neither scanned nor reported.
            if (!(scan->roots[scan->n_roots] = dup_strdup(e.GetString()))) return DUP_NOMEM;
            scan->n_roots++;
            if (char *real = dup_root_canonical(e.GetString())) scan->real_roots[scan->n_real_roots++] = real;
        }
    }
    if (scan->n_roots == 0) return DUP_E_NO_VALID_DIRS;
    return DUP_OK;
}
