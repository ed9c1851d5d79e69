// SPDX-License-Identifier: MIT
// Text and paths of the Windows platform layer (see wide.h).
#include "wide.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace {

constexpr size_t MAX_COMPONENT = 255;  // UTF-16 units in one name (NTFS, FAT, ReFS)
constexpr size_t MAX_WIDE_PATH = 32767;

// GetFullPathNameW of a short anchor ("." or "X:." or "\"): the directory a
// relative path is taken against. Null on failure.
wchar_t *full_path_of(const wchar_t *anchor) {
    DWORD cap = MAX_PATH;
    for (int tries = 0; tries < 4; tries++) {
        auto *buf = static_cast<wchar_t *>(dup_malloc(cap * sizeof(wchar_t)));
        if (!buf) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        const DWORD n = GetFullPathNameW(anchor, cap, buf, nullptr);
        if (n > 0 && n < cap) return buf;
        free(buf);
        if (n == 0) return nullptr;
        cap = n + 1;
    }
    return nullptr;
}

// The extended-length form of an absolute or relative path w (separators
// already turned into '\'): "\\?\X:\a\b" or "\\?\UNC\server\share\a\b",
// with "." and ".." components resolved in the text and repeated separators
// dropped. Returns false (with *why) when the path cannot be formed.
bool extended_form(const wchar_t *w, dup_sys_path *out, dup_result *why, int depth = 0) {
    dup_wide_text t;
    const wchar_t *rest;
    if (w[0] == L'\\' && w[1] == L'\\' && (w[2] == L'?' || w[2] == L'.') && w[3] == L'\\') {
        // Already in the system's own form: taken literally, as the system
        // does. "\\?\X:" alone is the volume, not its root directory.
        t.put(w);
        if (wcslen(w) == 6 && w[5] == L':') t.put(L'\\');
        out->dir_only = t.ends_with_sep();
        out->w = t.release();
        if (!out->w) dup_set_why(why, t.failure());
        return out->w != nullptr;
    }
    if (w[0] == L'\\' && w[1] == L'\\') {
        // \\server\share\rest: server and share are never left by "..".
        const wchar_t *server = w + 2, *share = wcschr(server, L'\\');
        if (!share || share == server) return dup_set_why(why, DUP_FAILED), false;
        const wchar_t *end = wcschr(share + 1, L'\\');
        if (!end) end = share + wcslen(share);
        if (end == share + 1) return dup_set_why(why, DUP_FAILED), false;
        t.put(L"\\\\?\\UNC\\");
        t.put(server, static_cast<size_t>(end - server));
        rest = end;
    } else if (((w[0] >= L'A' && w[0] <= L'Z') || (w[0] >= L'a' && w[0] <= L'z')) && w[1] == L':' && w[2] == L'\\') {
        t.put(L"\\\\?\\");
        t.put(w, 2);
        rest = w + 2;
    } else {
        // Relative to the working directory, to a drive's working directory
        // ("X:rest") or to the current drive's root ("\rest"): the system
        // supplies the directory, the rest is resolved here.
        if (depth > 0) return dup_set_why(why, DUP_FAILED), false;
        wchar_t anchor[4] = L".";
        const wchar_t *tail = w;
        if (w[0] != L'\0' && w[1] == L':') {
            anchor[0] = w[0], anchor[1] = L':', anchor[2] = L'.', anchor[3] = L'\0';
            tail = w + 2;
        } else if (w[0] == L'\\') {
            anchor[0] = L'\\';
            tail = w + 1;
        }
        wchar_t *base = full_path_of(anchor);
        if (!base) return dup_set_why(why, dup_result_of_error(GetLastError())), false;
        dup_wide_text joined;
        joined.put(base);
        joined.put(L'\\');
        joined.put(tail);
        free(base);
        wchar_t *abs = joined.release();
        if (!abs) return dup_set_why(why, joined.failure()), false;
        const bool ok = extended_form(abs, out, why, depth + 1);
        free(abs);
        return ok;
    }

    // The components after the prefix; `head` is where ".." stops.
    const size_t head = t.size();
    bool dir_only = false;
    for (const wchar_t *p = rest; *p;) {
        while (*p == L'\\') p++;
        const wchar_t *end = p;
        while (*end && *end != L'\\') end++;
        const size_t len = static_cast<size_t>(end - p);
        const bool last = *end == L'\0' || end[wcsspn(end, L"\\")] == L'\0';
        if (len == 0) {
            dir_only = true;  // separators at the end
        } else if (len == 1 && p[0] == L'.') {
            dir_only = last;
        } else if (len == 2 && p[0] == L'.' && p[1] == L'.') {
            // Cut the last component off what has been built.
            wchar_t *built = t.release();
            if (!built) return dup_set_why(why, t.failure()), false;
            size_t n = wcslen(built);
            while (n > head && built[n - 1] != L'\\') n--;
            if (n > head) n--;
            t.put(built, n);
            free(built);
            dir_only = last;
        } else {
            if (len > MAX_COMPONENT) return dup_set_why(why, DUP_NAME_TOO_LONG), false;
            t.put(L'\\');
            t.put(p, len);
            dir_only = false;
        }
        p = end;
    }
    if (t.size() == head) t.put(L'\\');  // the root of the drive or share
    if (t.size() > MAX_WIDE_PATH) return dup_set_why(why, DUP_NAME_TOO_LONG), false;
    out->dir_only = dir_only;
    out->w = t.release();
    if (!out->w) dup_set_why(why, t.failure());
    return out->w != nullptr;
}

}  // namespace

