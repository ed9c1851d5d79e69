// POSIX implementation of the tool's platform layer.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <random>

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
    st->ctime_ns = static_cast<int64_t>(sb.st_ctim.tv_sec) * 1000000000LL + sb.st_ctim.tv_nsec;
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

namespace {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(-1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

ActResult left(std::string why) { return {ActResult::Left, ActResult::Other, std::move(why)}; }

ActResult left(ActResult::Cause cause) { return {ActResult::Left, cause, ""}; }

ActResult failed(const std::string &step, int err) {
    return {ActResult::Failed, ActResult::Other, step + ": " + std::strerror(err)};
}

// Opens the directory that holds p's file: its root as given, then each
// name below it without following a link. Sets *name to the file's own
// name. On failure returns a closed Fd with *why.
Fd open_parent(const RootedPath &p, std::string *name, ActResult *why) {
    Fd dir(::open(p.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        *why = failed("cannot open " + p.root, errno);
        return Fd();
    }
    size_t pos = 0;
    for (;;) {
        size_t slash = p.below.find('/', pos);
        std::string part = p.below.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        if (part.empty() || part == "." || part == "..") {
            *why = left("not a plain path below its directory");
            return Fd();
        }
        if (slash == std::string::npos) {
            *name = part;
            return dir;
        }
        Fd next(::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            int err = errno;
            // A link where a directory was (O_NOFOLLOW refuses it with
            // ELOOP, or ENOTDIR for a link to a file) is no system failure.
            if (err == ELOOP || err == ENOTDIR || err == ENOENT)
                *why = left("a directory of its path changed since it was checked");
            else
                *why = failed("cannot open the directory " + part, err);
            return Fd();
        }
        dir.reset(next.release());
        pos = slash + 1;
    }
}

bool same_identity(const struct stat &sb, const FileStatus &st) {
    return S_ISREG(sb.st_mode) && static_cast<uint64_t>(sb.st_dev) == st.device &&
           static_cast<uint64_t>(sb.st_ino) == st.inode && static_cast<int64_t>(sb.st_size) == st.size;
}

int64_t nanoseconds(const struct timespec &t) { return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec; }

// The same file with the same size, not written to since (a write moves
// the modification time).
bool unwritten(const struct stat &sb, const FileStatus &st) {
    return same_identity(sb, st) && nanoseconds(sb.st_mtim) == st.mtime_ns;
}

// The copy exactly as it was checked: neither written to nor changed in any
// other way since (every change moves the change time).
bool unchanged(const struct stat &sb, const FileStatus &st) {
    return unwritten(sb, st) && nanoseconds(sb.st_ctim) == st.ctime_ns;
}

// A name in the directory that nothing has: ".dupfind-" and random hex.
std::string temporary_name() {
    static std::mt19937_64 random{std::random_device{}() ^ static_cast<uint64_t>(::getpid())};
    char buf[32];
    std::snprintf(buf, sizeof buf, ".dupfind-%016llx", static_cast<unsigned long long>(random()));
    return buf;
}

}  // namespace

ActResult link_over(const RootedPath &kept, const FileStatus &kept_st, const RootedPath &copy,
                    const FileStatus &copy_st) {
    ActResult why;
    std::string kept_name, copy_name;
    Fd kept_dir = open_parent(kept, &kept_name, &why);
    if (!kept_dir) return why.outcome == ActResult::Left ? left(ActResult::KeptChanged) : why;
    Fd dir = open_parent(copy, &copy_name, &why);
    if (!dir) return why;

    // link(2) never replaces a name: a name taken meanwhile only means
    // another try with another one.
    std::string tmp;
    for (int attempt = 0;; ++attempt) {
        tmp = temporary_name();
        if (::linkat(kept_dir.get(), kept_name.c_str(), dir.get(), tmp.c_str(), 0) == 0) break;
        int err = errno;
        if (err == EEXIST && attempt < 100) continue;
        if (err == EXDEV) return left(ActResult::OtherFileSystem);
        return failed("cannot make a hard link to the kept file", err);
    }
    auto drop = [&](ActResult r) {
        ::unlinkat(dir.get(), tmp.c_str(), 0);
        return r;
    };

    // The new name must be the kept file as it was compared (linkat does
    // not follow a link that was put in its place; the new link itself
    // moves the kept file's change time), and the copy must still be the
    // file that was compared: only then may the rename replace it.
    struct stat sb;
    if (::fstatat(dir.get(), tmp.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0)
        return drop(failed("cannot check the new link", errno));
    if (!unwritten(sb, kept_st)) return drop(left(ActResult::KeptChanged));
    if (::fstatat(dir.get(), copy_name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0 || !unchanged(sb, copy_st))
        return drop(left("changed since it was checked"));
    if (::renameat(dir.get(), tmp.c_str(), dir.get(), copy_name.c_str()) != 0)
        return drop(failed("cannot rename the new link over the copy", errno));
    return {ActResult::Done, ActResult::Other, ""};
}

namespace {

// Opens p's file for reading through its directory, without following a
// link and without waiting on a FIFO put in its place.
Fd open_file(const RootedPath &p, ActResult *why) {
    std::string name;
    Fd dir = open_parent(p, &name, why);
    if (!dir) return Fd();
    Fd fd(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        if (err == ELOOP || err == ENOENT) *why = left("changed since it was checked");
        else *why = failed("cannot open", err);
    }
    return fd;
}

// The reason, in a copy's report, for an error of the dedupe call.
ActResult dedupe_error(int err) {
    switch (err) {
    case EOPNOTSUPP:
    case EINVAL:
    case ENOTTY:
        return left(std::string("the file system cannot share extents: ") + std::strerror(err));
    case EXDEV: return left(ActResult::OtherFileSystem);
    case EROFS: return left("on a read-only file system");
    case ETXTBSY: return left("a running program's file");
    default: return failed("cannot share extents", err);
    }
}

}  // namespace

ActResult share_extents(const RootedPath &kept, const FileStatus &kept_st, const RootedPath &copy,
                        const FileStatus &copy_st, bool probe) {
    ActResult why;
    Fd src = open_file(kept, &why);
    if (!src) return why.outcome == ActResult::Left ? left(ActResult::KeptChanged) : why;
    Fd dst = open_file(copy, &why);
    if (!dst) return why;
    struct stat sb;
    if (::fstat(src.get(), &sb) != 0 || !same_identity(sb, kept_st))
        return left(ActResult::KeptChanged);
    if (::fstat(dst.get(), &sb) != 0 || !unchanged(sb, copy_st)) return left("changed since it was checked");

    // One destination. The kernel caps each call (at 1 GiB) and may share
    // less than asked; a call of length 0 checks everything but the bytes.
    alignas(file_dedupe_range) unsigned char buf[sizeof(file_dedupe_range) + sizeof(file_dedupe_range_info)];
    auto *range = reinterpret_cast<file_dedupe_range *>(buf);
    constexpr uint64_t kStep = 256ULL << 20;  // a multiple of every block size
    const uint64_t size = static_cast<uint64_t>(copy_st.size);
    uint64_t offset = 0;
    do {
        std::memset(buf, 0, sizeof buf);
        range->src_offset = offset;
        range->src_length = probe ? 0 : std::min(kStep, size - offset);
        range->dest_count = 1;
        range->info[0].dest_fd = dst.get();
        range->info[0].dest_offset = offset;
        if (::ioctl(src.get(), FIDEDUPERANGE, range) != 0) return dedupe_error(errno);
        const file_dedupe_range_info &info = range->info[0];
        if (info.status == FILE_DEDUPE_RANGE_DIFFERS) return left(ActResult::Differs);
        if (info.status < 0) return dedupe_error(-info.status);
        if (probe) break;
        if (info.bytes_deduped == 0) return failed("cannot share extents", EIO);
        offset += info.bytes_deduped;
    } while (offset < size);
    return {ActResult::Done, ActResult::Other, ""};
}

namespace {

struct Extent {
    uint64_t logical, physical, length;
    bool operator==(const Extent &) const = default;
};

// The file's extents, written out first, with neighbours that continue
// each other joined; false when the file system does not tell where the
// data lies (no FIEMAP, delayed allocation, data inline in metadata).
bool extent_map(int fd, std::vector<Extent> *out) {
    constexpr uint32_t kBatch = 64;
    std::vector<unsigned char> buf(sizeof(fiemap) + kBatch * sizeof(fiemap_extent));
    auto *map = reinterpret_cast<fiemap *>(buf.data());
    uint64_t start = 0;
    for (;;) {
        std::memset(buf.data(), 0, buf.size());
        map->fm_start = start;
        map->fm_length = FIEMAP_MAX_OFFSET - start;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = kBatch;
        if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0) return false;
        if (map->fm_mapped_extents == 0) return true;
        for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent &e = map->fm_extents[i];
            if (e.fe_flags & (FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_DATA_INLINE))
                return false;
            if (!out->empty() && out->back().logical + out->back().length == e.fe_logical &&
                out->back().physical + out->back().length == e.fe_physical)
                out->back().length += e.fe_length;
            else
                out->push_back({e.fe_logical, e.fe_physical, e.fe_length});
            if (e.fe_flags & FIEMAP_EXTENT_LAST) return true;
            start = e.fe_logical + e.fe_length;
        }
    }
}

}  // namespace

int extents_shared(const std::string &a, const std::string &b) {
    Fd fa(::open(a.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    Fd fb(::open(b.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fa || !fb) return -1;
    std::vector<Extent> ea, eb;
    if (!extent_map(fa.get(), &ea) || !extent_map(fb.get(), &eb)) return -1;
    return ea == eb ? 1 : 0;
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
