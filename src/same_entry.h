// SPDX-License-Identifier: MIT
// One entry under two paths: the collected records that name one directory
// entry are merged before anything is counted or grouped.
#ifndef DUP_SAME_ENTRY_H
#define DUP_SAME_ENTRY_H

#include "scan.h"

// Merges the records that name one entry (same directory, same name) under
// different paths, keeping the first in walk order; with hard_links 0, all
// the names of one file (same device and inode). DUP_OK, or DUP_NOMEM with
// nothing merged.
dup_result dup_merge_same_entries(dup_scan_t *scan);

#endif  // DUP_SAME_ENTRY_H
