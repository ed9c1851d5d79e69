// SPDX-License-Identifier: MIT
// The tree walk: a scan's roots turned into the collected files and the
// skipped entries of its record.
#ifndef DUP_WALK_H
#define DUP_WALK_H

#include "scan.h"

// Walks every root in order. DUP_OK when every root is done or the file cap
// was reached, DUP_STOPPED at a cancel, DUP_NOMEM when memory ran out (what
// was recorded so far stays). Each directory is entered once.
dup_result dup_walk_collect(dup_scan_t *scan);

#endif  // DUP_WALK_H