bool dup_sys_path_of(const char *path, dup_sys_path *out, dup_result *why) {
    if (!path || !*path) return dup_set_why(why, DUP_FAILED), false;
    wchar_t *w = dup_wide_from_utf8(path);
    if (!w) return dup_set_why(why, dup_utf8_valid(path, strlen(path)) ? DUP_NOMEM : DUP_FAILED), false;
    for (wchar_t *p = w; *p; p++)
        if (*p == L'/') *p = L'\\';
    const bool ok = extended_form(w, out, why);
    free(w);
    return ok;
}

dup_result dup_result_of_error(unsigned long err) {
    if (err == ERROR_TOO_MANY_OPEN_FILES || err == ERROR_NO_SYSTEM_RESOURCES) return DUP_NO_HANDLE;
    if (err == ERROR_FILENAME_EXCED_RANGE) return DUP_NAME_TOO_LONG;
    if (err == ERROR_NOT_ENOUGH_MEMORY || err == ERROR_OUTOFMEMORY) return DUP_NOMEM;
    return DUP_FAILED;
}

// ---- text -----------------------------------------------------------------------------

wchar_t *dup_wide_from_utf8(const char *s) {
    if (!s) return nullptr;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
    if (n <= 0) return nullptr;
    auto *w = static_cast<wchar_t *>(dup_malloc(static_cast<size_t>(n) * sizeof(wchar_t)));
    if (!w) return nullptr;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, w, n) != n) {
        free(w);
        return nullptr;
    }
    return w;
}

char *dup_utf8_from_wide(const wchar_t *s, size_t n) {
    char *out = static_cast<char *>(dup_malloc(3 * n + 1));
    if (out) dup_utf8_from_wide_into(s, n, out);
    return out;
}

void dup_utf8_from_wide_into(const wchar_t *s, size_t n, char *out) {
    auto *w = reinterpret_cast<unsigned char *>(out);
    for (size_t i = 0; i < n; i++) {
        uint32_t c = static_cast<uint16_t>(s[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
            const uint32_t lo = static_cast<uint16_t>(s[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i++;
            }
        }
        if (c < 0x80) {
            *w++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *w++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *w++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *w++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *w++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *w++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *w++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *w++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *w++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *w++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    *w = '\0';
}

bool dup_path_separator(char c) { return c == '/' || c == '\\'; }

void dup_system_text(unsigned long err, char *why, size_t why_size) {
    if (why_size == 0) return;
    why[0] = '\0';
    if (err == 0) return;
    wchar_t text[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text,
                             sizeof text / sizeof text[0], nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' || text[n - 1] == L'.')) n--;
    char *utf8 = n > 0 ? dup_utf8_from_wide(text, n) : nullptr;
    if (!utf8) return;
    snprintf(why, why_size, "%s", utf8);
    free(utf8);
}
