// SPDX-License-Identifier: MIT
// Small helpers shared by the fuzz targets.
#ifndef DUPFIND_FUZZ_CHECK_H
#define DUPFIND_FUZZ_CHECK_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// A broken property ends the run the way a crash would, so that the fuzzer
// keeps the input and the corpus replay fails.
#define FUZZ_REQUIRE(cond)                                                             \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// Strict UTF-8 (the well-formed byte sequences of the Unicode standard): no
// overlong forms, no surrogates, nothing above U+10FFFF. Written apart from
// the library's own check so that the two can disagree.
inline bool fuzz_valid_utf8(const char *text) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0;
    while (s[i]) {
        unsigned c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c == 0xE0) {
            len = 3;
            lo = 0xA0;
        } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
            len = 3;
        } else if (c == 0xED) {
            len = 3;
            hi = 0x9F;
        } else if (c == 0xF0) {
            len = 4;
            lo = 0x90;
        } else if (c >= 0xF1 && c <= 0xF3) {
            len = 4;
        } else if (c == 0xF4) {
            len = 4;
            hi = 0x8F;
        } else {
            return false;
        }
        if (s[i + 1] < lo || s[i + 1] > hi) return false;  // a NUL fails here too
        for (size_t k = 2; k < len; k++)
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
        i += len;
    }
    return true;
}

#endif
