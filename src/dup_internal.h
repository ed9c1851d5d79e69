// Internal declarations shared by the library's modules (and its unit tests).
//
// Modules and what they may use:
//   dup_posix  - file status query and the tree walk; depends on nothing but
//                the error/strdup helpers.
//   dup_hash   - fingerprints and byte comparison; depends on nothing.
//   dup_scan   - worker, grouping and results text; uses walk and hash.
//   dup_action - scanned-roots registry and guarded delete.
//   dupfind    - scan table, error text, request parsing, canonical paths.
#ifndef DUP_INTERNAL_H
#define DUP_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <sys/stat.h>

#include "dupfind.h"

constexpr int DUP_MAX_SCANS = 32;
constexpr int DUP_ERR_LEN = 512;
constexpr int64_t DUP_BLOCK = 65536;  // read size of fingerprints and comparison

// Growth of the record arrays: first capacity, then doubling.
constexpr int32_t DUP_FILES_FIRST_CAP = 256;
constexpr int32_t DUP_SKIPPED_FIRST_CAP = 32;
constexpr int32_t DUP_GROUPS_FIRST_CAP = 16;
constexpr int32_t DUP_ROOTS_FIRST_CAP = 8;

// One collected file.
struct dup_file_t {
    char *path;             // heap copy: root as given, then "/name" per level
    int64_t size;           // from the status query at walk time
    uint64_t partial_hash;  // XXH64 of the first min(size, 64 KiB) bytes
    uint64_t full_hash;     // XXH64 of the whole content
    int32_t partial_ok;
    int32_t full_ok;
    // Identity of the entry at walk time. Used only to find records that
    // name one entry under two paths (same root twice, nested roots,
    // followed links) without canonicalising every path.
    uint64_t dev;
    uint64_t ino;
};

// One passed-over path.
struct dup_skip_t {
    char *path;
    char *reason;
};

// One group of files with identical content.
struct dup_group_t {
    uint64_t hash;   // the head's full fingerprint
    int64_t size;    // the head's size
    char **files;    // heap copies: head first, then members in order found
    int32_t n_files;
    int32_t cap_files;
};

// Scan states.
constexpr int32_t DUP_STATE_FREE = 0;
constexpr int32_t DUP_STATE_RUNNING = 1;
constexpr int32_t DUP_STATE_DONE = 2;
constexpr int32_t DUP_STATE_ENDED = 3;

// One scan: a slot of the fixed table. The three atomics are shared between
// the worker and host threads; everything else is written either under g_mu
// before the worker starts, or by the worker alone.
struct dup_scan_t {
    int32_t in_use;
    int32_t id;
    std::atomic<int32_t> progress;
    std::atomic<int32_t> cancel;
    std::atomic<int32_t> state;
    pthread_t thread;
    int32_t thread_started;

    char **roots;
    int32_t n_roots;
    char **real_roots;
    int32_t n_real_roots;

    int64_t min_size;
    int32_t follow_symlinks;
    char **exclude;
    int32_t n_exclude;
    int64_t max_files;

    dup_file_t *files;
    int32_t n_files, cap_files;
    dup_skip_t *skipped;
    int32_t n_skipped, cap_skipped;
    dup_group_t *groups;
    int32_t n_groups, cap_groups;
    int64_t wasted_bytes;
    int64_t scanned_files;

    char *results_json;
    char error[DUP_ERR_LEN];
};

// The worker publishes its final state with a release store; readers use
// dup_load_progress, an acquire load, before they look at error/results_json.
inline void dup_store_progress(dup_scan_t *s, int32_t v) {
    s->progress.store(v, std::memory_order_release);
}
inline int32_t dup_load_progress(const dup_scan_t *s) {
    return s->progress.load(std::memory_order_acquire);
}
inline bool dup_cancel_requested(const dup_scan_t *s) {
    return s->cancel.load(std::memory_order_relaxed) != 0;
}

// ---- dupfind: table, error text, helpers, canonical paths -------------------
extern pthread_mutex_t g_mu;

void dup_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void dup_clear_error(void);
char *dup_strdup(const char *s);
void dup_global_lock(void);
void dup_global_unlock(void);
dup_scan_t *dup_scan_get(int32_t id);    // caller holds g_mu
dup_scan_t *dup_scan_alloc(void);        // caller holds g_mu
void dup_scan_release(dup_scan_t *scan); // caller holds g_mu
void free_scan_data(dup_scan_t *scan);
// Frees the collected files (records and paths) and zeroes their counts.
void dup_free_files(dup_scan_t *scan);

