// The scan table, the per-thread error text, the exported scan functions,
// request parsing and canonical path resolution.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dup_internal.h"

pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;

static dup_scan_t g_scans[DUP_MAX_SCANS];
static int32_t g_inited = 0;
static int32_t g_next_id = 1;
static thread_local char g_err[DUP_ERR_LEN];

namespace {

// Holds g_mu for one scope; every exported function below unlocks on every
// path through it.
struct table_lock {
    table_lock() { dup_global_lock(); }
    ~table_lock() { dup_global_unlock(); }
    table_lock(const table_lock &) = delete;
    table_lock &operator=(const table_lock &) = delete;
};

void table_init() {
    if (g_inited) return;
    // Runs before any scan exists, so no worker can be looking at a slot.
    for (auto &s : g_scans) std::memset(static_cast<void *>(&s), 0, sizeof s);
    g_inited = 1;
}

void free_strings(char **v, int32_t n) {
    if (!v) return;
    for (int32_t i = 0; i < n; i++) free(v[i]);
    free(v);
}

}  // namespace

// ---- error text and small helpers ----------------------------------------------

void dup_set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

void dup_clear_error(void) { g_err[0] = '\0'; }

char *dup_strdup(const char *s) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(malloc(n));
    if (p) memcpy(p, s, n);
    return p;
}

void dup_global_lock(void) { pthread_mutex_lock(&g_mu); }
void dup_global_unlock(void) { pthread_mutex_unlock(&g_mu); }

// ---- the table ---------------------------------------------------------------

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
        s.state.store(DUP_STATE_RUNNING, std::memory_order_relaxed);
        s.thread_started = 0;
        s.min_size = 1;
        s.follow_symlinks = 0;
        s.max_files = 0;
        s.error[0] = '\0';
        return &s;
    }
    return nullptr;
}

void dup_scan_release(dup_scan_t *scan) {
    if (!scan) return;
    free_scan_data(scan);
    scan->in_use = 0;
    scan->state.store(DUP_STATE_FREE, std::memory_order_relaxed);
}

void dup_free_files(dup_scan_t *scan) {
    if (scan->files) {
        for (int32_t i = 0; i < scan->n_files; i++) free(scan->files[i].path);
        free(scan->files);
    }
    scan->files = nullptr;
    scan->n_files = scan->cap_files = 0;
}

void free_scan_data(dup_scan_t *scan) {
    free_strings(scan->roots, scan->n_roots);
    free_strings(scan->real_roots, scan->n_real_roots);
    free_strings(scan->exclude, scan->n_exclude);
    dup_free_files(scan);
    if (scan->skipped) {
        for (int32_t i = 0; i < scan->n_skipped; i++) {
            free(scan->skipped[i].path);
            free(scan->skipped[i].reason);
        }
        free(scan->skipped);
    }
    if (scan->groups) {
        for (int32_t i = 0; i < scan->n_groups; i++)
            free_strings(scan->groups[i].files, scan->groups[i].n_files);
        free(scan->groups);
    }
    free(scan->results_json);

    scan->roots = scan->real_roots = scan->exclude = nullptr;
    scan->n_roots = scan->n_real_roots = scan->n_exclude = 0;
    scan->skipped = nullptr;
    scan->n_skipped = scan->cap_skipped = 0;
    scan->groups = nullptr;
    scan->n_groups = scan->cap_groups = 0;
    scan->results_json = nullptr;
    scan->wasted_bytes = 0;
    scan->scanned_files = 0;
}

// ---- canonical paths ---------------------------------------------------------

// The canonical form of exactly this path, or NULL.
static char *realpath_resolve(const char *path) {
    if (!path || !*path) return nullptr;
    char *r = realpath(path, nullptr);
    if (!r) return nullptr;
    size_t n = strlen(r);
    while (n > 1 && r[n - 1] == '/') r[--n] = '\0';
    return r;
}

char *dup_realpath_dup(const char *path) {
    if (!path || !*path) return nullptr;
    char *r = realpath_resolve(path);
    if (r) return r;
    // Walk up until an ancestor resolves. Only '/' separates components here:
    // a backslash is an ordinary character of a name.
    char *copy = dup_strdup(path);
    if (!copy) return nullptr;
    for (;;) {
        char *slash = strrchr(copy, '/');
        if (!slash || slash == copy) break;
        *slash = '\0';
        r = realpath_resolve(copy);
        if (r) break;
    }
    free(copy);
    return r;
}

char *dup_root_realpath(const char *path) {
    // Deletes are admitted only below trees that a scan really walks: not
    // below the nearest ancestor of a mistyped root, and not below the target
    // of a link root, which the walk never enters.
    struct stat st;
    if (!path || dup_fill_stat(path, &st, 0) != 0) return nullptr;
    if ((st.st_mode & S_IFMT) == S_IFLNK) return nullptr;
    return realpath_resolve(path);
}

// ---- request parsing -------------------------------------------------------------

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

