// The base: error text, string copies, UTF-8 decoding.
#include "base.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Each thread's own text, empty until that thread's first failure; fixed
// size, so setting it never allocates.
thread_local char g_err[DUP_ERR_LEN];

}  // namespace

void dup_set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

void dup_clear_error(void) { g_err[0] = '\0'; }

const char *dup_error_text(void) { return g_err; }

char *dup_strdup(const char *s) {
    if (!s) return nullptr;
    const size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(malloc(n));
    if (p) memcpy(p, s, n);
    return p;
}

size_t dup_utf8_sequence_length(const char *p, const char *end) {
    const auto *s = reinterpret_cast<const unsigned char *>(p);
    const size_t avail = static_cast<size_t>(end - p);
    const unsigned c = s[0];
    if (c < 0x80) return 1;
    size_t n;
    unsigned min, cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, min = 0x80, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, min = 0x800, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF (F5..FF)
    }
    if (avail < n) return 0;
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool dup_utf8_valid(const char *s, size_t n) {
    for (const char *p = s, *end = s + n; p < end;) {
        const size_t k = dup_utf8_sequence_length(p, end);
        if (k == 0) return false;
        p += k;
    }
    return true;
}