// Reads the two request texts into a slot just taken with dup_scan_alloc:
// options, roots and their canonical forms; registers nothing and starts no
// thread. Returns the failure message, or NULL. Caller holds g_mu.
const char *dup_parse_request(dup_scan_t *scan, const char *dirs_json, const char *options_json);

// Canonical form: absolute, every link resolved, no trailing '/' (but "/").
// When the path does not resolve, the canonical form of its nearest existing
// ancestor (cutting at '/'). NULL when neither exists. Caller frees.
char *dup_realpath_dup(const char *path);
// Canonical form of a scan root for the registry: only when the root itself
// exists, is not a symbolic link and resolves without any fallback.
char *dup_root_realpath(const char *path);

// ---- dup_posix: status query and walk -----------------------------------------
// Fills st with the type bits of st_mode only (S_IFLNK, S_IFDIR, S_IFREG or
// the object's own type) and st_size for regular files; everything else zero.
// follow = 0 reports a link as a link. Returns 0 or -1.
int dup_fill_stat(const char *path, struct stat *st, int follow);
// The status query's type bits (S_IFMT) with the object's identity, which
// is equal for every path that reaches the same object.
int dup_query_identity(const char *path, int follow, unsigned *type, uint64_t *dev, uint64_t *ino);
// open(2) for a path of any length: one of PATH_MAX bytes or more, which a
// walk below a deep tree builds, is opened relative to the directories
// along it. Returns the descriptor, or -1 with errno set.
int dup_path_open(const char *path, int flags);
// 0 done (or stopped at the file cap), 1 cancelled, -1 out of memory.
int dup_walk_collect(dup_scan_t *scan);

// ---- dup_entries: one entry under two paths -------------------------------------
// Merges the collected records that name one directory entry (same
// directory, same name) under different paths, keeping the first in walk
// order. 0, or -1 when memory ran out (nothing merged then).
int dup_merge_same_entries(dup_scan_t *scan);

// ---- dup_hash: fingerprints and comparison ------------------------------------
int dup_hash_partial(const char *path, int64_t size, uint64_t *out);
int dup_hash_full(const char *path, uint64_t *out);
int dup_files_equal(const char *a, const char *b, int64_t len);
// dup_hash_partial that also tells, through *whole (may be null), whether the
// file ended exactly at its recorded size of at most one block: its full
// fingerprint is then the partial one. dev/ino: see dup_content_open.
int dup_hash_partial_ex(const char *path, int64_t size, uint64_t dev, uint64_t ino, uint64_t *out, int *whole);
// Platform layer for reading content. open: a handle (>= 0) for a regular
// file opened without blocking; -2 when the process is out of handles (worth
// trying again once some are closed); -1 on any other failure, including a
// file whose identity is not (dev, ino) unless both are 0. sequential hints a
// read to the end.
// read: fills buf with up to n bytes, fewer only at the end of the file;
// -1 on a read error. close accepts -1.
intptr_t dup_content_open(const char *path, int sequential, uint64_t dev, uint64_t ino);
int64_t dup_content_read(intptr_t h, void *buf, int64_t n);
void dup_content_close(intptr_t h);

// ---- dup_scan: worker, grouping, results ------------------------------------
void *dup_scan_worker(void *arg);
// 0 completed, 1 stopped at a cancel checkpoint, -1 out of memory (no
// temporaries left, no half-built group).
int dup_group_files(dup_scan_t *scan);
// Test seam, never set by the library: when non-null, grouping replaces every
// fingerprint it takes (full 0: partial, 1: full) by what this returns, so
// tests can make distinct files collide and order fingerprints at will.
extern uint64_t (*dup_test_fingerprint_hook)(const char *path, int full, uint64_t computed);
// Test seam, never set by the library: when non-null, the worker calls it
// once grouping is done, just before it frees the collected files. A test
// may take the files over (leaving scan->files null) to look at them later.
extern void (*dup_test_files_hook)(dup_scan_t *scan);
// Threads that read a scan's files while it groups them, the worker among
// them (1: the worker alone). Read when grouping starts; tests change it to
// compare results with and without the pools.
extern int32_t dup_reader_threads;
// 0 with results_json stored, -1 when no text could be produced.
int dup_build_results_json(dup_scan_t *scan);

