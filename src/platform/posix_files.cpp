// SPDX-License-Identifier: MIT
// The platform layer's calls for the fingerprint cache's file on POSIX
// systems: the trust in a file system's identities, the clock, reading the
// file in pieces, its lock, and writing its replacement beside it.
#include "platform.h"
#include "syscalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#  include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

#if defined(__linux__)
// Local file systems whose inode numbers are stable for a file's life and
// whose change time moves at every change of content and cannot be set by a
// program. Left out on purpose: FAT and exFAT (no inode numbers, no change
// time), network file systems (another machine's clock and caches), FUSE
// (whatever the daemon reports), overlay (inode numbers may change on copy-up).
constexpr uint64_t TRUSTED_KINDS[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // XFS
    0x9123683E,  // Btrfs
    0x01021994,  // tmpfs
    0x2FC12FC1,  // ZFS
    0xF2F52010,  // F2FS
    0x3153464A,  // JFS
    0x52654973,  // ReiserFS
    0xCA451A4E,  // bcachefs
    0x3434,      // NILFS
};
#endif

void fill_status(const struct stat &raw, dup_stat_t *st) {
    st->type = S_ISREG(raw.st_mode) ? DUP_FT_REG : S_ISDIR(raw.st_mode) ? DUP_FT_DIR : DUP_FT_OTHER;
    st->size = static_cast<int64_t>(raw.st_size);
    st->mtime = static_cast<int64_t>(raw.st_mtim.tv_sec);
    st->mtime_ns = static_cast<int64_t>(raw.st_mtim.tv_sec) * 1000000000 + raw.st_mtim.tv_nsec;
    st->ctime_ns = static_cast<int64_t>(raw.st_ctim.tv_sec) * 1000000000 + raw.st_ctim.tv_nsec;
    st->dev = static_cast<uint64_t>(raw.st_dev);
    st->ino = static_cast<uint64_t>(raw.st_ino);
}

}  // namespace

struct dup_lock_t {
    int fd;
};

bool dup_fs_trusted(const char *path) {
#if defined(__linux__)
    struct statfs fs;
    if (statfs(path, &fs) != 0) return false;
    for (const uint64_t kind : TRUSTED_KINDS)
        if (static_cast<uint64_t>(static_cast<uint32_t>(fs.f_type)) == kind) return true;
    return false;
#else
    (void)path;
    return false;
#endif
}

int64_t dup_clock_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

dup_result dup_file_open_read(const char *path, dup_content_t *out, dup_stat_t *st, int *missing) {
    *out = DUP_CONTENT_NONE;
    *missing = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *missing = errno == ENOENT;
        return DUP_FAILED;
    }
    struct stat raw;
    if (fstat(fd, &raw) != 0 || !S_ISREG(raw.st_mode) || raw.st_size < 0) {
        close(fd);
        return DUP_FAILED;
    }
    fill_status(raw, st);
    *out = fd;
    return DUP_OK;
}

dup_result dup_file_read_at(dup_content_t h, int64_t at, void *buf, int64_t n) {
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        const ssize_t r = pread(static_cast<int>(h), p, static_cast<size_t>(n), static_cast<off_t>(at));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return DUP_FAILED;
        p += r;
        at += r;
        n -= r;
    }
    return DUP_OK;
}

void dup_file_close(dup_content_t h) {
    if (h != DUP_CONTENT_NONE) close(static_cast<int>(h));
}

dup_result dup_file_lock(const char *path, dup_lock_t **lock) {
    *lock = nullptr;
    auto *l = static_cast<dup_lock_t *>(dup_malloc(sizeof(dup_lock_t)));
    if (!l) return DUP_NOMEM;
    l->fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int r = -1;
    if (l->fd >= 0) do
            r = flock(l->fd, LOCK_EX);
        while (r != 0 && errno == EINTR);
    if (r != 0) {
        if (l->fd >= 0) close(l->fd);
        free(l);
        return DUP_FAILED;
    }
    *lock = l;
    return DUP_OK;
}

void dup_file_unlock(dup_lock_t *lock) {
    if (!lock) return;
    close(lock->fd);  // lets go of the lock
    free(lock);
}

dup_result dup_file_create(const char *path, dup_content_t *out) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    *out = fd < 0 ? DUP_CONTENT_NONE : fd;
    return fd < 0 ? DUP_FAILED : DUP_OK;
}

dup_result dup_file_write_system(dup_content_t h, const void *buf, int64_t n) {
    const auto *p = static_cast<const unsigned char *>(buf);
    while (n > 0) {
        const ssize_t r = write(static_cast<int>(h), p, static_cast<size_t>(n));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return DUP_FAILED;
        p += r;
        n -= r;
    }
    return DUP_OK;
}

dup_result dup_file_rewind(dup_content_t h) {
    return lseek(static_cast<int>(h), 0, SEEK_SET) == 0 ? DUP_OK : DUP_FAILED;
}

dup_result dup_file_commit(dup_content_t h, const char *from, const char *to) {
    // Durable before the rename: a crash after it must find the whole new
    // file under the name, never a name over blocks not yet written.
    const bool synced = fsync(static_cast<int>(h)) == 0;
    const bool closed = close(static_cast<int>(h)) == 0;
    if (!synced || !closed || rename(from, to) != 0) {
        unlink(from);
        return DUP_FAILED;
    }
    return DUP_OK;
}

void dup_file_abandon(dup_content_t h, const char *path) {
    if (h != DUP_CONTENT_NONE) close(static_cast<int>(h));
    unlink(path);
}
