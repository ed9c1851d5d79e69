// SPDX-License-Identifier: MIT
/* Preloaded into the tool by the tests: at the worst possible moment, right
 * before the first call that renames or removes the name RACE_TARGET names,
 * renames the file RACE_DECOY over that name, as a program saving by rename
 * could. A tool that acts on the name rather than on the file it compared
 * then acts on the decoy. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fired;

typedef int (*renameat_fn)(int, const char *, int, const char *);
typedef int (*renameat2_fn)(int, const char *, int, const char *, unsigned int);
typedef int (*unlinkat_fn)(int, const char *, int);
typedef int (*unlink_fn)(const char *);

/* The next definition of a function: dlsym gives an object pointer, which ISO
 * C does not convert to a function pointer; copying the bits is the usual
 * way. */
#define REAL(type, name, var)          \
  type var;                            \
  do {                                 \
    void *p_ = dlsym(RTLD_NEXT, name); \
    memcpy(&var, &p_, sizeof var);     \
  } while (0)

/* Whether a name passed to the system is RACE_TARGET's last component, and
 * if so, does the decoy's rename once. */
static void maybe_race(const char *name) {
    const char *target = getenv("RACE_TARGET"), *decoy = getenv("RACE_DECOY");
    if (fired || !target || !decoy || !name) return;
    const char *base = strrchr(target, '/');
    base = base ? base + 1 : target;
    const char *last = strrchr(name, '/');
    last = last ? last + 1 : name;
    if (strcmp(last, base) != 0) return;
    fired = 1;
    if (rename(decoy, target) != 0) perror("race_hook: rename");
}

int renameat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath) {
    REAL(renameat_fn, "renameat", real);
    maybe_race(oldpath);
    maybe_race(newpath);
    return real(olddirfd, oldpath, newdirfd, newpath);
}

int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned int flags) {
    REAL(renameat2_fn, "renameat2", real);
    maybe_race(oldpath);
    maybe_race(newpath);
    return real(olddirfd, oldpath, newdirfd, newpath, flags);
}

int unlinkat(int dirfd, const char *path, int flags) {
    REAL(unlinkat_fn, "unlinkat", real);
    maybe_race(path);
    return real(dirfd, path, flags);
}

int unlink(const char *path) {
    REAL(unlink_fn, "unlink", real);
    maybe_race(path);
    return real(path);
}
