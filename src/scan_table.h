// SPDX-License-Identifier: MIT
// The fixed table of 32 scan slots, their ids and the lock that guards it.
#ifndef DUP_SCAN_TABLE_H
#define DUP_SCAN_TABLE_H

#include <mutex>

#include "scan.h"

// Guards the table: which slots are in use and their ids. Held only for a
// lookup, an allocation or a release, never while files are touched.
extern std::mutex g_mu;

dup_scan_t *dup_scan_get(int32_t id);     // caller holds g_mu
dup_scan_t *dup_scan_alloc(void);         // caller holds g_mu; null when all 32 are taken
void dup_scan_release(dup_scan_t *scan);  // caller holds g_mu; null does nothing

#endif  // DUP_SCAN_TABLE_H
