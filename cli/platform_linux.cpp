// SPDX-License-Identifier: MIT
// Linux implementation of the tool's platform layer. It is Linux, not any
// POSIX system: exchanging two names and renaming without replacing
// (renameat2), sharing extents (FIDEDUPERANGE), the extent map (FIEMAP),
// the file-system kinds of statfs and the extended attributes are Linux's
// own calls, and each is what a guard of an act rests on.
#include "platform.h"
#include "platform_common.h"

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
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <random>
#include <thread>

namespace dfcli {

namespace {

// The number of the first signal that asked the tool to stop, or 0.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_stop_signal(int sig) {
    if (g_interrupted == 0) g_interrupted = sig;
}

// The signals that ask the tool to stop: Ctrl-C, a closed terminal, and
// `timeout`, `kill` or a service manager.
constexpr int kStopSignals[] = {SIGINT, SIGHUP, SIGTERM};

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
    {0x794c7630, "overlayfs"}, {0x65735546, "FUSE"},  // also fuseblk and virtiofs
    {0x61756673, "aufs"},      {0x0000f15f, "eCryptfs"}, {0x01021997, "9p"},   {0x00006969, "NFS"},
    {0x0000517b, "SMB"},       {0xff534d42, "CIFS"},     {0xfe534d42, "SMB2"},
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
    st->mode = static_cast<uint32_t>(sb.st_mode & 07777);
    st->owner = static_cast<uint64_t>(sb.st_uid);
    st->group = static_cast<uint64_t>(sb.st_gid);
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
            else *why = failed("cannot open the directory " + part, err);
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

// The full path of `name` in the directory of p's file, as the library
// would write it: the root, the directories below it, the name.
std::string sibling_path(const RootedPath &p, const std::string &name) {
    size_t slash = p.below.rfind('/');
    std::string dirs = slash == std::string::npos ? "" : p.below.substr(0, slash + 1);
    std::string root = p.root;
    if (root.empty() || root.back() != '/') root += '/';
    return root + dirs + name;
}

// Renames `from` to `to` in one directory without ever replacing a file
// that has the name `to`: 0, or the system's error. File systems without
// the no-replace flag get a hard link under the new name (which never
// replaces either) and the old name's removal; `from` is then one of the
// tool's own private names.
int rename_private_to(int dir, const char *from, const char *to) {
    if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
    int err = errno;
    if (err != EINVAL && err != ENOSYS) return err;
    if (::linkat(dir, from, dir, to, 0) != 0) return errno;
    ::unlinkat(dir, from, 0);
    return 0;
}

// Renames the name `from` to a new private name, without replacing
// anything: 0 with *to, or the system's error. Without the no-replace flag
// a plain rename to a name checked to be free stands in: with 64 random
// bits, nothing takes it meanwhile but a program that reads the directory
// to race the tool.
int rename_to_private(int dir, const char *from, std::string *to) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *to = private_name();
        if (::renameat2(dir, from, dir, to->c_str(), RENAME_NOREPLACE) == 0) return 0;
        int err = errno;
        if (err == EEXIST) continue;
        if (err != EINVAL && err != ENOSYS) return err;
        struct stat sb;
        if (::fstatat(dir, to->c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0) continue;
        if (errno != ENOENT) return errno;
        return ::renameat(dir, from, dir, to->c_str()) == 0 ? 0 : errno;
    }
    return EEXIST;
}

// Whether the name in dir leads to the held file: the same device and
// inode, and the file itself unwritten since it was opened. (Renaming a
// file moves its change time, so that is checked through the handle before
// the rename, not here.)
bool name_is_held(int dir, const std::string &name, const HeldFile &f) {
    struct stat sb;
    return ::fstatat(dir, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0 && unwritten(sb, f.st);
}

}  // namespace

