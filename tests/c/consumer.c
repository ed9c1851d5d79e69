// SPDX-License-Identifier: MIT
/* nanosleep is POSIX, not ISO C. */
#define _POSIX_C_SOURCE 200809L
/* A host written in C: includes only the public header, starts a scan of the
 * header's own directory, waits for it and checks the outcome. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "dupfind.h"

int main(int argc, char **argv) {
    char dirs[4096];
    const char *err;
    char *res;
    int id, p, i;
    struct timespec pause = {0, 2000000};

    if (argc < 2) return 2;
    snprintf(dirs, sizeof dirs, "[\"%s\"]", argv[1]);
    id = dupfind_scan_start(dirs, NULL);
    if (id < 1) {
        fprintf(stderr, "start failed: %s\n", dupfind_last_error());
        return 1;
    }
    for (i = 0; i < 10000; i++) {
        p = dupfind_scan_progress(id);
        if (p == 100 || p < 0) break;
        nanosleep(&pause, NULL);
    }
    if (p != 100) {
        fprintf(stderr, "scan ended with %d: %s\n", p, dupfind_last_error());
        return 1;
    }
    res = dupfind_scan_results(id);
    if (!res || strstr(res, "\"scanned_files\":1") == NULL) {
        fprintf(stderr, "unexpected results: %s\n", res ? res : "(null)");
        dupfind_free_string(res);
        return 1;
    }
    printf("%s\n", res);
    dupfind_free_string(res);
    dupfind_free_string(NULL);
    err = dupfind_last_error();
    if (err == NULL || err[0] != '\0') return 1;
    return 0;
}
