// SPDX-License-Identifier: MIT
// The results text of a finished scan.
#ifndef DUP_RESULTS_H
#define DUP_RESULTS_H

#include "scan.h"

// Builds the results text from the groups, counts and skipped entries and
// stores it in results_json. DUP_OK; DUP_NOMEM, or DUP_FAILED for a
// string that is not UTF-8 (or a reason without a name): results_json is
// then unchanged.
dup_result dup_build_results_json(dup_scan_t *scan);

#endif  // DUP_RESULTS_H