ActResult hold_file(const RootedPath &p, HeldFile *out) {
    release_file(out);
    ActResult why;
    std::string name;
    Fd dir = open_parent(p, &name, &why);
    if (!dir) return why;
    // O_NONBLOCK: a FIFO put in the file's place must not hang the tool.
    Fd fd(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        if (err == ELOOP) return left("a symbolic link now");
        if (err == ENOENT) return left("no longer exists");
        if (err == ENXIO || err == EWOULDBLOCK) return left("no longer a regular file");
        return failed("cannot open", err);
    }
    struct stat sb;
    if (::fstat(fd.get(), &sb) != 0) return failed("cannot query", errno);
    if (!S_ISREG(sb.st_mode)) return left("no longer a regular file");
    HeldFile h;
    h.st.regular = true;
    h.st.size = static_cast<int64_t>(sb.st_size);
    h.st.mtime_ns = nanoseconds(sb.st_mtim);
    h.st.ctime_ns = nanoseconds(sb.st_ctim);
    h.st.device = static_cast<uint64_t>(sb.st_dev);
    h.st.inode = static_cast<uint64_t>(sb.st_ino);
    h.st.links = static_cast<uint64_t>(sb.st_nlink);
    h.st.mode = static_cast<uint32_t>(sb.st_mode & 07777);
    h.st.owner = static_cast<uint64_t>(sb.st_uid);
    h.st.group = static_cast<uint64_t>(sb.st_gid);
    h.handle = fd.release();
    *out = h;
    return {ActResult::Done, ActResult::Other, ""};
}

void release_file(HeldFile *f) {
    if (f->handle >= 0) ::close(static_cast<int>(f->handle));
    f->handle = -1;
}

bool held_unchanged(const HeldFile &f) {
    struct stat sb;
    return f.handle >= 0 && ::fstat(static_cast<int>(f.handle), &sb) == 0 && unchanged(sb, f.st);
}

bool read_held_at(const HeldFile &f, int64_t offset, char *buf, size_t n, size_t *got, std::string *reason) {
    *got = 0;
    while (*got < n) {
        const ssize_t r = ::pread(static_cast<int>(f.handle), buf + *got, n - *got,
                                  static_cast<off_t>(offset + static_cast<int64_t>(*got)));
        if (r == 0) return true;
        if (r < 0) {
            if (errno == EINTR) continue;
            *reason = std::strerror(errno);
            return false;
        }
        *got += static_cast<size_t>(r);
    }
    return true;
}

