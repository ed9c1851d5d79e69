// SPDX-License-Identifier: MIT
// Helpers shared by the tests: scratch directories and small file fixtures.
// This is the POSIX set; Windows has its own (test_util_windows.h) with the
// same names, and both include the portable ones (test_common.h).
#ifndef DUPFIND_TEST_UTIL_H
#define DUPFIND_TEST_UTIL_H

#include "test_common.h"

#ifdef _WIN32
#  include "test_util_windows.h"
#else

#  include <fcntl.h>
#  include <ftw.h>
#  include <sys/mount.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>

#  include <cerrno>
#  include <chrono>
#  include <cstdint>
#  include <cstdio>
#  include <cstdlib>
#  include <cstring>
#  include <stdexcept>
#  include <string>
#  include <thread>
#  include <utility>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with everything below
// it when the object goes out of scope.
class TempDir {
public:
    TempDir() {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dupfind-test-XXXXXX";
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
        ::chmod(path_.c_str(), 0755);  // lets an unprivileged child reach it
    }
    ~TempDir() {
        // Restore permissions that a test may have taken away, then remove.
        nftw(
            path_.c_str(),
            [](const char *p, const struct stat *sb, int type, struct FTW *) {
                if (type == FTW_D || type == FTW_DNR) chmod(p, sb->st_mode | S_IRWXU);
                return 0;
            },
            16, FTW_PHYS);
        nftw(
            path_.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p) == 0 ? 0 : 0; },
            16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

inline void write_file(const std::string &path, const std::string &content) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    if (!content.empty() && std::fwrite(content.data(), 1, content.size(), f) != content.size()) {
        std::fclose(f);
        throw std::runtime_error("cannot write " + path);
    }
    std::fclose(f);
}

inline std::string read_file(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + path);
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

// Creates base and below it a chain of directories until the path is at
// least `length` bytes long, longer than the system takes whole: each level
// is made relative to the one above. Returns the deepest directory's path.
inline std::string make_deep_dir(const std::string &base, size_t length) {
    if (::mkdir(base.c_str(), 0755) != 0) throw std::runtime_error("cannot create " + base);
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
    std::string path = base;
    const std::string part(200, 'd');
    while (fd >= 0 && path.size() < length) {
        if (::mkdirat(fd, part.c_str(), 0755) != 0) break;
        int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        path += "/" + part;
    }
    if (fd < 0 || path.size() < length) throw std::runtime_error("cannot build a deep tree below " + base);
    ::close(fd);
    return path;
}

// Writes a file in a directory whose path may be longer than the system
// takes whole, by opening the directories along it one by one.
inline void write_file_at(const std::string &dir, const std::string &name, const std::string &content) {
    int fd = ::open("/", O_RDONLY | O_DIRECTORY);
    size_t at = 1;
    while (fd >= 0 && at < dir.size()) {
        size_t end = dir.find('/', at);
        if (end == std::string::npos) end = dir.size();
        int next = ::openat(fd, dir.substr(at, end - at).c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        at = end + 1;
    }
    int f = fd >= 0 ? ::openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
    if (fd >= 0) ::close(fd);
    const bool ok = f >= 0 && ::write(f, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (f >= 0) ::close(f);
    if (!ok) throw std::runtime_error("cannot write " + name + " below a deep directory");
}

// Removes a tree too deep for nftw (rm works relative to each directory).
struct DeepCleanup {
    std::string path;
    explicit DeepCleanup(std::string p) : path(std::move(p)) {}
    ~DeepCleanup() {
        const std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    DeepCleanup(const DeepCleanup &) = delete;
    DeepCleanup &operator=(const DeepCleanup &) = delete;
};

// A bind mount of `from` at `to`, undone when the object goes out of scope.
// Needs privilege; ok() tells whether it was made.
class BindMount {
public:
    BindMount(const std::string &from, const std::string &to) : to_(to) {
        ok_ = ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (!ok_) err_ = std::strerror(errno);
    }
    ~BindMount() {
        if (ok_) ::umount2(to_.c_str(), MNT_DETACH);
    }
    BindMount(const BindMount &) = delete;
    BindMount &operator=(const BindMount &) = delete;
    bool ok() const { return ok_; }
    const std::string &error() const { return err_; }

private:
    std::string to_;
    std::string err_;
    bool ok_ = false;
};

// Reads a descriptor (the parent's end of a pipe from a child) to its end,
// then closes it.
inline std::string drain_and_close(int fd) {
    std::string got;
    char buf[4096];
    ssize_t k;
    while ((k = ::read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(k));
    ::close(fd);
    return got;
}

// A sparse file of the given size: sizes beyond 4 GiB cost no disk space.
inline void make_sparse(const std::string &path, long long size) {
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, size) != 0) throw std::runtime_error("cannot size " + path);
    ::close(fd);
}

// The system's own resolution of an existing path, for expectations.
inline std::string real_path(const std::string &path) {
    char *p = realpath(path.c_str(), nullptr);
    if (!p) throw std::runtime_error("realpath failed: " + path);
    std::string s(p);
    free(p);
    return s;
}

inline void make_dir(const std::string &path) {
    if (::mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("cannot mkdir " + path);
}

inline void make_symlink(const std::string &target, const std::string &link) {
    if (::symlink(target.c_str(), link.c_str()) != 0) throw std::runtime_error("cannot symlink " + link);
}

// A path length beyond what the system takes whole (PATH_MAX bytes).
constexpr size_t kLongPathBytes = 5000;

// The identity of what path leads to (links followed). Throws when there is
// nothing there.
inline file_id identity(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
    return file_id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// Why no symbolic link can be made here, or null: every POSIX system makes them.
inline const char *symlinks_unavailable() { return nullptr; }

inline bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Runs fn in a child process that has dropped root privileges (to "nobody"),
// for tests that need the file system to refuse something. Returns the
// child's exit status, or -1 when it did not exit normally.
template <class Fn>
int run_unprivileged(Fn fn) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(99);
        }
        ::_exit(fn());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testutil

#endif  // _WIN32

#endif
