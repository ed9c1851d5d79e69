// SPDX-License-Identifier: MIT
// Text and paths of the Windows platform layer: the library's UTF-8 paths
// turned into the extended-length UTF-16 paths the wide Windows calls take,
// and names the system hands back turned into UTF-8. Only the Windows files
// of src/platform/ (and their tests) use them; nothing here needs a system
// header.
#ifndef DUP_PLATFORM_WIDE_H
#define DUP_PLATFORM_WIDE_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform.h"

// The UTF-16 form of a NUL-terminated UTF-8 text, in a new heap block the
// caller frees with free(). Null when the text is not well-formed UTF-8 (an
// ill-formed byte converted to U+FFFD would name another file) or memory
// runs out.
wchar_t *dup_wide_from_utf8(const char *s);

// The UTF-8 form of n UTF-16 units, NUL-terminated, in a new heap block the
// caller frees with free(); null when memory runs out. A surrogate without
// its partner (NTFS names may hold one) becomes the three bytes of its code
// point, which are not valid UTF-8: the text stays distinct from every
// other name, and UTF-8 checks above this layer see that it is not UTF-8.
char *dup_utf8_from_wide(const wchar_t *s, size_t n);
// The same into out, which holds at least 3 * n + 1 bytes (a pair of units
// makes four, every other unit at most three): no allocation, no failure.
void dup_utf8_from_wide_into(const wchar_t *s, size_t n, char *out);

// The system's words for the error code err (a DWORD), in UTF-8, without
// the line end, in why (why_size bytes, always terminated); "" when the
// system has none.
void dup_system_text(unsigned long err, char *why, size_t why_size);

constexpr size_t DUP_MAX_WIDE_TEXT = size_t{1} << 20;  // UTF-16 units of any text built here

// A growable UTF-16 text on the heap that records a failure instead of
// throwing; release() hands the text over (null after a failure, which
// failure() then names).
class dup_wide_text {
public:
    dup_wide_text() = default;
    ~dup_wide_text() { free(p_); }
    dup_wide_text(const dup_wide_text &) = delete;
    dup_wide_text &operator=(const dup_wide_text &) = delete;

    void put(const wchar_t *s, size_t n) {
        if (failed_ != DUP_OK) return;
        if (n > DUP_MAX_WIDE_TEXT - n_) {
            failed_ = DUP_NAME_TOO_LONG;  // beyond any path the system takes
            return;
        }
        if (!reserve(n_ + n + 1)) return;
        memcpy(p_ + n_, s, n * sizeof(wchar_t));
        n_ += n;
        p_[n_] = L'\0';
    }
    void put(const wchar_t *s) { put(s, wcslen(s)); }
    void put(wchar_t c) { put(&c, 1); }
    size_t size() const { return n_; }
    bool ends_with_sep() const { return n_ > 0 && p_[n_ - 1] == L'\\'; }
    wchar_t *release() {
        wchar_t *p = failed_ == DUP_OK ? p_ : nullptr;
        if (!p) free(p_);
        p_ = nullptr;
        n_ = cap_ = 0;
        return p;
    }
    // Why the text was lost: DUP_NOMEM or DUP_NAME_TOO_LONG (DUP_OK: it was not).
    dup_result failure() const { return failed_; }

private:
    bool reserve(size_t need) {
        if (need <= cap_) return true;
        size_t cap = cap_ ? cap_ * 2 : 64;
        while (cap < need) cap *= 2;
        auto *p = static_cast<wchar_t *>(dup_realloc(p_, cap * sizeof(wchar_t)));
        if (!p) {
            failed_ = DUP_NOMEM;
            return false;
        }
        p_ = p;
        cap_ = cap;
        return true;
    }
    wchar_t *p_ = nullptr;
    size_t n_ = 0, cap_ = 0;
    dup_result failed_ = DUP_OK;
};

// A path ready for the wide calls, owned by its scope.
struct dup_sys_path {
    wchar_t *w = nullptr;
    // The text ended in a separator, "." or "..": like a POSIX path it then
    // names a directory only, and reaches one through a link.
    bool dir_only = false;
    dup_sys_path() = default;
    ~dup_sys_path() { free(w); }
    dup_sys_path(const dup_sys_path &) = delete;
    dup_sys_path &operator=(const dup_sys_path &) = delete;
};

// The system form of a UTF-8 path: absolute and extended-length
// ("\\?\C:\a\b", "\\?\UNC\server\share\a"), '/' and '\' both taken as
// separators, "." and ".." resolved in the text, repeated separators
// dropped. A path already in the system's "\\?\" or "\\.\" form is taken
// literally. False (with *why, which may be null) for a text that is not
// UTF-8, has a name longer than the system allows, or cannot be made
// absolute.
bool dup_sys_path_of(const char *path, dup_sys_path *out, dup_result *why);

// What a Windows error code (GetLastError) means to the callers.
dup_result dup_result_of_error(unsigned long err);

// A FILETIME (100 ns ticks since 1601, in two halves) as whole seconds
// since 1970, rounded down as the POSIX field is.
inline int64_t dup_unix_seconds(unsigned long high, unsigned long low) {
    const int64_t t = static_cast<int64_t>((uint64_t{high} << 32) | uint64_t{low}) - INT64_C(116444736000000000);
    return t / 10000000 - (t % 10000000 < 0 ? 1 : 0);
}

inline void dup_set_why(dup_result *why, dup_result what) {
    if (why) *why = what;
}

#endif  // DUP_PLATFORM_WIDE_H
