// SPDX-License-Identifier: MIT
// The scan worker: drives one scan through walk, same-entry merge, size,
// first block, whole content and results, and publishes its outcome.
#ifndef DUP_WORKER_H
#define DUP_WORKER_H

#include "scan.h"

// The worker thread's body; arg is the scan's record, filled by the start.
void dup_scan_worker(void *arg);

// The grouping stage over the collected files: size, first block, whole
// content and bytes. DUP_OK, DUP_STOPPED at a cancel checkpoint, DUP_NOMEM
// (no temporaries left, no half-built group).
dup_result dup_group_files(dup_scan_t *scan);

// Test seam, never set by the library: when non-null, the worker calls it
// once grouping is done, just before it frees the collected files. A test
// may take the files over (leaving scan->files null) to look at them later.
extern void (*dup_test_files_hook)(dup_scan_t *scan);

#endif  // DUP_WORKER_H
