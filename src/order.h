// SPDX-License-Identifier: MIT
// The order of a partial run by full fingerprint.
#ifndef DUP_ORDER_H
#define DUP_ORDER_H

#include <cstdint>

#include "scan.h"

// Writes out[final position] = starting position for the exchange sort
//   for p in 0..n-2: for q in p+1..n-1: if key[q] < key[p]: swap(p, q)
// which is not stable: its exact permutation decides which member of each
// run of equal keys comes first. DUP_OK, or DUP_NOMEM.
dup_result dup_exchange_order(const uint64_t *key, int32_t n, int32_t *out);
// Reorders whole records: afterwards rec[t] is the record that was at
// rec[order[t]]. order is restored before returning.
void dup_apply_order(dup_file_t *rec, int32_t *order, int32_t n);

#endif  // DUP_ORDER_H
