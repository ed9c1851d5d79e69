// SPDX-License-Identifier: MIT
// The platform layer on POSIX systems. Linux-only features are used where
// the build finds them, each with a portable fallback that keeps the same
// guarantee: O_NOATIME (else access times may change), O_PATH (else
// directories are opened for reading, which also needs read permission),
// /proc/self/fd (else the open directory's name is found from its path and
// checked against its identity).
#include "platform.h"
#include "syscalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace {

#ifdef O_PATH
constexpr int DIR_REF_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;  // search permission is enough
#else
constexpr int DIR_REF_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

dup_result result_of(int err) {
    if (err == EMFILE || err == ENFILE) return DUP_NO_HANDLE;
    if (err == ENAMETOOLONG) return DUP_NAME_TOO_LONG;
    return DUP_FAILED;
}

// Keeps errno across the close of a descriptor a failed call leaves behind.
void close_keeping_errno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
}

void fill(const struct stat &raw, dup_stat_t *st) {
    switch (raw.st_mode & S_IFMT) {
    case S_IFREG: st->type = DUP_FT_REG; break;
    case S_IFDIR: st->type = DUP_FT_DIR; break;
    case S_IFLNK: st->type = DUP_FT_LNK; break;
    default: st->type = DUP_FT_OTHER; break;
    }
    st->size = S_ISREG(raw.st_mode) ? static_cast<int64_t>(raw.st_size) : 0;
    st->mtime = static_cast<int64_t>(raw.st_mtim.tv_sec);
    st->mtime_ns = static_cast<int64_t>(raw.st_mtim.tv_sec) * 1000000000 + raw.st_mtim.tv_nsec;
    st->ctime_ns = static_cast<int64_t>(raw.st_ctim.tv_sec) * 1000000000 + raw.st_ctim.tv_nsec;
    st->dev = static_cast<uint64_t>(raw.st_dev);
    st->ino = static_cast<uint64_t>(raw.st_ino);
}

// open() and stat() refuse a path of PATH_MAX bytes or more, which a walk
// below a deep tree builds freely. Such a path is reached step by step: the
// directories along it are opened relative to each other, each step a run
// of whole components shorter than the limit. Returns the directory the
// rest of the path is relative to (AT_FDCWD when the path is short enough
// as it is) and sets *rest; -1 with errno set on failure. The caller closes
// a returned descriptor other than AT_FDCWD.
int long_path_base(const char *path, const char **rest) {
    *rest = path;
    if (strlen(path) < PATH_MAX) return AT_FDCWD;
    int dir = AT_FDCWD;
    const char *p = path;
    char step[PATH_MAX];
    while (strlen(p) >= PATH_MAX) {
        const char *cut = nullptr;  // the last '/' that keeps the step short enough
        for (const char *q = p + 1; q < p + PATH_MAX; q++)
            if (*q == '/') cut = q;
        if (!cut) {
            if (dir != AT_FDCWD) close(dir);
            errno = ENAMETOOLONG;
            return -1;
        }
        const size_t len = static_cast<size_t>(cut - p);
        memcpy(step, p, len);
        step[len] = '\0';
        const int next = openat(dir, step, DIR_REF_FLAGS);
        if (dir != AT_FDCWD) close_keeping_errno(dir);
        if (next < 0) return -1;
        dir = next;
        for (p = cut + 1; *p == '/'; p++) {}
    }
    *rest = p;
    return dir;
}

// openat() and fstatat() for a path of any length.
int open_path(const char *path, int flags) {
    const char *rest;
    const int base = long_path_base(path, &rest);
    if (base == -1) return -1;
    const int fd = openat(base, rest, flags);
    if (base != AT_FDCWD) close_keeping_errno(base);
    return fd;
}

int stat_path(const char *path, struct stat *raw, int follow) {
    const char *rest;
    const int base = long_path_base(path, &rest);
    if (base == -1) return -1;
    const int r = fstatat(base, rest, raw, follow ? 0 : AT_SYMLINK_NOFOLLOW);
    if (base != AT_FDCWD) close_keeping_errno(base);
    return r;
}

// Trailing '/' off a canonical text, down to "/" itself.
void trim_slashes(char *s) {
    size_t n = strlen(s);
    while (n > 1 && s[n - 1] == '/') s[--n] = '\0';
}

}  // namespace

