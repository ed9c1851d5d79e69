// SPDX-License-Identifier: MIT
// UTF-8 without the operating system: the length of a well-formed sequence,
// its code point, whether a text is well-formed, and the encoding of a code
// point. Header-only and free of the library's other headers, so that the
// tool (cli/) applies the very rules the library applies to paths without
// linking anything of it.
#ifndef DUPFIND_UTF8_H
#define DUPFIND_UTF8_H

#include <cstddef>
#include <cstdint>

// Length of the well-formed UTF-8 sequence that starts at p (p < end), or 0
// when none does: no overlong form, no surrogate, nothing above U+10FFFF,
// no sequence cut short by end.
inline size_t dup_utf8_length(const char *p, const char *end) {
    const auto *s = reinterpret_cast<const unsigned char *>(p);
    const size_t avail = static_cast<size_t>(end - p);
    const unsigned lead = s[0];
    if (lead < 0x80) return 1;
    size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) lo = 0xA0;       // overlong
        else if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) lo = 0x90;       // overlong
        else if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF (F5..FF)
    }
    if (avail < n || s[1] < lo || s[1] > hi) return 0;
    for (size_t k = 2; k < n; k++)
        if (s[k] < 0x80 || s[k] > 0xBF) return 0;
    return n;
}

// The code point of the sequence of n bytes at p, which dup_utf8_length
// found well-formed.
inline uint32_t dup_utf8_code_point(const char *p, size_t n) {
    const auto *s = reinterpret_cast<const unsigned char *>(p);
    static const unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t c = s[0] & kLeadBits[n];
    for (size_t k = 1; k < n; k++) c = (c << 6) | (s[k] & 0x3Fu);
    return c;
}

// Whether s[0..n) is well-formed UTF-8.
inline bool dup_utf8_is_valid(const char *s, size_t n) {
    for (const char *p = s, *end = s + n; p < end;) {
        const size_t k = dup_utf8_length(p, end);
        if (k == 0) return false;
        p += k;
    }
    return true;
}

// Writes the UTF-8 form of the code point c (below 0x110000) to out and
// returns its length, 1 to 4. A surrogate (U+D800..U+DFFF), which a name
// the system hands back may hold unpaired, is written as its three bytes:
// no UTF-8 check accepts them, so such a text stays distinct from every
// valid one.
inline size_t dup_utf8_encode(uint32_t c, char out[4]) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

#endif
