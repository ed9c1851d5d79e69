// Request parsing: the two texts a scan start is given.
#ifndef DUP_REQUEST_H
#define DUP_REQUEST_H

#include "scan.h"

// Reads the two request texts into a slot just taken with dup_scan_alloc:
// options, roots and their canonical forms; registers nothing and starts no
// thread. Returns the failure message (one of the start's fixed texts), or
// null. Resolves every root, so it may take long: call it without g_mu.
const char *dup_parse_request(dup_scan_t *scan, const char *dirs_json, const char *options_json);

#endif  // DUP_REQUEST_H
