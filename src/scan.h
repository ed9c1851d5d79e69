// SPDX-License-Identifier: MIT
// The records of one scan: what the request asked for, what the walk
// collected and passed over, what the grouping found, and the fields that
// the worker shares with host threads.
#ifndef DUP_SCAN_H
#define DUP_SCAN_H

#include <atomic>
#include <cstdint>

#include "base.h"

constexpr int DUP_MAX_SCANS = 32;

// Growth of the record arrays: first capacity, then doubling.
constexpr int32_t DUP_FILES_FIRST_CAP = 256;
constexpr int32_t DUP_SKIPPED_FIRST_CAP = 32;
constexpr int32_t DUP_GROUPS_FIRST_CAP = 16;

// Scans a fingerprint cache keeps the entry of a file it did not meet.
constexpr int64_t DUP_CACHE_KEEP_SCANS = 8;

// Progress milestones as hosts see them. Grouping raises progress from
// PROGRESS_GROUPING towards PROGRESS_GROUPED as the size runs are done.
constexpr int32_t DUP_PROGRESS_WALKING = 1;
constexpr int32_t DUP_PROGRESS_GROUPING = 40;
constexpr int32_t DUP_PROGRESS_GROUPED = 95;
constexpr int32_t DUP_PROGRESS_RESULTS = 96;
constexpr int32_t DUP_PROGRESS_DONE = 100;
constexpr int32_t DUP_PROGRESS_ENDED = -1;

// One collected file. A scan holds millions of these, so the record is
// kept to 40 bytes: the path lives in the scan's path arena, the device in
// the scan's table of devices, the three flags in single bits beside it,
// and one field holds each fingerprint in turn.
struct dup_file_t {
    char *path;    // in the scan's path arena: root as given, then "/name" per level
    int64_t size;  // from the status query at walk time
    // XXH64 of the first min(size, 64 KiB) bytes once the first blocks are
    // read (partial_ok), then, for a member of a partial run, XXH64 of the
    // whole content once that is read (full_ok). 0 from the walk.
    uint64_t full_hash;
    // Identity of the entry at walk time: equal for every path that reaches
    // the same file. Content is read only from a file of this identity.
    // dev is the position of the device in the scan's table (devs).
    uint64_t ino;
    uint32_t dev : 24;
    uint32_t partial_ok : 1;
    uint32_t full_ok : 1;
    // Set by grouping when the file could not be opened or read as the walk
    // recorded it (gone, replaced, no longer of its size): it is then in no
    // group and reported as skipped with "read_failed". Zero from the walk.
    uint32_t read_failed : 1;
    // With a fingerprint cache: the index of the file's dup_file_state in
    // the scan's states (which lie apart, so that a scan without a cache
    // pays nothing for them).
    int32_t state;
};
static_assert(sizeof(dup_file_t) == 40, "a scan holds millions of these records");
// The devices a scan can tell apart: dev holds 24 bits.
constexpr int32_t DUP_MAX_DEVS = int32_t{1} << 24;

// The paths of the collected files, packed one after the other into chunks
// that grow to DUP_PATH_CHUNK_MAX bytes: a block per path would cost the
// allocator's header and rounding, a third of a typical path again.
struct dup_path_chunk {
    dup_path_chunk *next;  // the chunk filled before this one
    size_t used, cap;      // bytes taken and available after the header
};
constexpr size_t DUP_PATH_CHUNK_FIRST = 4096 - sizeof(dup_path_chunk);
constexpr size_t DUP_PATH_CHUNK_MAX = (size_t{1} << 20) - sizeof(dup_path_chunk);

