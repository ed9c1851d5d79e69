// SPDX-License-Identifier: MIT
// Shell patterns.
#include "glob.h"

#include <cstring>

#include "base.h"

thread_local uint64_t dup_glob_steps = 0;

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

// ---- character classes ----------------------------------------------------------

// Above every code point, so in no set.
constexpr unsigned kNotACodePoint = 0x110000;

bool in_range(unsigned c, unsigned lo, unsigned hi) { return lo <= c && c <= hi; }
bool is_upper(unsigned c) { return in_range(c, 'A', 'Z'); }
bool is_lower(unsigned c) { return in_range(c, 'a', 'z'); }
bool is_digit(unsigned c) { return in_range(c, '0', '9'); }
bool is_alpha(unsigned c) { return is_upper(c) || is_lower(c); }
bool is_alnum(unsigned c) { return is_alpha(c) || is_digit(c); }
bool is_blank(unsigned c) { return c == ' ' || c == '\t'; }
bool is_space(unsigned c) { return c == ' ' || in_range(c, '\t', '\r'); }
bool is_cntrl(unsigned c) { return c < 0x20 || c == 0x7F; }
bool is_graph(unsigned c) { return in_range(c, 0x21, 0x7E); }
bool is_print(unsigned c) { return in_range(c, 0x20, 0x7E); }
bool is_punct(unsigned c) { return is_graph(c) && !is_alnum(c); }
bool is_xdigit(unsigned c) { return is_digit(c) || in_range(c, 'a', 'f') || in_range(c, 'A', 'F'); }

struct char_class {
    const char *name;
    bool (*test)(unsigned c);
};

constexpr char_class kClasses[] = {
    {"alnum", is_alnum}, {"alpha", is_alpha}, {"blank", is_blank}, {"cntrl", is_cntrl},
    {"digit", is_digit}, {"graph", is_graph}, {"lower", is_lower}, {"print", is_print},
    {"punct", is_punct}, {"space", is_space}, {"upper", is_upper}, {"xdigit", is_xdigit},
};

// The class named at p ("[:" already passed) and the character past its
// ":]", or null when no known class is named there.
const char_class *read_class(const char *p, const char *pend, const char **after) {
    const char *q = p;
    while (q < pend && is_lower(static_cast<unsigned char>(*q))) q++;
    if (pend - q < 2 || q[0] != ':' || q[1] != ']') return nullptr;
    for (const char_class &k : kClasses)
        if (strlen(k.name) == static_cast<size_t>(q - p) && memcmp(k.name, p, static_cast<size_t>(q - p)) == 0) {
            *after = q + 2;
            return &k;
        }
    return nullptr;
}

// Reads the set that starts at p ('[' already passed) and tests c against
// it. Returns null with *after just past the closing ']' and *in whether c
// is in the set, or why the set is malformed. The check of a pattern and
// its matching read sets through this one function, so that what is
// accepted is what is matched.
const char *read_set(const char *p, const char *pend, unsigned c, bool *in, const char **after) {
    bool negate = false;
    if (p < pend && (*p == '!' || *p == '^')) {
        negate = true;
        p++;
    }
    bool hit = false;
    for (bool first = true;; first = false) {
        if (p >= pend) return "an unclosed '['";
        if (*p == ']' && !first) break;
        if (pend - p >= 2 && p[0] == '[' && p[1] == ':') {
            const char_class *k = read_class(p + 2, pend, &p);
            if (!k) return "a '[:' that names no character class (such as [:alpha:])";
            if (k->test(c)) hit = true;
            continue;
        }
        size_t len;
        const unsigned lo = decode(p, pend, &len);
        p += len;
        unsigned hi = lo;
        if (pend - p >= 2 && *p == '-' && p[1] != ']') {
            if (pend - p >= 3 && p[1] == '[' && p[2] == ':') return "a range that ends in a character class";
            hi = decode(p + 1, pend, &len);
            p += 1 + len;
            if (hi < lo) return "a range whose end comes before its start";
        }
        if (lo <= c && c <= hi) hit = true;
    }
    *after = p + 1;
    *in = hit != negate;
    return nullptr;
}

// One component of a pattern against one component of a text (neither
// holds '/'): '*' with the usual backtracking to the last star, which keeps
// the work within the product of the two lengths.
// The other case of an ASCII letter; any other code point unchanged.
unsigned other_case(unsigned c) { return is_upper(c) ? c + 32 : is_lower(c) ? c - 32 : c; }

