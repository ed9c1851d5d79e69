// Content fingerprints and byte comparison.
#include "dup_internal.h"

int dup_hash_partial(const char *, int64_t, uint64_t *) { return -1; }
int dup_hash_full(const char *, uint64_t *) { return -1; }
int dup_files_equal(const char *, const char *, int64_t) { return 0; }
