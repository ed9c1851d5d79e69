// Content fingerprints and byte comparison.
//
// Every read of file content goes through the three small platform functions
// at the top (open, read, close), so a port only replaces those.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define XXH_STATIC_LINKING_ONLY  // XXH64_state_t on the stack: no allocation to fail
#include <xxhash.h>

#include "dup_internal.h"

// ---- platform: content reading ---------------------------------------------------

intptr_t dup_content_open(const char *path, int sequential, uint64_t dev, uint64_t ino) {
    if (!path) return -1;
    // Non-blocking, so that a FIFO or a device put in place of a collected
    // file after the walk is refused below instead of hanging the scan.
    // Access times are left alone where the file system lets us (the owner
    // or a privileged caller); elsewhere O_NOATIME is refused with EPERM.
    const int base = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    int fd = dup_path_open(path, base | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = dup_path_open(path, base);
    if (fd < 0) return errno == EMFILE || errno == ENFILE ? -2 : -1;
    // Also refused: an entry that is no longer the one the walk recorded
    // (replaced, or swapped for a link to another collected file), so that
    // its content is never taken for the recorded file's.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ((dev != 0 || ino != 0) && (static_cast<uint64_t>(st.st_dev) != dev || static_cast<uint64_t>(st.st_ino) != ino))) {
        close(fd);
        return -1;
    }
    if (sequential) (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

int64_t dup_content_read(intptr_t h, void *buf, int64_t n) {
    auto *p = static_cast<unsigned char *>(buf);
    int64_t got = 0;
    while (got < n) {
        ssize_t r = read(static_cast<int>(h), p + got, static_cast<size_t>(n - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;  // end of file
        got += r;
    }
    return got;
}

// One read call: a regular file that returns fewer bytes than asked is at
// its end at that moment, which lets a caller confirm the end without a
// second call. Returns the bytes read, 0 at the end, -1 on an error.
static int64_t content_read_once(intptr_t h, void *buf, int64_t n) {
    for (;;) {
        ssize_t r = read(static_cast<int>(h), buf, static_cast<size_t>(n));
        if (r >= 0) return r;
        if (errno != EINTR) return -1;
    }
}

void dup_content_close(intptr_t h) {
    if (h >= 0) close(static_cast<int>(h));
}

// ---- fingerprints and comparison --------------------------------------------------

namespace {

// Closes a content handle on every path out of a scope.
struct content_guard {
    intptr_t h;
    explicit content_guard(intptr_t handle) : h(handle) {}
    ~content_guard() { dup_content_close(h); }
    content_guard(const content_guard &) = delete;
    content_guard &operator=(const content_guard &) = delete;
};

}  // namespace

int dup_hash_partial_ex(const char *path, int64_t size, uint64_t dev, uint64_t ino, uint64_t *out, int *whole) {
    if (!out || size < 0 || !path) return -1;
    intptr_t h = dup_content_open(path, 0, dev, ino);
    if (h < 0) return -1;
    content_guard g(h);

    const int64_t n = size < DUP_BLOCK ? size : DUP_BLOCK;
    // A file that fits in one block is asked for one byte more: getting
    // exactly n bytes then proves that it ends at its recorded size, so its
    // whole content is what was just hashed.
    // One call usually answers: exactly n bytes of the n + 1 asked means the
    // end came right at the recorded size. Fewer than n may be a short read
    // rather than the end, so only then is the rest asked for.
    unsigned char buf[DUP_BLOCK + 1];
    const int64_t want = size <= DUP_BLOCK ? n + 1 : n;
    int64_t got = content_read_once(h, buf, want);
    if (got > 0 && got < n) {
        const int64_t more = dup_content_read(h, buf + got, want - got);
        got = more < 0 ? -1 : got + more;
    }
    if (got < n) return -1;  // read error, or shorter than recorded
    *out = XXH64(buf, static_cast<size_t>(n), 0);
    if (whole) *whole = size <= DUP_BLOCK && got == n;
    return 0;
}

int dup_hash_partial(const char *path, int64_t size, uint64_t *out) {
    return dup_hash_partial_ex(path, size, 0, 0, out, nullptr);
}

int dup_hash_full(const char *path, uint64_t *out) {
    if (!path || !out) return -1;
    intptr_t h = dup_content_open(path, 1, 0, 0);
    if (h < 0) return -1;
    content_guard g(h);

    XXH64_state_t st;
    XXH64_reset(&st, 0);
    unsigned char buf[DUP_BLOCK];
    for (;;) {
        int64_t got = dup_content_read(h, buf, DUP_BLOCK);
        if (got < 0) return -1;  // some blocks may be hashed already: still a failure
        if (got == 0) break;
        XXH64_update(&st, buf, static_cast<size_t>(got));
        if (got < DUP_BLOCK) break;  // the read stopped at the end of the file
    }
    *out = XXH64_digest(&st);
    return 0;
}

int dup_files_equal(const char *a, const char *b, int64_t len) {
    if (!a || !b) return 0;
    if (strcmp(a, b) == 0) return 1;
    intptr_t ha = dup_content_open(a, 1, 0, 0);
    if (ha < 0) return 0;
    content_guard ga(ha);
    intptr_t hb = dup_content_open(b, 1, 0, 0);
    if (hb < 0) return 0;
    content_guard gb(hb);

    unsigned char area[2 * DUP_BLOCK];
    unsigned char *pa = area, *pb = area + DUP_BLOCK;
    while (len > 0) {
        const int64_t n = len < DUP_BLOCK ? len : DUP_BLOCK;
        if (dup_content_read(ha, pa, n) != n || dup_content_read(hb, pb, n) != n) return 0;
        if (memcmp(pa, pb, static_cast<size_t>(n)) != 0) return 0;
        len -= n;
    }
    return 1;
}