// With fold, an ASCII letter matches its other case as well: a literal, a
// range or a class that takes one case takes the other.
bool match_component(const char *p, const char *pend, const char *t, const char *tend, bool fold) {
    const char *star_p = nullptr, *star_t = nullptr;
    while (t < tend) {
        if (p < pend && *p == '*') {
            star_p = ++p;
            star_t = t;
            continue;
        }
        if (p < pend) {
            size_t tl;
            unsigned c = decode(t, tend, &tl);
            if (*p == '?') {
                p++;
                t += tl;
                continue;
            }
            if (*p == '[') {
                // A byte that starts no UTF-8 sequence is no character
                // of any set, range or class: taken as its own value, it
                // would pass for the code point of the same number (0xE9
                // for 'é'), which a literal 'é' rightly does not match.
                if (tl == 1 && c >= 0x80) c = kNotACodePoint;
                const char *after;
                bool in = false;
                if (read_set(p + 1, pend, c, &in, &after) != nullptr) return false;
                if (fold && other_case(c) != c) {
                    // Either case in the set; for a negated set, neither.
                    bool other_in = false;
                    read_set(p + 1, pend, other_case(c), &other_in, &after);
                    const bool negated = p + 1 < pend && (p[1] == '!' || p[1] == '^');
                    in = negated ? in && other_in : in || other_in;
                }
                if (in) {
                    p = after;
                    t += tl;
                    continue;
                }
            } else {
                if (*p == '\\' && p + 1 < pend) p++;
                size_t pl;
                const unsigned pc = decode(p, pend, &pl);
                if ((pc == c || (fold && other_case(pc) == c)) && pl == tl) {
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

bool is_globstar(const char *p, const char *pe) { return pe - p == 2 && p[0] == '*' && p[1] == '*'; }

// The components of pattern [p, pend) against those of text [t, tend). A
// position past its end (p > pend, t > tend) means no component is left.
// The same method as '*' within a name, one level up: a "**" takes no
// component at first and one more each time what follows it fails, and
// only the last "**" met is ever returned to. A later "**" can take
// whatever an earlier one could, so going back further never finds a
// match that this misses; repeated "**" therefore cost no more than one.
bool match_path(const char *p, const char *pend, const char *t, const char *tend, bool fold) {
    const char *star_p = nullptr, *star_t = nullptr;
    while (t <= tend) {
        const char *te = component_end(t, tend);
        if (p <= pend) {
            const char *pe = component_end(p, pend);
            if (is_globstar(p, pe)) {
                if (pe == pend) return true;  // "a/**" takes the rest, one component or more
                star_p = pe + 1;
                star_t = t;
                p = star_p;
                continue;
            }
            dup_glob_steps++;
            if (match_component(p, pe, t, te, fold)) {
                p = pe + 1;
                t = te + 1;
                continue;
            }
        }
        if (!star_p) return false;
        star_t = component_end(star_t, tend) + 1;
        p = star_p;
        t = star_t;
    }
    // The text is used up: what is left of the pattern must be "**" that
    // may take nothing, which a last "**" may not.
    while (p <= pend) {
        const char *pe = component_end(p, pend);
        if (!is_globstar(p, pe) || pe == pend) return false;
        p = pe + 1;
    }
    return true;
}

// The pattern without its anchor (leading '/' and "./") and without the
// '/' that makes it match directories only: [*begin, *end). Returns whether
// it was anchored.
bool pattern_body(const char *pattern, const char **begin, const char **end) {
    const char *p = pattern, *e = pattern + strlen(pattern);
    bool anchored = false;
    for (;;) {
        if (p < e && *p == '/') {
            p++;
        } else if (e - p >= 2 && p[0] == '.' && p[1] == '/') {
            p += 2;
        } else {
            break;
        }
        anchored = true;
    }
    if (e > p && e[-1] == '/') e--;
    *begin = p;
    *end = e;
    return anchored;
}

// Why one component of a pattern cannot be given a meaning, or null.
const char *component_problem(const char *p, const char *pe) {
    if (p == pe) return "an empty component ('//')";
    if ((pe - p == 1 && p[0] == '.') || (pe - p == 2 && p[0] == '.' && p[1] == '.'))
        return "a '.' or '..' component (only a leading './' is taken, as the DIR itself)";
    if (is_globstar(p, pe)) return nullptr;
    while (p < pe) {
        if (*p == '\\') {
            if (pe - p < 2) return "a '\\' with nothing to escape";
            size_t len;
            decode(p + 1, pe, &len);
            p += 1 + len;
        } else if (*p == '*') {
            if (pe - p >= 2 && p[1] == '*')
                return "'**' that is not a whole component (it stands alone between '/', as in 'a/**/b'; within a "
                       "name, '*' matches any run of characters)";
            p++;
        } else if (*p == '[') {
            bool in;
            if (const char *why = read_set(p + 1, pe, 0, &in, &p)) return why;
        } else {
            size_t len;
            decode(p, pe, &len);
            p += len;
        }
    }
    return nullptr;
}

}  // namespace

bool dup_glob_match(const char *pattern, const char *text, bool fold) {
    return match_path(pattern, pattern + strlen(pattern), text, text + strlen(text), fold);
}

const char *dup_glob_problem(const char *pattern) {
    if (!*pattern) return "an empty pattern, which names nothing";
    const char *p, *end;
    pattern_body(pattern, &p, &end);
    if (p == end) return "a pattern that names nothing below the DIR";
    for (;;) {
        const char *pe = component_end(p, end);
        if (const char *why = component_problem(p, pe)) return why;
        if (pe == end) return nullptr;
        p = pe + 1;
    }
}

bool dup_glob_dir_only(const char *pattern) {
    const size_t n = strlen(pattern);
    return n > 0 && pattern[n - 1] == '/';
}

bool dup_glob_excludes(const char *pattern, const char *name, const char *relative, bool fold) {
    const char *p, *end;
    const bool anchored = pattern_body(pattern, &p, &end);
    if (!anchored && !memchr(p, '/', static_cast<size_t>(end - p)))
        return match_path(p, end, name, name + strlen(name), fold);
    return match_path(p, end, relative, relative + strlen(relative), fold);
}
