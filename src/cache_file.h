// SPDX-License-Identifier: MIT
// The fingerprint cache's file: its layout, reading its entries a piece at
// a time while checking them, and writing a new one.
//
// A header of 64 bytes, then one fixed record of 64 bytes per file sorted
// by (device, inode), in the byte order of the machine that wrote it. The
// file is never held whole in memory (ten million entries are 640 MB): a
// scan reads it in pieces of a megabyte, as often as it needs, through one
// handle kept open for the scan, so that every pass reads the file the
// first one checked even when another scan renames a new one over its name.
#ifndef DUP_CACHE_FILE_H
#define DUP_CACHE_FILE_H

#include <cstdint>

#ifndef XXH_STATIC_LINKING_ONLY
#  define XXH_STATIC_LINKING_ONLY  // XXH64_state_t by value
#endif
#include <xxhash.h>

#include "base.h"
#include "platform/platform.h"

constexpr uint32_t DUP_CACHE_VERSION = 1;

struct dup_cache_header {
    char magic[8];
    uint32_t version;
    uint32_t entry_size;
    uint64_t count;
    uint64_t generation;   // scans that wrote the file
    uint64_t next_proof;   // the first proof number no entry holds yet
    uint64_t entries_sum;  // XXH64 of the entries
    uint64_t header_sum;   // XXH64 of the fields above
    uint64_t reserved;
};
static_assert(sizeof(dup_cache_header) == 64, "the header's layout is the file's");

struct dup_cache_entry {
    uint64_t dev, ino;
    int64_t size, mtime_ns, ctime_ns;
    uint64_t partial;  // XXH64 of the first block
    uint64_t full;     // XXH64 of the whole content, when bit 0 of seen is set
    uint32_t proof;    // files of one proof were found byte-identical; 0: none
    uint32_t seen;     // bit 0: full is known; above: the scan that last met the file
};
static_assert(sizeof(dup_cache_entry) == 64, "the entry's layout is the file's");

inline bool dup_cache_key_less(const dup_cache_entry &a, const dup_cache_entry &b) {
    return a.dev != b.dev ? a.dev < b.dev : a.ino < b.ino;
}
inline bool dup_cache_same_key(const dup_cache_entry &a, const dup_cache_entry &b) {
    return a.dev == b.dev && a.ino == b.ino;
}

// What the file at the cache's path is.
enum class dup_cache_found : uint8_t {
    absent,       // nothing there
    valid,        // a cache this version wrote, whole as far as its header tells
    replaceable,  // empty, damaged, cut short or of an earlier version: rewritten
    untouchable,  // someone else's, of a later version, or unreadable: left alone
};

// Opens the file at path (*h, DUP_CONTENT_NONE unless the file is there
// and readable; *st its status then) and judges it by its header and its
// length (*hd filled when valid). The entries' checksum and order are
// checked as they are read.
dup_cache_found dup_cache_file_open(const char *path, dup_content_t *h, dup_stat_t *st, dup_cache_header *hd);

// The entries of an open, valid file in their order, one piece at a time,
// with their checksum as they go by.
struct dup_cache_reader {
    dup_content_t h = DUP_CONTENT_NONE;
    int64_t n = 0;     // entries in the file
    int64_t next = 0;  // entries handed out
    bool failed = false;
    dup_tmp_array<unsigned char> buf;  // a piece of the file
    int64_t in_buf = 0, pos = 0;       // entries in buf, and the next one's place
    XXH64_state_t sum{};

    // From the first entry of the file at h holding n of them. False when
    // no memory is left for the piece.
    bool start(dup_content_t handle, int64_t count);
    // The next entry copied to *e, or false at the end or on a read error
    // (failed).
    bool get(dup_cache_entry *e);
    // Whether every entry was read and their checksum is `expected`.
    bool whole(uint64_t expected);
};

// The keys of a valid file's entries while the scan's files look theirs
// up: the inode numbers by position (8 bytes an entry, an eighth of the
// entries themselves) and the runs of positions of one device.
struct dup_cache_dev_run {
    uint64_t dev;
    int64_t begin, end;
};
struct dup_cache_keys {
    uint64_t *inos;
    dup_cache_dev_run *runs;
    int32_t n_runs, cap_runs;
    int64_t at;   // the previous answer's position
    int32_t run;  // and its run
};
// Reads the n entries of the open file, checking their order and that
// their checksum is sum, into keys (empty before). DUP_OK; DUP_FAILED when
// they are not in order or not whole (*unreadable when a read failed);
// DUP_NOMEM. keys may hold something in every case: dup_cache_keys_free.
dup_result dup_cache_read_keys(dup_content_t h, int64_t n, uint64_t sum, dup_cache_keys *keys, bool *unreadable);
// The position of the entry of (dev, ino), or -1.
int64_t dup_cache_find(dup_cache_keys *keys, uint64_t dev, uint64_t ino);
void dup_cache_keys_free(dup_cache_keys *keys);

// A new cache file being written: entries go out in pieces, the header,
// which counts them and holds their checksum, last.
struct dup_cache_writer {
    dup_content_t out = DUP_CONTENT_NONE;
    const char *path = nullptr;  // of the new file, until it is renamed
    dup_tmp_array<unsigned char> buf;
    int64_t used = 0;
    uint64_t count = 0;
    bool failed = false;
    XXH64_state_t sum{};

    dup_cache_writer() = default;
    dup_cache_writer(const dup_cache_writer &) = delete;
    dup_cache_writer &operator=(const dup_cache_writer &) = delete;
    ~dup_cache_writer();  // abandons a file not committed
    // Creates the file at at (which must outlive the writer). DUP_OK,
    // DUP_FAILED or DUP_NOMEM.
    dup_result start(const char *at);
    // False once a write has failed.
    bool add(const dup_cache_entry &e);
    // Writes what is left and the header, makes the file durable and
    // renames it over `to`. DUP_OK or DUP_FAILED (the new file is removed).
    dup_result commit(const char *to, uint64_t generation, uint64_t next_proof);
};

#endif  // DUP_CACHE_FILE_H
