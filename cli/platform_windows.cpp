// SPDX-License-Identifier: MIT
// Windows implementation of the tool's platform layer: file queries, the
// console and Ctrl-C. The guarded acts on held files are in
// platform_windows_held.cpp, the entry point in main_windows.cpp.
//
// The tool works in UTF-8 like the library: arguments arrive as UTF-16 and
// are converted before main.cpp sees them, paths go back to UTF-16 for every
// file call, and the console is switched to UTF-8 output so that the names
// the tool prints show as they are. Redirected output is UTF-8 bytes.
#include "platform.h"
#include "platform_windows.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "utf8.h"

namespace dfcli {

namespace {

// 0 until the tool is asked to stop, then the exit status that tells how.
volatile LONG g_interrupted = 0;

// How long a close, logoff or shutdown event waits for the tool: the system
// ends the process when the handler returns, and by force about five seconds
// after the event in any case.
constexpr DWORD kCloseGraceMs = 4500;

// The first Ctrl-C (or Ctrl-Break) only sets the flag that the tool polls;
// a second one gets the default handling, which ends the process at once.
// Closing the console window, logging off and shutting down ask to stop the
// same way (with the statuses of a hang-up and a termination signal), but
// the system ends the process as soon as the handler returns: the handler
// therefore keeps this thread waiting, so that the tool can finish or undo
// the file in hand and exit. Its exit ends this wait with every other
// thread; failing that, the wait ends just before the system's own limit.
BOOL WINAPI on_console_event(DWORD event) {
    LONG status;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: status = 130; break;  // 128 + SIGINT
    case CTRL_CLOSE_EVENT: status = 129; break;  // 128 + SIGHUP: its terminal went away
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: status = 143; break;  // 128 + SIGTERM
    default: return FALSE;
    }
    const bool first = InterlockedCompareExchange(&g_interrupted, status, 0) == 0;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return first ? TRUE : FALSE;
    const ULONGLONG until = GetTickCount64() + kCloseGraceMs;
    while (GetTickCount64() < until) Sleep(50);
    return TRUE;
}

// UTF-8 of UTF-16 text. A surrogate without its partner, which no UTF-8
// text can hold, becomes the bytes of its code point (not valid UTF-8), so
// that such an argument is refused as not UTF-8 rather than quietly turned
// into another name.
std::string utf8_of(const wchar_t *w, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; i++) {
        uint32_t c = static_cast<uint16_t>(w[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(w[++i]) - 0xDC00u);
        char bytes[4];
        out.append(bytes, dup_utf8_encode(c, bytes));
    }
    return out;
}

// Nanoseconds since the epoch of a system time: 100 ns steps since 1601.
int64_t epoch_ns(int64_t ticks) {
    constexpr int64_t kTicksFrom1601To1970 = 116444736000000000LL;
    return (ticks - kTicksFrom1601To1970) * 100;
}

// The directory that a relative path is taken against: the full path of
// a short anchor ("." for the working directory, "X:." for a drive's, "\"
// for the current drive's root). Empty on failure.
std::wstring full_path_of(const wchar_t *anchor) {
    const DWORD need = GetFullPathNameW(anchor, 0, nullptr, nullptr);
    if (need == 0) return std::wstring();
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(anchor, need, full.data(), nullptr);
    if (got == 0 || got >= need) return std::wstring();
    full.resize(got);
    return full;
}

// The extended-length form of w (separators already '\'), formed as the
// library forms the paths it walks: "\\?\X:\a\b" or "\\?\UNC\srv\share\a",
// the names joined on as they are, with "." and ".." resolved in the text
// and repeated separators dropped. GetFullPathNameW on the whole path would
// turn "CON.txt", "nul" or "com1" into devices and drop the dot of "z." and
// the space of "z ": names the library found and reported, which the tool
// must reach as the same files. Empty when the path cannot be formed.
std::wstring extended_form(const std::wstring &w, bool relative_allowed = true) {
    if (w.rfind(L"\\\\?\\", 0) == 0 || w.rfind(L"\\\\.\\", 0) == 0) {
        // The system's own form, taken literally; "\\?\X:" alone is the volume.
        return w.size() == 6 && w[5] == L':' ? w + L'\\' : w;
    }
    std::wstring out;
    size_t rest;
    if (w.rfind(L"\\\\", 0) == 0) {
        // \\server\share\rest: ".." never leaves the share.
        const size_t share = w.find(L'\\', 2);
        if (share == std::wstring::npos || share == 2) return std::wstring();
        size_t end = w.find(L'\\', share + 1);
        if (end == std::wstring::npos) end = w.size();
        if (end == share + 1) return std::wstring();
        out = L"\\\\?\\UNC\\" + w.substr(2, end - 2);
        rest = end;
    } else if (w.size() >= 3 && ((w[0] >= L'A' && w[0] <= L'Z') || (w[0] >= L'a' && w[0] <= L'z')) && w[1] == L':' &&
               w[2] == L'\\') {
        out = L"\\\\?\\" + w.substr(0, 2);
        rest = 2;
    } else {
        if (!relative_allowed) return std::wstring();
        const wchar_t *anchor = L".";
        const wchar_t drive[4] = {w.empty() ? L'\0' : w[0], L':', L'.', L'\0'};
        size_t tail = 0;
        if (w.size() >= 2 && w[1] == L':') {
            anchor = drive;
            tail = 2;
        } else if (!w.empty() && w[0] == L'\\') {
            anchor = L"\\";
            tail = 1;
        }
        const std::wstring base = full_path_of(anchor);
        if (base.empty()) return std::wstring();
        return extended_form(base + L'\\' + w.substr(tail), false);
    }
    const size_t head = out.size();  // what ".." stops at
    while (rest < w.size()) {
        while (rest < w.size() && w[rest] == L'\\') ++rest;
        size_t end = w.find(L'\\', rest);
        if (end == std::wstring::npos) end = w.size();
        const std::wstring name = w.substr(rest, end - rest);
        rest = end;
        if (name.empty() || name == L".") continue;
        if (name == L"..") {
            const size_t cut = out.rfind(L'\\');
            out.resize(cut != std::wstring::npos && cut >= head ? cut : head);
            continue;
        }
        out += L'\\';
        out += name;
    }
    if (out.size() == head) out += L'\\';  // the root of the drive or share
    return out;
}

// The extended-length UTF-16 form of a UTF-8 path, so that long paths and
// every name work; empty when the text is not UTF-8.
std::wstring wide_path(const std::string &path) {
    if (path.empty()) return std::wstring();
    std::wstring w = win::wide_name(path);
    if (w.empty()) return std::wstring();
    for (wchar_t &c : w)
        if (c == L'/') c = L'\\';
    return extended_form(w);
}

struct HandleCloser {
    void operator()(void *h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

Handle open_for_read(const std::string &path, DWORD flags) {
    const std::wstring w = wide_path(path);
    if (w.empty()) return Handle();
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    return Handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

std::string last_error_text() {
    const DWORD err = GetLastError();
    wchar_t *msg = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0,
        reinterpret_cast<LPWSTR>(&msg), 0, nullptr);
    std::string text = n ? utf8_of(msg, n) : "error " + std::to_string(err);
    if (msg) LocalFree(msg);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

// A volume whose files may live on another machine (a network share, which
// may be exported from this very one): its file numbers cannot prove two
// paths different files.
const char *stacked_type(HANDLE h) {
    FILE_REMOTE_PROTOCOL_INFO remote;
    if (GetFileInformationByHandleEx(h, FileRemoteProtocolInfo, &remote, sizeof remote)) return "network share";
    return nullptr;
}

bool is_terminal(DWORD which) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool file_status(const std::string &path, FileStatus *st) {
    Handle h = open_for_read(path, FILE_FLAG_BACKUP_SEMANTICS);
    if (!h) {
        // A file that cannot be opened for reading may still be queried.
        const std::wstring w = wide_path(path);
        if (w.empty()) return false;
        HANDLE q = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (q == INVALID_HANDLE_VALUE) return false;
        h.reset(q);
    }
    return win::status_of(h.get(), st);
}

int entry_is_link(const std::string &path) {
    const std::wstring w = wide_path(path);
    if (w.empty()) return -1;
    const DWORD attr = GetFileAttributesW(w.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) return -1;
    if (!(attr & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
    // Junctions and symbolic links are links; other reparse points (cloud
    // placeholders, deduplicated files) are the files they stand for.
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    FILE_ATTRIBUTE_TAG_INFO tag;
    const BOOL ok = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag);
    CloseHandle(h);
    return !ok || IsReparseTagNameSurrogate(tag.ReparseTag) ? 1 : 0;
}

bool real_path(const std::string &path, std::string *out) {
    const std::wstring w = wide_path(path);
    if (w.empty()) return false;
    const HANDLE raw = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return false;
    Handle h(raw);
    std::vector<wchar_t> buf(32768);
    const DWORD n = GetFinalPathNameByHandleW(h.get(), buf.data(), static_cast<DWORD>(buf.size()), 0);
    if (n == 0 || n >= buf.size()) return false;
    std::string s = utf8_of(buf.data(), n);
    // Shown and sent as the user writes it: without the extended-length
    // prefix the system adds ("\\?\C:\x" is "C:\x").
    if (s.rfind("\\\\?\\UNC\\", 0) == 0) s = "\\\\" + s.substr(8);
    else if (s.rfind("\\\\?\\", 0) == 0) s = s.substr(4);
    *out = s;
    return true;
}

ActResult share_extents(const RootedPath &, const FileStatus &, const RootedPath &, const FileStatus &, bool) {
    // Windows has no call that shares extents only after comparing the bytes
    // under lock, which is what makes sharing safe against a copy changed
    // meanwhile; without it no copy is touched.
    return {ActResult::Left, ActResult::Other, "the file system cannot share extents here: not supported on Windows"};
}

int extents_shared(const std::string &, const std::string &) { return -1; }

int extents_inline(const std::string &) { return -1; }

bool stdin_is_terminal() { return is_terminal(STD_INPUT_HANDLE); }
bool stderr_is_terminal() { return is_terminal(STD_ERROR_HANDLE); }

bool open_in_browser(const std::string &url) {
    const std::wstring w = win::wide_name(url);
    if (w.empty()) return false;
    // Values above 32 are success.
    return reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", w.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}

void install_interrupt_handler() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool interrupted() { return g_interrupted != 0; }

int interrupted_status() { return g_interrupted ? static_cast<int>(g_interrupted) : 130; }

// The console runs its handler on a thread of its own, never on the
// library's worker: nothing to hold back.
void hold_interrupts() {}
void release_interrupts() {}

int read_input_line(std::string *line) {
    line->clear();
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (GetConsoleMode(in, &mode)) {
        // The console gives UTF-16; answers are compared as UTF-8.
        std::wstring w;
        for (;;) {
            if (g_interrupted) return -1;
            wchar_t c;
            DWORD n = 0;
            if (!ReadConsoleW(in, &c, 1, &n, nullptr)) return -1;
            // A Ctrl-C ends the pending read with nothing read.
            if (n == 0) {
                if (g_interrupted) return -1;
                break;
            }
            if (c == L'\r') continue;
            if (c == L'\n') {
                *line = utf8_of(w.data(), w.size());
                return 1;
            }
            w.push_back(c);
        }
        *line = utf8_of(w.data(), w.size());
        return line->empty() ? 0 : 1;
    }
    for (;;) {
        if (g_interrupted) return -1;
        char c;
        DWORD n = 0;
        // The writer of a pipe that closes ends the input like end of file.
        if (!ReadFile(in, &c, 1, &n, nullptr) && GetLastError() != ERROR_BROKEN_PIPE) return -1;
        if (n == 0) return line->empty() ? 0 : 1;
        if (c == '\n') {
            if (!line->empty() && line->back() == '\r') line->pop_back();
            return 1;
        }
        line->push_back(c);
    }
}

std::FILE *open_list(const std::string &path, std::string *why) {
    if (path == "-") {
        // Text mode would end a list at a Ctrl-Z byte and change the bytes
        // of a NUL-separated one.
        _setmode(_fileno(stdin), _O_BINARY);
        return stdin;
    }
    const std::wstring w = wide_path(path);
    std::FILE *f = w.empty() ? nullptr : _wfopen(w.c_str(), L"rb");
    if (!f) *why = w.empty() ? "not a UTF-8 path" : std::strerror(errno);
    return f;
}

// ---- what the other Windows files of the tool share -------------------------------

namespace win {

std::wstring wide(const std::string &path) { return wide_path(path); }

std::string utf8(const wchar_t *w, size_t n) { return utf8_of(w, n); }

std::string last_error() { return last_error_text(); }

bool is_console(DWORD which) { return is_terminal(which); }

std::wstring wide_name(const std::string &name) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()),
                                      nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()), w.data(), n);
    return w;
}

bool status_of(HANDLE h, FileStatus *st) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    st->regular = !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && GetFileType(h) == FILE_TYPE_DISK;
    st->directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    st->size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    st->mtime_ns = epoch_ns(static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                                 info.ftLastWriteTime.dwLowDateTime));
    // The change time moves with the content and the metadata, as on POSIX.
    FILE_BASIC_INFO basic;
    st->ctime_ns = GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)
                       ? epoch_ns(basic.ChangeTime.QuadPart)
                       : st->mtime_ns;
    st->device = info.dwVolumeSerialNumber;
    st->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    st->links = info.nNumberOfLinks;
    // Who may use the file is told by its security descriptor and its
    // attributes, which metadata_difference compares; no mode bits or ids.
    st->mode = 0;
    st->owner = 0;
    st->group = 0;
    st->stacked = stacked_type(h);
    return true;
}

}  // namespace win

}  // namespace dfcli