// Applies the options object to the slot. Returns 0, or -1 when the exclude
// entries could not be allocated.
int apply_options(dup_scan_t *scan, const dup_json_value &obj) {
    if (const dup_json_value *v = json_member(obj, "min_size"); v && json_is_integer(*v))
        scan->min_size = json_int64_clamped(*v);

    if (const dup_json_value *v = json_member(obj, "follow_symlinks")) {
        if (v->IsBool())
            scan->follow_symlinks = v->GetBool() ? 1 : 0;
        else if (json_is_integer(*v))
            scan->follow_symlinks = static_cast<uint32_t>(v->IsInt64() ? v->GetInt64() : v->GetUint64()) != 0 ? 1 : 0;
    }

    if (const dup_json_value *v = json_member(obj, "max_files"); v && json_is_integer(*v))
        scan->max_files = json_int64_clamped(*v);

    if (const dup_json_value *v = json_member(obj, "exclude"); v && v->IsArray()) {
        const auto n = static_cast<int32_t>(v->Size());
        if (n > 0) {
            auto **ex = static_cast<char **>(calloc(static_cast<size_t>(n), sizeof(char *)));
            if (!ex) return -1;
            scan->exclude = ex;
            scan->n_exclude = n;
            for (int32_t i = 0; i < n; i++) {
                const dup_json_value &e = (*v)[static_cast<rapidjson::SizeType>(i)];
                if (e.IsString()) ex[i] = dup_strdup(e.GetString());
            }
        }
    }
    return 0;
}

bool options_absent(const char *options_json) {
    return !options_json || !*options_json || strcmp(options_json, "null") == 0;
}

}  // namespace

const char *dup_parse_request(dup_scan_t *scan, const char *dirs_json, const char *options_json) {
    // Each document draws on a pool declared here: left to itself it would
    // create its pool with operator new, and a failure there would throw
    // outside the JSON layer that turns running out of memory into a
    // rejected text.
    if (!options_absent(options_json)) {
        dup_json_doc::AllocatorType pool;
        dup_json_doc doc(&pool);
        if (dup_json_parse(doc, options_json, strlen(options_json)) != 0)
            return "invalid options_json";
        if (!doc.IsObject()) return "options_json must be object";
        if (const dup_json_value *ex = json_member(doc, "exclude");
            ex && ex->IsArray() && !json_array_strings_are_clean(*ex))
            return "invalid options_json";
        if (apply_options(scan, doc) != 0) return "oom";
    }

    if (!*dirs_json) return "dirs_json required";
    {
        dup_json_doc::AllocatorType pool;
        dup_json_doc doc(&pool);
        if (dup_json_parse(doc, dirs_json, strlen(dirs_json)) != 0) return "invalid dirs_json";
        if (!doc.IsArray()) return "dirs_json must be array";
        if (!json_array_strings_are_clean(doc)) return "invalid dirs_json";
        const auto n = static_cast<int32_t>(doc.Size());
        if (n <= 0) return "dirs_json empty";
        scan->roots = static_cast<char **>(calloc(static_cast<size_t>(n), sizeof(char *)));
        scan->real_roots = static_cast<char **>(calloc(static_cast<size_t>(n), sizeof(char *)));
        if (!scan->roots || !scan->real_roots) return "oom";
        scan->n_roots = scan->n_real_roots = 0;
        for (const auto &e : doc.GetArray()) {
            if (!e.IsString() || e.GetStringLength() == 0) continue;
            // A root whose copy gets no memory stays as a null entry; the walk
            // passes over it.
            scan->roots[scan->n_roots++] = dup_strdup(e.GetString());
            if (char *real = dup_root_realpath(e.GetString()))
                scan->real_roots[scan->n_real_roots++] = real;
        }
    }
    if (scan->n_roots == 0) return "no valid directories";
    return nullptr;
}

namespace {

// Steps of the start after the slot was taken; returns the message of the
// failure, or NULL when the worker is running. Runs without g_mu: the slot
// is marked in use, so no other start takes it, and no query looks at the
// fields filled here (queries read only the atomics, and error or
// results_json once the worker has published them). Resolving thousands of
// roots therefore never holds up another thread's query.
const char *fill_and_start(dup_scan_t *scan, const char *dirs_json, const char *options_json) {
    if (const char *msg = dup_parse_request(scan, dirs_json, options_json)) return msg;

    dup_register_roots(scan->real_roots, scan->n_real_roots);

    if (pthread_create(&scan->thread, nullptr, dup_scan_worker, scan) != 0)
        return "pthread_create failed";
    scan->thread_started = 1;
    return nullptr;
}

}  // namespace

// ---- exported functions ------------------------------------------------------------

namespace {

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
        table_lock lock;
        scan = dup_scan_alloc();
        if (!scan) {
            dup_set_error("too many concurrent scans");
            return -1;
        }
        id = scan->id;
    }
    if (const char *msg = fill_and_start(scan, dirs_json, options_json)) {
        {
            table_lock lock;
            dup_scan_release(scan);
        }
        dup_set_error("%s", msg);
        return -1;
    }
    return id;
}

DUPFIND_API int dupfind_scan_progress(int scan_id) noexcept {
    dup_clear_error();
    table_lock lock;
    dup_scan_t *scan = find_scan(scan_id);
    if (!scan) return -1;
    int32_t p = dup_load_progress(scan);
    if (p < 0 && scan->error[0]) dup_set_error("%s", scan->error);
    return p;
}

DUPFIND_API char *dupfind_scan_results(int scan_id) noexcept {
    dup_clear_error();
    table_lock lock;
    dup_scan_t *scan = find_scan(scan_id);
    if (!scan) return nullptr;
    if (dup_load_progress(scan) != 100 || !scan->results_json) {
        dup_set_error("results not ready (progress must be 100)");
        return nullptr;
    }
    char *copy = dup_strdup(scan->results_json);
    if (!copy) dup_set_error("oom");
    return copy;
}

DUPFIND_API int dupfind_cancel(int scan_id) noexcept {
    dup_clear_error();
    table_lock lock;
    dup_scan_t *scan = find_scan(scan_id);
    if (!scan) return -1;
    scan->cancel.store(1, std::memory_order_relaxed);
    return 0;
}

DUPFIND_API const char *dupfind_last_error(void) noexcept { return g_err; }

DUPFIND_API void dupfind_free_string(char *p) noexcept { free(p); }

}  // extern "C"
