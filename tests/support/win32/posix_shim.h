// SPDX-License-Identifier: MIT
// Declarations that let the tests' POSIX-only code compile for Windows.
// Every test that reaches one of these is marked DUPFIND_POSIX_ONLY and
// skips before it does; the stand-ins only report failure (ENOSYS). The few
// that Windows can do for real (hard links, the system's canonical name,
// creating a directory) do it. This directory is on the include path of
// the Windows build only; its sys/wait.h, dlfcn.h, sys/mount.h and ftw.h
// stand in for the headers Windows does not have.
#ifndef DUPFIND_POSIX_SHIM_H
#define DUPFIND_POSIX_SHIM_H

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#  define NOMINMAX
#endif
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace posix_shim {
inline int unsupported() {
    errno = ENOSYS;
    return -1;
}
inline std::wstring wide(const char *s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
    w.resize(wcslen(w.c_str()));
    for (wchar_t &c : w)
        if (c == L'/') c = L'\\';
    return w;
}
}  // namespace posix_shim

#ifndef O_DIRECTORY
#  define O_DIRECTORY 0
#endif
#ifndef O_CLOEXEC
#  define O_CLOEXEC 0
#endif
#ifndef O_NONBLOCK
#  define O_NONBLOCK 0
#endif
#ifndef S_IFLNK
#  define S_IFLNK 0xA000
#endif
#ifndef S_ISLNK
#  define S_ISLNK(m) (((m)&S_IFMT) == S_IFLNK)
#endif
#define AT_FDCWD (-100)
#define AT_SYMLINK_NOFOLLOW 0x100

// ---- processes and users -------------------------------------------------------------
inline pid_t fork() { return static_cast<pid_t>(posix_shim::unsupported()); }
inline pid_t waitpid(pid_t, int *, int) { return static_cast<pid_t>(posix_shim::unsupported()); }
#define WIFEXITED(s) ((s) >= 0)
#define WEXITSTATUS(s) (s)
#define WIFSIGNALED(s) 0
#define WTERMSIG(s) 0
#define WNOHANG 1
#define SIGKILL 9
inline int kill(pid_t, int) { return posix_shim::unsupported(); }
inline int pipe(int fds[2]) { return _pipe(fds, 65536, _O_BINARY); }
inline int geteuid() { return 1; }
inline int setuid(int) { return posix_shim::unsupported(); }
inline int setgid(int) { return posix_shim::unsupported(); }
inline void sync() {}

// ---- the file system -----------------------------------------------------------------
inline int mkfifo(const char *, int) { return posix_shim::unsupported(); }
inline int symlink(const char *, const char *) { return posix_shim::unsupported(); }
inline int link(const char *from, const char *to) {
    return CreateHardLinkW(posix_shim::wide(to).c_str(), posix_shim::wide(from).c_str(), nullptr) ? 0 : -1;
}
inline int lstat(const char *path, struct stat *st) { return stat(path, st); }
inline int mkdir(const char *path, int) { return _wmkdir(posix_shim::wide(path).c_str()); }
inline int openat(int, const char *, int, ...) { return posix_shim::unsupported(); }
inline int mkdirat(int, const char *, int) { return posix_shim::unsupported(); }
inline int fstatat(int, const char *, struct stat *, int) { return posix_shim::unsupported(); }
inline char *mkdtemp(char *) {
    errno = ENOSYS;
    return nullptr;
}

// The system's canonical name of an existing object, written as the
// library writes paths ("//?/C:/a/b"), in a malloc'ed block.
inline char *realpath(const char *path, char *) {
    HANDLE h = CreateFileW(posix_shim::wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    wchar_t buf[32768];
    const DWORD n = GetFinalPathNameByHandleW(h, buf, 32768, 0);
    CloseHandle(h);
    if (n == 0 || n >= 32768) return nullptr;
    const int len = WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    char *out = static_cast<char *>(std::malloc(static_cast<size_t>(len) + 1));
    if (!out) return nullptr;
    WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), out, len, nullptr, nullptr);
    out[len] = '\0';
    for (char *c = out; *c; c++)
        if (*c == '\\') *c = '/';
    for (size_t k = std::strlen(out); k > 0 && out[k - 1] == '/'; k--) out[k - 1] = '\0';
    return out;
}

// ---- mounts, tree walks, dynamic loading ---------------------------------------------
#define MS_BIND 0
#define MNT_DETACH 0
inline int mount(const char *, const char *, const char *, unsigned long, const void *) {
    return posix_shim::unsupported();
}
inline int umount2(const char *, int) { return posix_shim::unsupported(); }
struct FTW {
    int base, level;
};
#define FTW_D 1
#define FTW_DNR 2
#define FTW_DEPTH 8
#define FTW_PHYS 1
template <class Fn>
int nftw(const char *, Fn, int, int) {
    return posix_shim::unsupported();
}
#define RTLD_NEXT nullptr
#define RTLD_NOW 0
#define RTLD_LOCAL 0
inline void *dlopen(const char *, int) { return nullptr; }
inline void *dlsym(void *, const char *) { return nullptr; }
inline int dlclose(void *) { return 0; }
inline const char *dlerror() { return "no dlopen on Windows"; }

#endif  // DUPFIND_POSIX_SHIM_H
