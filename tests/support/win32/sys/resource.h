// SPDX-License-Identifier: MIT
// Stands in for the POSIX header on Windows (see posix_shim.h): a process
// has no limit of open files to lower there, so the tests that lower it
// skip.
#ifndef DUPFIND_SHIM_SYS_RESOURCE_H
#define DUPFIND_SHIM_SYS_RESOURCE_H
#include "posix_shim.h"

#define RLIMIT_NOFILE 7
struct rlimit {
    unsigned long rlim_cur;
    unsigned long rlim_max;
};
inline int setrlimit(int, const struct rlimit *) { return posix_shim::unsupported(); }
inline int getrlimit(int, struct rlimit *) { return posix_shim::unsupported(); }

#endif
