// The results text of a finished scan.
#ifndef DUP_RESULTS_H
#define DUP_RESULTS_H

#include "scan.h"

// Builds the results text from the groups, counts and skipped entries and
// stores it in results_json. 0, or -1 when no text could be produced (no
// memory, or a string that is not UTF-8); results_json is then unchanged.
int dup_build_results_json(dup_scan_t *scan);

#endif  // DUP_RESULTS_H