// What the fingerprint cache needs of a collected file beyond its record.
struct dup_file_state {
    // What an entry that records the file's state says beyond that state
    // (dup_cache_load fills it in).
    struct entry_facts {
        uint64_t full;   // the whole content's fingerprint, when DUP_ENTRY_FULL
        uint32_t proof;  // the entry's proof; 0: none
        uint32_t flags;  // DUP_ENTRY_*
    };
    struct walk_times {
        int64_t mtime_ns;
        int64_t ctime_ns;
    };
    union {
        // Status at walk time that the cache compares and stores; once
        // the file's entry is found to record it (cache_ref set), the
        // entry holds it too, and its place holds the entry's facts
        // instead, so that nothing of the cache file need stay in memory.
        walk_times walk;
        entry_facts entry;
    };
    // The first block's fingerprint as read or taken from the cache: the
    // record's own field gives way to the whole content's fingerprint.
    uint64_t partial;
    // The file's entry in the cache file read (its position), plus one; 0:
    // none, or one whose recorded state is not the file's.
    int32_t cache_ref;
    // The group the file went into, plus one (its index in groups); 0: in
    // none. The cache stores which files were proved byte-identical by it.
    int32_t proof;
};
static_assert(sizeof(dup_file_state) == 32, "a cached scan holds one per file");
constexpr uint32_t DUP_ENTRY_FULL = 1;       // the entry knows the whole fingerprint
constexpr uint32_t DUP_ENTRY_BY_WRITER = 2;  // met by the scan that wrote the file
constexpr uint32_t DUP_ENTRY_AGED = 4;       // its change time was old enough at this scan's start

// Why an entry was passed over. Hosts see each as its name from
// dup_skip_reason_name (the "reason" of the results text); include/dupfind.h
// documents every one.
enum dup_skip_reason : uint8_t {
    DUP_SKIP_ROOT_MISSING,
    DUP_SKIP_NAME_TOO_LONG,
    DUP_SKIP_NOT_DIRECTORY,
    DUP_SKIP_SYMLINK,
    DUP_SKIP_SYMLINK_STAT_FAILED,
    DUP_SKIP_SYMLINK_LOOP,
    DUP_SKIP_ALREADY_SCANNED,
    DUP_SKIP_BELOW_MIN_SIZE,
    DUP_SKIP_ABOVE_MAX_SIZE,
    DUP_SKIP_EXCLUDE,
    DUP_SKIP_EXCLUDE_GLOB,
    DUP_SKIP_HIDDEN,
    DUP_SKIP_OTHER_FILE_SYSTEM,
    DUP_SKIP_MAX_DEPTH,
    DUP_SKIP_NEWER_THAN,
    DUP_SKIP_OLDER_THAN,
    DUP_SKIP_NOT_INCLUDED,
    DUP_SKIP_LSTAT_FAILED,
    DUP_SKIP_NOT_REGULAR,
    DUP_SKIP_OPENDIR_FAILED,
    DUP_SKIP_INVALID_UTF8,
    DUP_SKIP_READ_FAILED,
    DUP_SKIP_MAX_FILES_REACHED,
    DUP_SKIP_CACHE_IGNORED,
    DUP_SKIP_CACHE_NOT_WRITTEN,
    DUP_SKIP_REASON_COUNT
};

// The name of a reason as hosts see it, or null for a value outside the
// enum.
const char *dup_skip_reason_name(dup_skip_reason reason);

// One passed-over path.
struct dup_skip_t {
    char *path;
    dup_skip_reason reason;
};

// One group of files with identical content.
struct dup_group_t {
    uint64_t hash;  // the head's full fingerprint
    int64_t size;   // the head's size
    char **files;   // head first, then members in order found
    int32_t n_files;
    // 1: the paths live in an arena of the scan (the collected files' while
    // grouping, then the groups' own), 0: each is a heap copy of its own.
    int32_t packed;
};

struct dup_cache;  // the loaded fingerprint cache (cache.h)

// One scan: a slot of the fixed table. The two atomics are shared between
// the worker and host threads; everything else is written either by the
// starting thread before the worker starts, or by the worker alone.
struct dup_scan_t {
    int32_t in_use;
    int32_t id;
    std::atomic<int32_t> progress;
    std::atomic<int32_t> cancel;

    char **roots;
    int32_t n_roots;
    char **real_roots;
    int32_t n_real_roots;

