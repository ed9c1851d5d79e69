// POSIX implementation of the tool's platform layer.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace dfcli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_sigint(int) { g_interrupted = 1; }

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Reads up to n bytes, stopping early only at end of file or on an error.
size_t read_full(std::FILE *f, char *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        size_t r = std::fread(buf + got, 1, n - got, f);
        if (r == 0) break;
        got += r;
    }
    return got;
}

// File systems that can show files which physically live on another file
// system: an overlay shows its lower directories, a FUSE server may pass a
// local directory through, a network share may be exported from this very
// machine. Such a path and the path of the file behind it report different
// devices, so the device and file numbers cannot prove them different files;
// removing "the copy" may then remove the data that the kept path shows.
struct StackedType {
    uint32_t magic;  // statfs f_type
    const char *name;
};
constexpr StackedType kStackedTypes[] = {
    {0x794c7630, "overlayfs"},
    {0x65735546, "FUSE"},  // also fuseblk and virtiofs
    {0x61756673, "aufs"},
    {0x0000f15f, "eCryptfs"},
    {0x01021997, "9p"},
    {0x00006969, "NFS"},
    {0x0000517b, "SMB"},
    {0xff534d42, "CIFS"},
    {0xfe534d42, "SMB2"},
};

// The stacked kind of the file system holding path, or null. A file system
// that cannot be asked about is treated as stacked: nothing then proves it
// is not.
const char *stacked_type(const std::string &path) {
    struct statfs fs;
    if (::statfs(path.c_str(), &fs) != 0) return "unknown";
    // f_type is a signed word whose width differs between platforms; the
    // magic numbers are 32-bit.
    uint32_t magic = static_cast<uint32_t>(fs.f_type);
    for (const StackedType &t : kStackedTypes)
        if (t.magic == magic) return t.name;
    return nullptr;
}

}  // namespace

bool file_status(const std::string &path, FileStatus *st) {
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0) return false;
    st->regular = S_ISREG(sb.st_mode);
    st->directory = S_ISDIR(sb.st_mode);
    st->size = static_cast<int64_t>(sb.st_size);
    st->mtime_ns = static_cast<int64_t>(sb.st_mtim.tv_sec) * 1000000000LL + sb.st_mtim.tv_nsec;
    st->device = static_cast<uint64_t>(sb.st_dev);
    st->inode = static_cast<uint64_t>(sb.st_ino);
    st->links = static_cast<uint64_t>(sb.st_nlink);
    st->stacked = stacked_type(path);
    return true;
}

int entry_is_link(const std::string &path) {
    struct stat sb;
    if (::lstat(path.c_str(), &sb) != 0) return -1;
    return S_ISLNK(sb.st_mode) ? 1 : 0;
}

bool real_path(const std::string &path, std::string *out) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return false;
    *out = real.get();
    return true;
}

int files_identical(const std::string &a, const std::string &b, int64_t size, ReadFailure *failure) {
    auto fail = [&](int file, const char *step, int err) {
        failure->file = file;
        failure->step = step;
        failure->reason = err != 0 ? std::strerror(err) : "";
        return -1;
    };
    FilePtr fa(std::fopen(a.c_str(), "rb"));
    if (!fa) return fail(0, "cannot open", errno);
    FilePtr fb(std::fopen(b.c_str(), "rb"));
    if (!fb) return fail(1, "cannot open", errno);
    constexpr size_t kBlock = 64 * 1024;
    std::vector<char> ba(kBlock), bb(kBlock);
    int64_t left = size;
    while (left > 0) {
        size_t want = left < static_cast<int64_t>(kBlock) ? static_cast<size_t>(left) : kBlock;
        size_t ra = read_full(fa.get(), ba.data(), want);
        if (std::ferror(fa.get())) return fail(0, "cannot read", 0);
        size_t rb = read_full(fb.get(), bb.data(), want);
        if (std::ferror(fb.get())) return fail(1, "cannot read", 0);
        // A file that ends early has shrunk since its size was taken.
        if (ra != want || rb != want) return 0;
        if (std::memcmp(ba.data(), bb.data(), want) != 0) return 0;
        left -= static_cast<int64_t>(want);
    }
    // Both must end exactly here: a file that grew is no longer the copy.
    char extra;
    if (std::fread(&extra, 1, 1, fa.get()) != 0 || std::fread(&extra, 1, 1, fb.get()) != 0) return 0;
    return 1;
}

bool stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }
bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void install_interrupt_handler() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a read from the terminal returns at once on Ctrl-C.
    sa.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &sa, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

namespace {
void mask_interrupts(int how) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    ::pthread_sigmask(how, &set, nullptr);
}
}  // namespace

void hold_interrupts() { mask_interrupts(SIG_BLOCK); }
void release_interrupts() { mask_interrupts(SIG_UNBLOCK); }

int read_input_line(std::string *line) {
    line->clear();
    for (;;) {
        if (g_interrupted) return -1;
        char c;
        ssize_t r = ::read(STDIN_FILENO, &c, 1);
        if (r == 1) {
            if (c == '\n') return 1;
            line->push_back(c);
            continue;
        }
        if (r == 0) return line->empty() ? 0 : 1;
        if (errno == EINTR) continue;  // the flag check above decides
        return -1;
    }
}

}  // namespace dfcli
