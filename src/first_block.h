// SPDX-License-Identifier: MIT
// Grouping by the fingerprint of the first block: files of one size are
// told apart by XXH64 of their first 64 KiB, and each size run is ordered
// by (fingerprint, path) into the partial runs the whole-content stage reads.
#ifndef DUP_FIRST_BLOCK_H
#define DUP_FIRST_BLOCK_H

#include <cstdint>

#include "scan.h"

constexpr int64_t DUP_BLOCK = 65536;  // the first block, and the smallest read

// XXH64 (seed 0) of the first min(size, DUP_BLOCK) bytes of the file at
// path, whose identity must be (dev, ino) unless both are 0. *whole (may be
// null) tells whether the file of at most one block ended exactly at size,
// so that this is also its full fingerprint. DUP_OK; DUP_FAILED when the
// file cannot be opened or read that far; DUP_NO_HANDLE when no handle was
// free to open it.
dup_result dup_hash_first_block(const char *path, int64_t size, uint64_t dev, uint64_t ino, uint64_t *out, int *whole);

// Test seam, never set by the library: when non-null, grouping replaces every
// fingerprint it takes (full 0: first block, 1: whole content) by what this
// returns, so tests can make distinct files collide and order fingerprints
// at will. Called on the worker only.
extern uint64_t (*dup_test_fingerprint_hook)(const char *path, int full, uint64_t computed);
inline uint64_t dup_seam(const char *path, int full, uint64_t h) {
    return dup_test_fingerprint_hook ? dup_test_fingerprint_hook(path, full, h) : h;
}

// The partial runs found so far: runs [b[t], e[t]) of files, in the order
// the worker groups them. The arrays grow as runs are found, and their
// owner frees them.
struct dup_run_bounds {
    int32_t *b = nullptr;
    int32_t *e = nullptr;
    int32_t n = 0;
    int32_t cap_b = 0, cap_e = 0;
};

// Scratch of the first-block order, sized once for the largest size run.
struct dup_order_scratch {
    dup_tmp_array<int32_t> order;        // size-run position -> original
    dup_tmp_array<uint64_t> raw;         // by original size-run position
    dup_tmp_array<unsigned char> whole;  // by original size-run position
    bool alloc(size_t m) { return order.alloc(m) && raw.alloc(m) && whole.alloc(m); }
};

// The first-block stage for the size run files[i, j), whose first-block fingerprints were
// taken: applies the test seam, sorts the run by (fingerprint, path) and
// appends its partial runs of two or more to runs. whole[i, j) comes in by
// position before the sort and leaves by position after it. Until the full
// fingerprints are taken, a member's full_hash holds its first block's
// fingerprint as read. DUP_OK, DUP_STOPPED (cancel) or DUP_NOMEM (no room
// for a run: the runs found before it stay).
dup_result dup_order_size_run(dup_scan_t *scan, dup_order_scratch &w, unsigned char *whole, int32_t i, int32_t j,
                              dup_run_bounds *runs);

#endif  // DUP_FIRST_BLOCK_H