    int64_t min_size;
    int32_t follow_symlinks;
    char **exclude;
    int32_t n_exclude;
    int64_t max_files;
    // Later options; a request without them leaves these at their defaults,
    // which change nothing.
    int32_t hard_links;   // 1: every name of a file; 0: the first met
    int64_t max_size;     // largest size collected; negative: no limit
    char **exclude_glob;  // shell patterns of entries passed over
    int32_t n_exclude_glob;
    int32_t skip_hidden;      // pass over names that begin with '.'
    int32_t one_file_system;  // enter no directory on another device than its root
    int64_t max_depth;        // directory levels entered below a root; negative: all
    // Modification-time window, seconds since 1970 UTC: files modified
    // before newer_than or at or after older_than are passed over.
    int32_t has_newer_than, has_older_than;
    int64_t newer_than, older_than;
    char **include_glob;  // with any: only files one of these patterns matches are collected
    int32_t n_include_glob;
    int32_t glob_ignore_case;  // ASCII letters of either case match in every pattern
    char *cache_path;          // the fingerprint cache's file; null: none, and no file is written
    int64_t cache_keep_scans;  // scans an entry outlives its file's last sighting

    dup_cache *cache;    // the worker's, while it runs
    int64_t started_ns;  // when the worker began, by the system's clock

    dup_file_t *files;
    int32_t n_files, cap_files;
    dup_path_chunk *paths;        // the chunk being filled, null before the first path
    dup_path_chunk *group_paths;  // the groups' paths once the files are freed
    uint64_t *devs;               // the devices of the files' identities, each once
    int32_t n_devs, cap_devs;
    dup_file_state *states;  // with a cache only: by dup_file_t::state
    int32_t n_states, cap_states;
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
inline void dup_store_progress(dup_scan_t *s, int32_t v) { s->progress.store(v, std::memory_order_release); }
inline int32_t dup_load_progress(const dup_scan_t *s) { return s->progress.load(std::memory_order_acquire); }
inline bool dup_cancel_requested(const dup_scan_t *s) { return s->cancel.load(std::memory_order_relaxed) != 0; }

// ---- the record arrays (records.cpp) ---------------------------------------------------

// Appends a skipped path with its reason. DUP_OK, or DUP_NOMEM when the
// record cannot be stored (no memory, or a null path: a copy that got
// none) and nothing was added. The results promise that no file goes
// missing without a record, so the caller ends the scan on DUP_NOMEM.
dup_result dup_add_skip(dup_scan_t *scan, const char *path, dup_skip_reason reason);
// Appends a group of the paths list[0..cnt) with the head's hash and size,
// and adds its redundant bytes to wasted_bytes: the bytes of its
// `distinct` files (names of one file occupy its bytes once) beyond one.
// The paths are those of the collected files, in their arena: the group
// holds no copies while the files are there (dup_settle_groups makes
// them). DUP_OK, or DUP_NOMEM with nothing of the group left behind.
dup_result dup_append_group(dup_scan_t *scan, uint64_t hash, int64_t size, char *const *list, int32_t cnt,
                            int32_t distinct);
// A copy of path in the scan's path arena, released with the collected
// files; null when memory runs out (or path is null).
char *dup_keep_path(dup_scan_t *scan, const char *path);
// The position of device dev in the scan's table of devices, added when
// new. False when memory ran out: the table is then unchanged.
bool dup_dev_slot(dup_scan_t *scan, uint64_t dev, uint32_t *slot);
// Sets the request's settings to what a request without options asks for.
void dup_scan_defaults(dup_scan_t *scan);
// Frees the collected files once they are grouped: the records first, then
// the groups' paths are packed into an arena of their own, then the files'
// paths and devices go. Copying only after the records are gone keeps the
// copies from adding to the largest footprint of the scan. DUP_OK, or
// DUP_NOMEM with the records gone and every path still valid.
dup_result dup_settle_groups(dup_scan_t *scan);
// Frees the collected files (records, paths and devices) and zeroes their
// counts.
void dup_free_files(dup_scan_t *scan);
// Releases all heap data of a record and empties it; leaves the slot's
// identity, state, settings and error text alone.
void free_scan_data(dup_scan_t *scan);

#endif  // DUP_SCAN_H