bool dup_path_separator(char c) { return c == '/'; }

// ---- status ---------------------------------------------------------------------------

dup_result dup_fill_stat(const char *path, dup_stat_t *st, int follow) {
    if (!path || !*path) return DUP_FAILED;
    struct stat raw;
    if (stat_path(path, &raw, follow) != 0) return result_of(errno);
    fill(raw, st);
    return DUP_OK;
}

// ---- directory listing --------------------------------------------------------------

struct dup_dir_t {
    DIR *dir;
};

dup_result dup_dir_open_system(const char *path, dup_dir_t **dir) {
    *dir = nullptr;
    DIR *d = nullptr;
    if (strlen(path) < PATH_MAX) {
        d = opendir(path);
    } else {
        const int fd = open_path(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            d = fdopendir(fd);
            if (!d) close_keeping_errno(fd);
        }
    }
    if (!d) return result_of(errno);
    auto *h = static_cast<dup_dir_t *>(dup_malloc(sizeof(dup_dir_t)));
    if (!h) {
        closedir(d);
        return DUP_NOMEM;
    }
    h->dir = d;
    *dir = h;
    return DUP_OK;
}

void dup_dir_close(dup_dir_t *dir) {
    if (!dir) return;
    closedir(dir->dir);
    free(dir);
}

bool dup_dir_is(const dup_dir_t *dir, uint64_t dev, uint64_t ino) {
    struct stat st;
    return fstat(dirfd(dir->dir), &st) == 0 && static_cast<uint64_t>(st.st_dev) == dev &&
           static_cast<uint64_t>(st.st_ino) == ino;
}

const char *dup_dir_next(dup_dir_t *dir) {
    struct dirent *e = readdir(dir->dir);
    return e ? e->d_name : nullptr;
}