uint64_t random_bits() {
    uint64_t bits = 0;
    for (;;) {
        const ssize_t n = ::getrandom(&bits, sizeof bits, 0);
        if (n == static_cast<ssize_t>(sizeof bits)) return bits;
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    // A kernel or a filter without the call: the standard library's source
    // of the same pool, and the clock should even that fail.
    try {
        std::random_device device;
        return (static_cast<uint64_t>(device()) << 32) ^ device();
    } catch (...) {
        return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (static_cast<uint64_t>(::getpid()) << 32);
    }
}

ActResult move_aside(const RootedPath &copy, const HeldFile &compared, std::string *aside) {
    ActResult why;
    std::string name;
    Fd dir = open_parent(copy, &name, &why);
    if (!dir) return why;
    if (!held_unchanged(compared)) return left("changed since it was compared");
    std::string priv;
    int err = rename_to_private(dir.get(), name.c_str(), &priv);
    if (err == ENOENT) return left("no longer exists");
    if (err != 0) return failed("cannot rename it to a private name", err);
    if (!name_is_held(dir.get(), priv, compared)) {
        // Another file took the copy's name after the comparison: it was
        // never compared, so it goes back untouched.
        int back = rename_private_to(dir.get(), priv.c_str(), name.c_str());
        if (back != 0)
            return failed(
                "replaced after the comparison, and the file now under its name could not be put "
                "back from " +
                    sibling_path(copy, priv),
                back);
        return left("replaced by another file after the comparison");
    }
    *aside = sibling_path(copy, priv);
    return {ActResult::Done, ActResult::Other, ""};
}

bool put_back(const RootedPath &copy, const std::string &aside, std::string *why) {
    ActResult opened;
    std::string name;
    Fd dir = open_parent(copy, &name, &opened);
    size_t slash = aside.rfind('/');
    std::string priv = slash == std::string::npos ? aside : aside.substr(slash + 1);
    int err = dir ? rename_private_to(dir.get(), priv.c_str(), name.c_str()) : 0;
    if (dir && err == 0) return true;
    *why = "it stays under the name " + aside + ": " + (dir ? std::string(std::strerror(err)) : opened.why);
    return false;
}

namespace {

using Xattr = std::pair<std::string, std::string>;
using Xattrs = std::vector<Xattr>;

// The extended attributes of a file, names and values, sorted by name;
// false when they cannot be listed.
bool xattrs_of(const std::string &path, Xattrs *out) {
    ssize_t n = ::llistxattr(path.c_str(), nullptr, 0);
    if (n < 0) return errno == ENOTSUP;  // a file system without them has none
    std::vector<char> names(static_cast<size_t>(n) + 1);
    n = ::llistxattr(path.c_str(), names.data(), names.size());
    if (n < 0) return false;
    for (size_t at = 0; at < static_cast<size_t>(n);) {
        std::string key(names.data() + at);
        at += key.size() + 1;
        ssize_t v = ::lgetxattr(path.c_str(), key.c_str(), nullptr, 0);
        if (v < 0) return false;
        std::string value(static_cast<size_t>(v), '\0');
        if (v > 0 && ::lgetxattr(path.c_str(), key.c_str(), value.data(), value.size()) != v) return false;
        out->emplace_back(std::move(key), std::move(value));
    }
    std::sort(out->begin(), out->end());
    return true;
}

}  // namespace

std::string metadata_difference(const std::string &kept, const std::string &copy) {
    struct stat k, c;
    if (::lstat(kept.c_str(), &k) != 0 || ::lstat(copy.c_str(), &c) != 0) return "cannot be queried";
    std::vector<std::string> parts;
    char buf[64];
    if (k.st_uid != c.st_uid) {
        std::snprintf(buf, sizeof buf, "owner from %u to %u", static_cast<unsigned>(c.st_uid),
                      static_cast<unsigned>(k.st_uid));
        parts.push_back(buf);
    }
    if (k.st_gid != c.st_gid) {
        std::snprintf(buf, sizeof buf, "group from %u to %u", static_cast<unsigned>(c.st_gid),
                      static_cast<unsigned>(k.st_gid));
        parts.push_back(buf);
    }
    if ((k.st_mode & 07777) != (c.st_mode & 07777)) {
        std::snprintf(buf, sizeof buf, "mode from %04o to %04o", static_cast<unsigned>(c.st_mode & 07777),
                      static_cast<unsigned>(k.st_mode & 07777));
        parts.push_back(buf);
    }
    // An access control list is kept as an extended attribute; it is named
    // apart from the others.
    Xattrs kx, cx;
    if (!xattrs_of(kept, &kx) || !xattrs_of(copy, &cx)) {
        parts.push_back("extended attributes that cannot be read");
    } else {
        auto is_acl = [](const Xattr &e) { return e.first.rfind("system.posix_acl_", 0) == 0; };
        Xattrs kacl, cacl;
        std::copy_if(kx.begin(), kx.end(), std::back_inserter(kacl), is_acl);
        std::copy_if(cx.begin(), cx.end(), std::back_inserter(cacl), is_acl);
        std::erase_if(kx, is_acl);
        std::erase_if(cx, is_acl);
        if (kacl != cacl) parts.push_back("access control list");
        if (kx != cx) parts.push_back("extended attributes");
    }
    std::string out;
    for (const std::string &p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

ActResult link_over(const RootedPath &kept, const HeldFile &kept_file, const RootedPath &copy,
                    const HeldFile &copy_file, std::string *leftover) {
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
        tmp = private_name();
        if (::linkat(kept_dir.get(), kept_name.c_str(), dir.get(), tmp.c_str(), 0) == 0) break;
        int err = errno;
        if (err == EEXIST && attempt < 100) continue;
        if (err == EXDEV)
            return left(kept_file.st.device == copy_file.st.device ? ActResult::OtherMount
                                                                   : ActResult::OtherFileSystem);
        return failed("cannot make a hard link to the kept file", err);
    }
    // Removes the temporary name, noting it when that fails (an
    // append-only directory, a file system gone read-only).
    auto drop = [&](const std::string &name, ActResult r) {
        if (::unlinkat(dir.get(), name.c_str(), 0) != 0)
            *leftover = sibling_path(copy, name) + " (" + std::strerror(errno) + ")";
        return r;
    };

    // The new name must be the kept file as it was compared (linkat does
    // not follow a link that was put in its place; the new link itself
    // moves the kept file's change time), and the copy unchanged since it
    // was compared.
    if (!name_is_held(dir.get(), tmp, kept_file)) return drop(tmp, left(ActResult::KeptChanged));
    if (!held_unchanged(copy_file)) return drop(tmp, left("changed since it was compared"));

    // One step puts the link under the copy's name and the former file under
    // the temporary one; that file must be the compared copy, or the two
    // names are exchanged back.
    if (::renameat2(dir.get(), tmp.c_str(), dir.get(), copy_name.c_str(), RENAME_EXCHANGE) == 0) {
        if (name_is_held(dir.get(), tmp, copy_file)) return drop(tmp, {ActResult::Done, ActResult::Other, ""});
        if (::renameat2(dir.get(), tmp.c_str(), dir.get(), copy_name.c_str(), RENAME_EXCHANGE) != 0)
            return failed("replaced after the comparison, and the file could not be given its name back from " +
                              sibling_path(copy, tmp),
                          errno);
        return drop(tmp, left("replaced by another file after the comparison"));
    }
    int err = errno;
    if (err == ENOENT) return drop(tmp, left("no longer exists"));
    if (err != EINVAL && err != ENOSYS) return drop(tmp, failed("cannot rename the new link over the copy", err));

    // A file system that cannot exchange two names: the copy moves to a
    // private name first, where it is checked, and the link takes the free
    // name. The name is missing for that moment only.
    std::string aside;
    err = rename_to_private(dir.get(), copy_name.c_str(), &aside);
    if (err != 0)
        return drop(tmp,
                    err == ENOENT ? left("no longer exists") : failed("cannot rename the copy to a private name", err));
    if (!name_is_held(dir.get(), aside, copy_file)) {
        int back = rename_private_to(dir.get(), aside.c_str(), copy_name.c_str());
        if (back != 0)
            return drop(tmp, failed("replaced after the comparison, and the file could not be given its name "
                                    "back from " +
                                        sibling_path(copy, aside),
                                    back));
        return drop(tmp, left("replaced by another file after the comparison"));
    }
    err = rename_private_to(dir.get(), tmp.c_str(), copy_name.c_str());
    if (err != 0) {
        if (rename_private_to(dir.get(), aside.c_str(), copy_name.c_str()) != 0)
            *leftover = sibling_path(copy, aside) + " (the copy, under a private name)";
        return drop(tmp, failed("cannot rename the new link to the copy's name", err));
    }
    return drop(aside, {ActResult::Done, ActResult::Other, ""});
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
    case ENOTTY: return left(std::string("the file system cannot share extents: ") + std::strerror(err));
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
    if (::fstat(src.get(), &sb) != 0 || !same_identity(sb, kept_st)) return left(ActResult::KeptChanged);
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
            if (e.fe_flags & (FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_DATA_INLINE)) return false;
            if (!out->empty() && out->back().logical + out->back().length == e.fe_logical &&
                out->back().physical + out->back().length == e.fe_physical)
                out->back().length += e.fe_length;
            else out->push_back({e.fe_logical, e.fe_physical, e.fe_length});
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

int extents_inline(const std::string &path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return -1;
    // Data stored inline is the file's only extent, so the first tells.
    alignas(fiemap) unsigned char buf[sizeof(fiemap) + sizeof(fiemap_extent)];
    std::memset(buf, 0, sizeof buf);
    auto *map = reinterpret_cast<fiemap *>(buf);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 1;
    if (::ioctl(fd.get(), FS_IOC_FIEMAP, map) != 0) return -1;
    return map->fm_mapped_extents > 0 && (map->fm_extents[0].fe_flags & FIEMAP_EXTENT_DATA_INLINE) != 0 ? 1 : 0;
}

bool stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }
bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

extern "C" char **environ;

bool open_in_browser(const std::string &url) {
    // The opener's own output would mix with the tool's, which scripts read
    // for the address; it goes nowhere. It starts with no signal held, as
    // the tool may hold Ctrl-C on this thread.
    posix_spawn_file_actions_t files;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&files) != 0) return false;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&files);
        return false;
    }
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::string arg = url;
    char name[] = "xdg-open";
    char *argv[] = {name, &arg[0], nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, name, &files, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return false;
    // Reaped aside, so that a browser that stays in front of the opener
    // holds nothing up.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    }).detach();
    return true;
}

void install_interrupt_handler() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals) sigaddset(&sa.sa_mask, sig);
    // No SA_RESTART: a read from the terminal returns at once on Ctrl-C.
    sa.sa_flags = static_cast<int>(SA_RESETHAND);
    for (int sig : kStopSignals) {
        // A signal ignored by whoever started the tool (nohup) stays ignored.
        struct sigaction old;
        if (sig != SIGINT && ::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &sa, nullptr);
    }
}

bool interrupted() { return g_interrupted != 0; }

int interrupted_status() { return 128 + (g_interrupted != 0 ? static_cast<int>(g_interrupted) : SIGINT); }

namespace {
void mask_interrupts(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kStopSignals) sigaddset(&set, sig);
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

std::FILE *open_list(const std::string &path, std::string *why) {
    if (path == "-") return stdin;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) *why = std::strerror(errno);
    return f;
}

}  // namespace dfcli
