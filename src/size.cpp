// SPDX-License-Identifier: MIT
// Grouping by size.
#include "size.h"

#include <algorithm>

void dup_sort_by_size(dup_file_t *f, int32_t n) {
    std::sort(f, f + n, [](const dup_file_t &a, const dup_file_t &b) { return a.size < b.size; });
}

int32_t dup_size_run_end(const dup_file_t *f, int32_t n, int32_t i) {
    int32_t j = i + 1;
    while (j < n && f[j].size == f[i].size) j++;
    return j;
}

bool dup_size_shared(const dup_file_t *f, int32_t n, int32_t k) {
    return (k > 0 && f[k - 1].size == f[k].size) || (k + 1 < n && f[k + 1].size == f[k].size);
}

int32_t dup_size_progress(int32_t j, int32_t n) {
    // The product first, then the division, truncated toward zero: hosts
    // that show it see the same steps on every platform.
    constexpr int32_t span = DUP_PROGRESS_GROUPED - DUP_PROGRESS_GROUPING;
    const double p = DUP_PROGRESS_GROUPING +
                     static_cast<double>(static_cast<int64_t>(j * static_cast<double>(span) / n));
    return p > DUP_PROGRESS_GROUPED ? DUP_PROGRESS_GROUPED : static_cast<int32_t>(p);
}