// ---- dup_action: registry and delete ------------------------------------------
// The scanned-roots registry: canonical roots of every scan started, in order
// of registration, never shrunk or freed. An entry is null when its copy got
// no memory. The array and its counts are used only under g_roots_mu.
extern pthread_mutex_t g_roots_mu;
extern char **g_roots;
extern int32_t g_n_roots;
extern int32_t g_cap_roots;

void dup_register_roots(char **roots, int32_t n);
int dup_path_has_dotdot(const char *path);
int dup_is_under_any_root(const char *path);
int dup_path_is_symlink(const char *path);
int dup_path_is_dir(const char *path);

// ---- JSON layer ----------------------------------------------------------------
// RapidJSON configured to behave as the library needs.
//
// Reading is strict RFC 8259 with UTF-8 validation and runs without
// recursion, so a request nested a million levels deep cannot overflow the
// stack. Writing is compact, escapes only what JSON requires and fails on a
// string that is not valid UTF-8.
//
// RapidJSON does not check its allocations: an allocator that returns NULL
// makes it write through a null pointer. Ours throws std::bad_alloc instead,
// and every entry point of this layer catches it and reports failure, so no
// exception leaves the layer.
#include <cstdlib>
#include <new>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

struct dup_json_allocator {
    static const bool kNeedFree = true;
    void *Malloc(size_t size) {
        if (size == 0) return nullptr;
        void *p = std::malloc(size);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void *Realloc(void *orig, size_t, size_t new_size) {
        if (new_size == 0) {
            std::free(orig);
            return nullptr;
        }
        void *p = std::realloc(orig, new_size);
        if (!p) throw std::bad_alloc();
        return p;
    }
    static void Free(void *p) { std::free(p); }
};

// Values live in a pool that is released at once with the document, so
// destroying a deeply nested document does not recurse either.
using dup_json_doc = rapidjson::GenericDocument<rapidjson::UTF8<>,
                                                rapidjson::MemoryPoolAllocator<dup_json_allocator>,
                                                dup_json_allocator>;
using dup_json_value = dup_json_doc::ValueType;

constexpr unsigned DUP_JSON_PARSE_FLAGS =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;

// Parses text[0..len) into doc. Returns 0, or -1 when the text is not one
// complete valid JSON text or memory ran out.
inline int dup_json_parse(dup_json_doc &doc, const char *text, size_t len) noexcept {
    try {
        doc.Parse<DUP_JSON_PARSE_FLAGS>(text, len);
        return doc.HasParseError() ? -1 : 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

// Length of the well-formed UTF-8 sequence that starts at p (p < end), or 0
// when none does: no overlong forms, no surrogates, nothing above U+10FFFF,
// exactly what the results writer accepts. RapidJSON's own decoder, given a
// range that ends inside a multi-byte sequence, reads the rest of the
// sequence past the end; the stream here yields NUL there, which no sequence
// accepts as a continuation, so nothing beyond `end` is read.
inline size_t dup_utf8_sequence_length(const char *p, const char *end) noexcept {
    if (!(static_cast<unsigned char>(*p) & 0x80)) return 1;
    struct bounded {
        using Ch = char;
        const char *cur;
        const char *end;
        Ch Peek() const { return cur < end ? *cur : '\0'; }
        Ch Take() { return cur < end ? *cur++ : '\0'; }
        size_t Tell() const { return 0; }
    } in{p, end};
    unsigned codepoint = 0;
    if (!rapidjson::UTF8<char>::Decode(in, &codepoint)) return 0;
    return static_cast<size_t>(in.cur - p);
}

// Whether s[0..n) is well-formed UTF-8.
inline bool dup_utf8_valid(const char *s, size_t n) noexcept {
    for (const char *p = s, *end = s + n; p < end;) {
        size_t k = dup_utf8_sequence_length(p, end);
        if (k == 0) return false;
        p += k;
    }
    return true;
}

using dup_json_buffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, dup_json_allocator>;
using dup_json_writer = rapidjson::Writer<dup_json_buffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                          dup_json_allocator, rapidjson::kWriteValidateEncodingFlag>;

#endif  // DUP_INTERNAL_H
