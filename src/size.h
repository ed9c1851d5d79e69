// SPDX-License-Identifier: MIT
// Grouping by size, the first and cheapest stage: only files that share
// their size with another are ever opened.
#ifndef DUP_SIZE_H
#define DUP_SIZE_H

#include <cstdint>

#include "scan.h"

// Sorts the records by ascending size. The order among equal sizes is
// whatever the sort leaves: the first-block stage orders every run fully.
void dup_sort_by_size(dup_file_t *f, int32_t n);
// The end of the size run that starts at i: the first j > i whose size
// differs, or n.
int32_t dup_size_run_end(const dup_file_t *f, int32_t n, int32_t i);
// Whether the record at k shares its size with a neighbour.
bool dup_size_shared(const dup_file_t *f, int32_t n, int32_t k);
// The progress to show once the size runs up to j of n are grouped: rises
// from DUP_PROGRESS_GROUPING and reaches DUP_PROGRESS_GROUPED at the last.
int32_t dup_size_progress(int32_t j, int32_t n);

#endif  // DUP_SIZE_H
