// SPDX-License-Identifier: MIT
// Grouping by whole content and bytes: every member of a partial run is
// read once, in lockstep with the others of its batch, hashed to its end
// (XXH64, the full fingerprint) and compared block by block with them,
// which partitions the run into classes of equal leading `size` bytes.
#ifndef DUP_CONTENT_H
#define DUP_CONTENT_H

#include <cstdint>

#include "scan.h"

struct XXH64_state_s;

// Scratch of one reading thread, allocated on first use, freed with it.
struct dup_read_scratch {
    unsigned char *buf = nullptr;  // the batch's blocks
    XXH64_state_s *st = nullptr;   // one hashing state per batch slot
    dup_read_scratch() = default;
    dup_read_scratch(const dup_read_scratch &) = delete;
    dup_read_scratch &operator=(const dup_read_scratch &) = delete;
    ~dup_read_scratch();
    bool ready();
};

// One partial run being worked on. Per-member arrays are indexed by the
// member's position in the run before the full-fingerprint order moves it.
// Until the run is read, a member's full_hash holds the fingerprint of its
// first block as read (before the test seam): for a file that fits in one
// block that is already its full fingerprint.
struct dup_partial_run {
    dup_file_t *rec;  // the run's records
    int32_t n;
    int64_t size;                // every member's recorded size
    int32_t *parent;             // union-find: classes of equal leading bytes
    unsigned char *invalid;      // fewer than `size` readable bytes: equals nothing
    const unsigned char *whole;  // the first block was the whole file
};

// Reads every member of the run once, a batch at a time, taking its full
// fingerprint (before the test seam) and its class among the members of its
// batch. *batches counts the batches. Touches only the run's records and
// arrays, so runs may be read on different threads. DUP_OK, DUP_STOPPED
// (cancel) or DUP_NOMEM.
dup_result dup_read_run(const dup_scan_t *scan, dup_read_scratch &scratch, const dup_partial_run &run,
                        int32_t *batches);

// Scratch of the grouping of read runs, sized once for the largest run.
struct dup_group_scratch {
    dup_tmp_array<int32_t> perm, tmp, roots, nxt, last, ids;
    dup_tmp_array<unsigned char> mark, visited;
    dup_tmp_array<uint64_t> keys;
    dup_tmp_array<char *> list;
    bool alloc(size_t m);
};

// The whole-content and byte stages for a run once it is read: the test seam on the full
// fingerprints, the joining of classes met in different batches (several
// batches), the full-fingerprint order and the groups, appended to the
// scan in order. Runs on the worker. DUP_OK, DUP_STOPPED or DUP_NOMEM.
dup_result dup_group_run(dup_scan_t *scan, dup_read_scratch &scratch, const dup_partial_run &run, dup_group_scratch &w,
                         bool several_batches);

#endif  // DUP_CONTENT_H
