// SPDX-License-Identifier: MIT
// The Windows set of the tests' helpers (see test_util.h): scratch
// directories and file fixtures made with wide calls on extended-length
// paths, so that non-ASCII names and long paths work. Paths are UTF-8 with
// '/' as separator, as the tests build them.
#ifndef DUPFIND_TEST_UTIL_WINDOWS_H
#define DUPFIND_TEST_UTIL_WINDOWS_H

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#  define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>

#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include "posix_shim.h"

namespace testutil {

inline std::wstring utf16(const std::string &s) {
    if (s.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) throw std::runtime_error("not UTF-8: " + s);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

inline std::string utf8(const std::wstring &w) {
    if (w.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

// The extended-length form of a path, for the tests' own file calls.
inline std::wstring long_path(const std::string &path) {
    std::wstring w = utf16(path);
    for (wchar_t &c : w)
        if (c == L'/') c = L'\\';
    if (w.rfind(L"\\\\?\\", 0) == 0) return w;
    const DWORD need = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(w.c_str(), need, full.data(), nullptr);
    if (need == 0 || got == 0 || got >= need) throw std::runtime_error("no full path for " + path);
    full.resize(got);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Removes a tree without following links (a link goes, not its target).
inline void remove_tree(const std::wstring &path) {
    const DWORD attr = GetFileAttributesW(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) return;
    if (attr & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attr & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (!(attr & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    if (!(attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW e;
        HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &e);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = e.cFileName;
                if (name != L"." && name != L"..") remove_tree(path + L"\\" + name);
            } while (FindNextFileW(h, &e));
            FindClose(h);
        }
    }
    RemoveDirectoryW(path.c_str());
}

// A fresh directory under the user's temporary directory, removed with
// everything below it when the object goes out of scope.
class TempDir {
public:
    TempDir() {
        wchar_t base[MAX_PATH + 1];
        const DWORD n = GetTempPathW(MAX_PATH + 1, base);
        if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
        // The long form of the directory, so that paths the library hands
        // back compare equal to the ones the test builds.
        wchar_t full[32768];
        const DWORD m = GetLongPathNameW(base, full, 32768);
        std::string dir = utf8(m > 0 && m < 32768 ? full : base);
        for (char &c : dir)
            if (c == '\\') c = '/';
        while (!dir.empty() && dir.back() == '/') dir.pop_back();
        static std::atomic<unsigned> counter{0};
        for (int tries = 0; tries < 100; tries++) {
            path_ = dir + "/dupfind-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) +
                    "-" + std::to_string(GetTickCount64() % 100000);
            if (CreateDirectoryW(long_path(path_).c_str(), nullptr)) return;
        }
        throw std::runtime_error("cannot create a scratch directory in " + dir);
    }
    ~TempDir() { remove_tree(long_path(path_)); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

inline void write_file(const std::string &path, const std::string &content) {
    HANDLE h = CreateFileW(long_path(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
    DWORD done = 0;
    const bool ok = content.empty() ||
                    (WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &done, nullptr) &&
                     done == content.size());
    CloseHandle(h);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

inline std::string read_file(const std::string &path) {
    HANDLE h = CreateFileW(long_path(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
    std::string out;
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    CloseHandle(h);
    return out;
}

// The system's own resolution of an existing path, for expectations,
// written as the library writes paths (posix_shim.h).
inline std::string real_path(const std::string &path) {
    char *p = realpath(path.c_str(), nullptr);
    if (!p) throw std::runtime_error("realpath failed: " + path);
    std::string s(p);
    free(p);
    return s;
}

inline void make_dir(const std::string &path) {
    if (!CreateDirectoryW(long_path(path).c_str(), nullptr)) throw std::runtime_error("cannot mkdir " + path);
}

// Creates base and below it a chain of directories until the path is at
// least `length` bytes long, far beyond the 260 characters of a plain
// Windows path. Returns the deepest directory's path.
inline std::string make_deep_dir(const std::string &base, size_t length) {
    make_dir(base);
    std::string path = base;
    const std::string part(200, 'd');
    while (path.size() < length) {
        path += "/" + part;
        make_dir(path);
    }
    return path;
}

inline void write_file_at(const std::string &dir, const std::string &name, const std::string &content) {
    write_file(dir + "/" + name, content);
}

// Removes a deep tree (the extended-length calls reach every level).
struct DeepCleanup {
    std::string path;
    explicit DeepCleanup(std::string p) : path(std::move(p)) {}
    ~DeepCleanup() { remove_tree(long_path(path)); }
    DeepCleanup(const DeepCleanup &) = delete;
    DeepCleanup &operator=(const DeepCleanup &) = delete;
};

// Windows has no bind mounts: ok() is always false.
class BindMount {
public:
    BindMount(const std::string &, const std::string &) {}
    bool ok() const { return false; }
    const std::string &error() const { return err_; }

private:
    std::string err_ = "no bind mounts on Windows";
};

inline std::string drain_and_close(int fd) {
    std::string got;
    char buf[4096];
    int k;
    while ((k = ::_read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(k));
    ::_close(fd);
    return got;
}

// A sparse file of the given size: sizes beyond 4 GiB cost no disk space.
inline void make_sparse(const std::string &path, long long size) {
    HANDLE h = CreateFileW(long_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
    DWORD ret = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ret, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = size;
    const bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    if (!ok) throw std::runtime_error("cannot size " + path);
}

// Why no symbolic link can be made here, or null. Windows makes them only
// with a privilege or in developer mode; Wine reports success and makes
// none. Probed once per process.
inline const char *symlinks_unavailable() {
    static const char *why = []() -> const char * {
        TempDir d;
        write_file(d / "target", "x");
        const std::wstring link = long_path(d / "link");
        CreateSymbolicLinkW(link.c_str(), long_path(d / "target").c_str(), 0x2 /* ALLOW_UNPRIVILEGED_CREATE */);
        const DWORD attr = GetFileAttributesW(link.c_str());
        if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT)) return nullptr;
        return "no symbolic link can be made here (Wine's CreateSymbolicLinkW succeeds and creates none; "
               "Windows needs the privilege or developer mode)";
    }();
    return why;
}

// A link at `link` to `target` (a relative target is taken from the link's
// directory). Throws when none can be made: call DUPFIND_NEEDS_SYMLINKS()
// first.
inline void make_symlink(const std::string &target, const std::string &link) {
    std::wstring t = utf16(target);
    for (wchar_t &c : t)
        if (c == L'/') c = L'\\';
    const bool absolute = t.size() > 2 && (t[1] == L':' || (t[0] == L'\\' && t[1] == L'\\'));
    std::string resolved = absolute ? target : link.substr(0, link.find_last_of('/') + 1) + target;
    const DWORD attr = GetFileAttributesW(long_path(resolved).c_str());
    const DWORD dir = attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) ? 0x1 : 0;
    if (!CreateSymbolicLinkW(long_path(link).c_str(), absolute ? long_path(target).c_str() : t.c_str(), dir | 0x2))
        throw std::runtime_error("cannot symlink " + link);
    const DWORD made = GetFileAttributesW(long_path(link).c_str());
    if (made == INVALID_FILE_ATTRIBUTES || !(made & FILE_ATTRIBUTE_REPARSE_POINT))
        throw std::runtime_error("no symbolic link was made at " + link);
}

// A path length well beyond the 260 characters of a plain Windows path. Wine
// keeps files on a Linux file system, whose paths must stay below 4096 bytes
// with its prefix directory in front, so the length stays well below that.
constexpr size_t kLongPathBytes = 1200;

// The identity of what path leads to (links followed): volume serial number
// and file index. Throws when there is nothing there.
inline file_id identity(const std::string &path) {
    HANDLE h = CreateFileW(long_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) throw std::runtime_error("cannot query " + path);
    return file_id{info.dwVolumeSerialNumber, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

inline bool exists(const std::string &path) {
    return GetFileAttributesW(long_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Windows has no other user to switch to from here: reports failure. Tests
// that need it are marked DUPFIND_POSIX_ONLY.
template <class Fn>
int run_unprivileged(Fn) {
    return -1;
}

}  // namespace testutil

#endif  // DUPFIND_TEST_UTIL_WINDOWS_H
