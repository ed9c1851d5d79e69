// SPDX-License-Identifier: MIT
// Request parsing: the two texts a scan start is given.
#ifndef DUP_REQUEST_H
#define DUP_REQUEST_H

#include "scan.h"

// Reads the two request texts into a slot just taken with dup_scan_alloc:
// options, roots and their canonical forms; registers nothing and starts no
// thread. DUP_OK, or the start's failure (DUP_E_*, DUP_NOMEM). Resolves
// every root, so it may take long: call it without g_mu.
dup_result dup_parse_request(dup_scan_t *scan, const char *dirs_json, const char *options_json);

#endif  // DUP_REQUEST_H
