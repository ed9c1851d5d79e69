// Shell patterns.
#include "glob.h"

#include <cstring>

#include "base.h"

namespace {

// The code point of the UTF-8 sequence at p (p < end) and its length; a
// byte that starts no valid sequence stands for itself.
unsigned decode(const char *p, const char *end, size_t *len) {
    const size_t n = dup_utf8_sequence_length(p, end);
    const auto *s = reinterpret_cast<const unsigned char *>(p);
    if (n <= 1) {
        *len = 1;
        return s[0];
    }
    unsigned cp = s[0] & (0xFF >> (n + 1));
    for (size_t i = 1; i < n; i++) cp = (cp << 6) | (s[i] & 0x3F);
    *len = n;
    return cp;
}

// Matches the set that starts at p ('[' already passed) against c. Sets
// *after to the character after the closing ']' and returns whether c is
// in it; returns false with *after null when the set is not closed.
bool match_set(const char *p, const char *pend, unsigned c, const char **after) {
    bool negate = false;
    if (p < pend && (*p == '!' || *p == '^')) {
        negate = true;
        p++;
    }
    bool in = false;
    bool first = true;
    while (p < pend && (*p != ']' || first)) {
        first = false;
        size_t len;
        unsigned lo = decode(p, pend, &len);
        p += len;
        unsigned hi = lo;
        if (p + 1 < pend && *p == '-' && p[1] != ']') {
            hi = decode(p + 1, pend, &len);
            p += 1 + len;
        }
        if (lo <= c && c <= hi) in = true;
    }
    if (p >= pend) {
        *after = nullptr;
        return false;
    }
    *after = p + 1;
    return in != negate;
}

// One component of a pattern against one component of a text (neither
// holds '/'): '*' with the usual backtracking to the last star.
bool match_component(const char *p, const char *pend, const char *t, const char *tend) {
    const char *star_p = nullptr, *star_t = nullptr;
    while (t < tend) {
        if (p < pend && *p == '*') {
            star_p = ++p;
            star_t = t;
            continue;
        }
        if (p < pend) {
            size_t tl;
            const unsigned c = decode(t, tend, &tl);
            if (*p == '?') {
                p++;
                t += tl;
                continue;
            }
            if (*p == '[') {
                const char *after;
                const bool in = match_set(p + 1, pend, c, &after);
                if (after) {
                    if (in) {
                        p = after;
                        t += tl;
                        continue;
                    }
                } else if (*t == '[') {  // an unclosed '[' is itself
                    p++;
                    t++;
                    continue;
                }
            } else {
                if (*p == '\\' && p + 1 < pend) p++;
                size_t pl;
                if (decode(p, pend, &pl) == c && pl == tl) {
                    p += pl;
                    t += tl;
                    continue;
                }
            }
        }
        if (!star_p) return false;
        size_t tl;
        decode(star_t, tend, &tl);
        star_t += tl;
        p = star_p;
        t = star_t;
    }
    while (p < pend && *p == '*') p++;
    return p == pend;
}

const char *component_end(const char *s, const char *end) {
    const char *slash = static_cast<const char *>(memchr(s, '/', static_cast<size_t>(end - s)));
    return slash ? slash : end;
}

// The components of pattern [p, pend) against those of text [t, tend).
bool match_path(const char *p, const char *pend, const char *t, const char *tend) {
    for (;;) {
        const char *pe = component_end(p, pend);
        if (pe - p == 2 && p[0] == '*' && p[1] == '*') {
            if (pe == pend) return true;  // "a/**" takes the rest
            const char *rest = pe + 1;
            // "**/" takes no component, or one more each time round.
            for (const char *at = t;;) {
                if (match_path(rest, pend, at, tend)) return true;
                if (at == tend) return false;
                at = component_end(at, tend);
                if (at < tend) at++;
            }
        }
        if (t > tend) return false;
        const char *te = component_end(t, tend);
        if (!match_component(p, pe, t, te)) return false;
        if (pe == pend || te == tend) return pe == pend && te == tend;
        p = pe + 1;
        t = te + 1;
    }
}

}  // namespace

bool dup_glob_match(const char *pattern, const char *text) {
    return match_path(pattern, pattern + strlen(pattern), text, text + strlen(text));
}

bool dup_glob_excludes(const char *pattern, const char *name, const char *relative) {
    if (!strchr(pattern, '/')) return dup_glob_match(pattern, name);
    while (*pattern == '/') pattern++;
    return dup_glob_match(pattern, relative);
}