dup_result dup_dir_stat(const dup_dir_t *dir, const char *name, dup_stat_t *st, int follow) {
    struct stat raw;
    if (fstatat(dirfd(dir->dir), name, &raw, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return result_of(errno);
    fill(raw, st);
    return DUP_OK;
}

// ---- content ------------------------------------------------------------------------

dup_result dup_content_open_system(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *out) {
    *out = DUP_CONTENT_NONE;
    if (!path) return DUP_FAILED;
    // Non-blocking, so that a FIFO or a device put in place of a collected
    // file after the walk is refused below instead of hanging the scan.
    const int base = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
#ifdef O_NOATIME
    // Access times are left alone where the file system lets us (the owner
    // or a privileged caller); elsewhere O_NOATIME is refused with EPERM.
    int fd = open_path(path, base | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = open_path(path, base);
#else
    int fd = open_path(path, base);
#endif
    if (fd < 0) return result_of(errno);
    // Also refused: an entry that is no longer the one the walk recorded
    // (replaced, or swapped for a link to another collected file), so that
    // its content is never taken for the recorded file's.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ((dev != 0 || ino != 0) &&
         (static_cast<uint64_t>(st.st_dev) != dev || static_cast<uint64_t>(st.st_ino) != ino))) {
        close(fd);
        return DUP_FAILED;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    if (sequential) (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    (void)sequential;
#endif
    *out = fd;
    return DUP_OK;
}

dup_result dup_content_read(dup_content_t h, void *buf, int64_t n, int64_t *got) {
    auto *p = static_cast<unsigned char *>(buf);
    *got = 0;
    while (*got < n) {
        const ssize_t r = read(static_cast<int>(h), p + *got, static_cast<size_t>(n - *got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return DUP_FAILED;
        }
        if (r == 0) break;  // end of file
        *got += r;
    }
    return DUP_OK;
}

dup_result dup_content_read_end(dup_content_t h, void *buf, int64_t n, int room, int64_t *got) {
    // A plain read when buf has room for the byte past n (readv costs
    // measurably more); otherwise that byte goes to a byte of its own.
    auto *p = static_cast<unsigned char *>(buf);
    unsigned char extra;
    *got = 0;
    for (;;) {
        ssize_t r;
        if (room) {
            r = read(static_cast<int>(h), p + *got, static_cast<size_t>(n + 1 - *got));
        } else {
            struct iovec iov[2] = {{p + *got, static_cast<size_t>(n - *got)}, {&extra, 1}};
            r = readv(static_cast<int>(h), iov, 2);
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            return DUP_FAILED;
        }
        if (r == 0) return DUP_OK;  // end of file
        *got += r;
        if (*got > n) *got = n + 1;
        if (*got >= n) return DUP_OK;  // past n, or fewer than asked: the end
    }
}

void dup_content_close_system(dup_content_t h) {
    if (h >= 0) close(static_cast<int>(h));
}

int64_t dup_open_file_limit(void) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return -1;
    return rl.rlim_cur > static_cast<rlim_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(rl.rlim_cur);
}

// ---- canonical paths ----------------------------------------------------------------

char *dup_canonical_path_system(const char *path) {
    if (!path || !*path) return nullptr;
    char *r = realpath(path, nullptr);
    if (r) trim_slashes(r);
    return r;
}

// ---- the delete's steps ---------------------------------------------------------------

struct dup_parent_t {
    int fd;
    char *path;  // the text that opened it, for systems without /proc
};

dup_result dup_parent_open(const char *path, dup_parent_t **parent, const char **name) {
    *parent = nullptr;
    const char *slash = strrchr(path, '/');
    *name = slash ? slash + 1 : path;
    size_t n = !slash ? 1 : slash == path ? 1 : static_cast<size_t>(slash - path);
    char *dir = static_cast<char *>(dup_malloc(n + 1));
    if (!dir) return DUP_NOMEM;
    if (!slash) memcpy(dir, ".", 1);
    else memcpy(dir, path, n);
    dir[n] = '\0';
    auto *h = static_cast<dup_parent_t *>(dup_malloc(sizeof(dup_parent_t)));
    if (!h) {
        free(dir);
        return DUP_NOMEM;
    }
    const int fd = open_path(dir, DIR_REF_FLAGS);
    if (fd < 0) {
        const dup_result r = result_of(errno);
        free(h);
        free(dir);
        return r;
    }
    h->fd = fd;
    h->path = dir;
    *parent = h;
    return DUP_OK;
}

void dup_parent_close(dup_parent_t *dir) {
    if (!dir) return;
    close(dir->fd);
    free(dir->path);
    free(dir);
}

dup_result dup_parent_stat(const dup_parent_t *dir, const char *name, dup_stat_t *st) {
    struct stat raw;
    if (fstatat(dir->fd, name, &raw, AT_SYMLINK_NOFOLLOW) != 0) return result_of(errno);
    fill(raw, st);
    return DUP_OK;
}

namespace {

// The kernel's name of the open directory, through /proc. Null when there
// is none (no /proc, or a name that is not absolute).
char *proc_name(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    for (size_t cap = 256; cap <= (static_cast<size_t>(1) << 20); cap *= 2) {
        char *buf = static_cast<char *>(dup_malloc(cap));
        if (!buf) return nullptr;
        const ssize_t n = readlink(link, buf, cap);
        if (n < 0) {
            free(buf);
            return nullptr;
        }
        if (static_cast<size_t>(n) < cap) {
            buf[n] = '\0';
            if (buf[0] == '/') return buf;
            free(buf);
            return nullptr;
        }
        free(buf);
    }
    return nullptr;
}

}  // namespace

char *dup_parent_canonical(const dup_parent_t *dir) {
    struct stat st;
    // A removed directory keeps a name with " (deleted)" appended: no place
    // the registry can vouch for.
    if (fstat(dir->fd, &st) != 0 || st.st_nlink == 0) return nullptr;
    char *name = proc_name(dir->fd);
    if (!name) {
        // Without /proc: the canonical form of the text that opened it,
        // taken only if that form reaches this very directory now.
        name = dup_canonical_path(dir->path);
        struct stat now;
        if (name && (stat(name, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
            free(name);
            name = nullptr;
        }
    }
    if (name) trim_slashes(name);
    return name;
}

namespace {

// strerror_r comes in two forms: the GNU one returns the text, the POSIX
// one fills the buffer and returns 0.
[[maybe_unused]] const char *error_text_of(const char *text, const char *) { return text; }
[[maybe_unused]] const char *error_text_of(int result, const char *buf) { return result == 0 ? buf : ""; }

// Writes the system's words for err to why (why_size bytes, terminated).
void say_why(int err, char *why, size_t why_size) {
    char buf[256] = "";
    if (why_size > 0) snprintf(why, why_size, "%s", error_text_of(strerror_r(err, buf, sizeof buf), buf));
}

}  // namespace

dup_result dup_parent_remove(const dup_parent_t *dir, const char *name, char *why, size_t why_size) {
    if (why_size > 0) why[0] = '\0';
    if (unlinkat(dir->fd, name, 0) == 0) return DUP_OK;
    say_why(errno, why, why_size);
    return DUP_FAILED;
}

namespace {

// Renames from to to within the directory without ever replacing what is
// named to: 0, or the system's error. A file system without the no-replace
// flag gets a plain rename to a name checked to be free, or (moving back to a
// name others may take meanwhile) a hard link, which never replaces, and the
// old name's removal.
int rename_noreplace(int fd, const char *from, const char *to, bool to_is_private) {
#if defined(RENAME_NOREPLACE)
    if (renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
    if (to_is_private) {
        struct stat raw;
        if (fstatat(fd, to, &raw, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
        if (errno != ENOENT) return errno;
        return renameat(fd, from, fd, to) == 0 ? 0 : errno;
    }
    if (linkat(fd, from, fd, to, 0) != 0) return errno;
    unlinkat(fd, from, 0);
    return 0;
}

}  // namespace

dup_result dup_parent_take(const dup_parent_t *dir, const char *name, char *taken, size_t taken_size, char *why,
                           size_t why_size) {
    if (why_size > 0) why[0] = '\0';
    // Names nobody else uses: the process, a counter and the clock. A name
    // that exists all the same is never replaced, only passed over.
    static std::atomic<uint64_t> counter{0};
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; attempt++) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        const uint64_t bits = (static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30)) +
                              counter.fetch_add(1, std::memory_order_relaxed) * 0x9e3779b97f4a7c15ULL;
        snprintf(taken, taken_size, ".dupfind-%ld-%016llx", static_cast<long>(getpid()),
                 static_cast<unsigned long long>(bits));
        err = rename_noreplace(dir->fd, name, taken, true);
    }
    if (err == 0) return DUP_OK;
    say_why(err, why, why_size);
    return DUP_FAILED;
}

dup_result dup_parent_give_back(const dup_parent_t *dir, const char *taken, const char *name, char *why,
                                size_t why_size) {
    if (why_size > 0) why[0] = '\0';
    const int err = rename_noreplace(dir->fd, taken, name, false);
    if (err == 0) return DUP_OK;
    say_why(err, why, why_size);
    return DUP_FAILED;
}

// ---- threads ----------------------------------------------------------------------

namespace {

struct spawn_args {
    void (*fn)(void *);
    void *arg;
};

void *spawn_entry(void *p) {
    spawn_args a = *static_cast<spawn_args *>(p);
    free(p);
    a.fn(a.arg);
    return nullptr;
}

}  // namespace

dup_result dup_thread_spawn(void (*fn)(void *), void *arg) {
    auto *a = static_cast<spawn_args *>(dup_malloc(sizeof(spawn_args)));
    if (!a) return DUP_FAILED;
    a->fn = fn;
    a->arg = arg;
    pthread_t t;
    if (pthread_create(&t, nullptr, spawn_entry, a) != 0) {
        free(a);
        return DUP_FAILED;
    }
    pthread_detach(t);
    return DUP_OK;
}

struct dup_thread_t {
    pthread_t t;
};

dup_result dup_thread_start(void (*fn)(void *), void *arg, dup_thread_t **t) {
    *t = nullptr;
    auto *h = static_cast<dup_thread_t *>(dup_malloc(sizeof(dup_thread_t)));
    auto *a = static_cast<spawn_args *>(dup_malloc(sizeof(spawn_args)));
    if (!h || !a) {
        free(h);
        free(a);
        return DUP_FAILED;
    }
    a->fn = fn;
    a->arg = arg;
    if (pthread_create(&h->t, nullptr, spawn_entry, a) != 0) {
        free(a);
        free(h);
        return DUP_FAILED;
    }
    *t = h;
    return DUP_OK;
}

void dup_thread_join(dup_thread_t *t) {
    if (!t) return;
    pthread_join(t->t, nullptr);
    free(t);
}

int32_t dup_processors(void) {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}
