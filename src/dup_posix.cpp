// File status query and the tree walk.
#include <cstring>
#include <sys/stat.h>

#include "dup_internal.h"

int dup_fill_stat(const char *path, struct stat *st, int follow) {
    if (!path || !*path) return -1;
    struct stat raw;
    if ((follow ? stat(path, &raw) : lstat(path, &raw)) != 0) return -1;
    memset(st, 0, sizeof *st);
    st->st_mode = raw.st_mode & S_IFMT;
    if (S_ISREG(raw.st_mode)) st->st_size = raw.st_size;
    return 0;
}

int dup_walk_collect(dup_scan_t *scan) {
    (void)scan;  // walk not built yet
    return 0;
}
