// SPDX-License-Identifier: MIT
// Fuzz target: shell patterns. The first byte holds the flags (bit 0: fold
// case), then the pattern, a NUL byte and the text (no NUL: an empty text).
//
// The library's matcher is compared with a reference written here from the
// documented rules (glob.h) and nothing else: a memoised walk over every way
// of splitting the text among the pattern's '*' and "**", slow but plainly
// right. They must agree on every pattern that is valid UTF-8 (patterns come
// from UTF-8 arguments and JSON strings; the text, a file name, may be any
// bytes), on whether dup_glob_problem refuses it, and on what
// dup_glob_excludes leaves out. A slow match is a finding too: tools/fuzz.sh
// runs this target with a short time limit per input.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "glob.h"

namespace {

// ---- characters --------------------------------------------------------------------

// One character: a well-formed UTF-8 sequence (its code point), or a byte
// that starts none (raw), which is no code point and only equals itself.
struct ref_char {
    unsigned cp = 0;
    bool raw = false;
    std::string bytes;
};

// The length of the well-formed sequence at s[i], or 0.
size_t sequence_at(const std::string &s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) len = 3, lo = 0xA0;
    else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) len = 3;
    else if (c == 0xED) len = 3, hi = 0x9F;
    else if (c == 0xF0) len = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) len = 4, hi = 0x8F;
    else return 0;
    if (i + len > s.size()) return 0;
    const auto second = static_cast<unsigned char>(s[i + 1]);
    if (second < lo || second > hi) return 0;
    for (size_t k = 2; k < len; k++)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    return len;
}

std::vector<ref_char> characters(const std::string &s) {
    std::vector<ref_char> out;
    for (size_t i = 0; i < s.size();) {
        const size_t len = sequence_at(s, i);
        ref_char c;
        if (len == 0) {
            c.raw = true;
            c.cp = static_cast<unsigned char>(s[i]);
            c.bytes = s.substr(i, 1);
            i++;
        } else {
            const auto lead = static_cast<unsigned char>(s[i]);
            c.cp = len == 1 ? lead : lead & (0x7Fu >> len);
            for (size_t k = 1; k < len; k++) c.cp = (c.cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
            c.bytes = s.substr(i, len);
            i += len;
        }
        out.push_back(c);
    }
    return out;
}

std::vector<std::string> split_slash(const std::string &s) {
    std::vector<std::string> out(1);
    for (char c : s) {
        if (c == '/') out.emplace_back();
        else out.back() += c;
    }
    return out;
}

bool letter(const ref_char &c) { return !c.raw && ((c.cp >= 'a' && c.cp <= 'z') || (c.cp >= 'A' && c.cp <= 'Z')); }
unsigned lower(unsigned c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// ---- one component -----------------------------------------------------------------

// The ASCII classes of the C locale.
bool in_class(const std::string &name, unsigned c) {
    const bool up = c >= 'A' && c <= 'Z', low = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
    const bool graph = c >= 0x21 && c <= 0x7E;
    if (name == "alpha") return up || low;
    if (name == "digit") return digit;
    if (name == "alnum") return up || low || digit;
    if (name == "upper") return up;
    if (name == "lower") return low;
    if (name == "space") return c == ' ' || (c >= '\t' && c <= '\r');
    if (name == "blank") return c == ' ' || c == '\t';
    if (name == "punct") return graph && !(up || low || digit);
    if (name == "print") return c >= 0x20 && c <= 0x7E;
    if (name == "graph") return graph;
    if (name == "cntrl") return c < 0x20 || c == 0x7F;
    if (name == "xdigit") return digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    return false;
}

bool known_class(const std::string &name) {
    for (const char *k :
         {"alpha", "digit", "alnum", "upper", "lower", "space", "blank", "punct", "print", "graph", "cntrl", "xdigit"})
        if (name == k) return true;
    return false;
}

struct set_item {
    std::string cls;  // a class, or empty for the range lo..hi
    unsigned lo = 0, hi = 0;
};

enum class kind { star, any, literal, set, never };

struct token {
    kind k = kind::never;
    ref_char literal;
    bool negate = false;
    std::vector<set_item> items;
};

// Reads a set; i is just past '['. False when it is malformed.
bool read_set(const std::vector<ref_char> &p, size_t &i, token *t) {
    auto is = [&](size_t at, char c) { return at < p.size() && !p[at].raw && p[at].cp == static_cast<unsigned>(c); };
    t->k = kind::set;
    if (is(i, '!') || is(i, '^')) {
        t->negate = true;
        i++;
    }
    for (bool first = true;; first = false) {
        if (i >= p.size()) return false;
        if (is(i, ']') && !first) {
            i++;
            return true;
        }
        set_item item;
        if (is(i, '[') && is(i + 1, ':')) {
            size_t j = i + 2;
            std::string name;
            while (j < p.size() && !p[j].raw && p[j].cp >= 'a' && p[j].cp <= 'z') name += static_cast<char>(p[j++].cp);
            if (!is(j, ':') || !is(j + 1, ']') || !known_class(name)) return false;
            item.cls = name;
            i = j + 2;
            t->items.push_back(item);
            continue;
        }
        item.lo = item.hi = p[i++].cp;
        if (is(i, '-') && i + 1 < p.size() && !is(i + 1, ']')) {
            if (is(i + 1, '[') && is(i + 2, ':')) return false;
            item.hi = p[i + 1].cp;
            i += 2;
            if (item.hi < item.lo) return false;
        }
        t->items.push_back(item);
    }
}

// The tokens of one component; *ok false when a set is malformed.
std::vector<token> tokens(const std::string &component, bool *ok, bool *lone_backslash) {
    const std::vector<ref_char> p = characters(component);
    std::vector<token> out;
    *ok = true;
    *lone_backslash = false;
    for (size_t i = 0; i < p.size();) {
        token t;
        const unsigned c = p[i].cp;
        if (c == '*') {
            t.k = kind::star;
            i++;
        } else if (c == '?') {
            t.k = kind::any;
            i++;
        } else if (c == '[') {
            i++;
            if (!read_set(p, i, &t)) {
                *ok = false;
                out.push_back(token{});  // a malformed set matches nothing
                return out;
            }
        } else {
            if (c == '\\') {
                if (i + 1 < p.size()) i++;
                else *lone_backslash = true;
            }
            t.k = kind::literal;
            t.literal = p[i++];
        }
        out.push_back(t);
    }
    return out;
}

bool set_holds(const token &t, unsigned c) {
    for (const set_item &item : t.items)
        if (item.cls.empty() ? item.lo <= c && c <= item.hi : c < 0x80 && in_class(item.cls, c)) return true;
    return false;
}

bool token_matches(const token &t, const ref_char &c, bool fold) {
    switch (t.k) {
    case kind::any: return true;
    case kind::literal:
        return t.literal.bytes == c.bytes ||
               (fold && letter(t.literal) && letter(c) && lower(t.literal.cp) == lower(c.cp));
    case kind::set: {
        const bool in = !c.raw && set_holds(t, c.cp);
        const bool other = fold && letter(c) && set_holds(t, c.cp ^ 0x20);
        return t.negate ? !in && !other : in || other;
    }
    default: return false;
    }
}

bool match_component(const std::vector<token> &p, const std::vector<ref_char> &t, bool fold) {
    // can[i][j]: tokens from i match characters from j.
    std::vector<std::vector<uint8_t>> can(p.size() + 1, std::vector<uint8_t>(t.size() + 1, 0));
    can[p.size()][t.size()] = 1;
    for (size_t i = p.size(); i-- > 0;)
        for (size_t j = t.size() + 1; j-- > 0;) {
            if (p[i].k == kind::star) can[i][j] = can[i + 1][j] || (j < t.size() && can[i][j + 1]);
            else can[i][j] = j < t.size() && token_matches(p[i], t[j], fold) && can[i + 1][j + 1];
        }
    return can[0][0] != 0;
}

// ---- whole paths -------------------------------------------------------------------

bool reference_match(const std::string &pattern, const std::string &text, bool fold) {
    const std::vector<std::string> pc = split_slash(pattern), tc = split_slash(text);
    const size_t m = pc.size(), n = tc.size();
    std::vector<std::vector<token>> toks(m);
    for (size_t i = 0; i < m; i++) {
        bool ok, lone;
        toks[i] = tokens(pc[i], &ok, &lone);
    }
    std::vector<std::vector<ref_char>> chars(n);
    for (size_t j = 0; j < n; j++) chars[j] = characters(tc[j]);
    // can[i][j]: pattern components from i match text components from j.
    std::vector<std::vector<uint8_t>> can(m + 1, std::vector<uint8_t>(n + 1, 0));
    can[m][n] = 1;
    for (size_t i = m; i-- > 0;)
        for (size_t j = n + 1; j-- > 0;) {
            if (pc[i] == "**") {
                // the last "**" takes one component or more, another none or more
                if (i == m - 1) can[i][j] = n - j >= 1;
                else can[i][j] = can[i + 1][j] || (j < n && can[i][j + 1]);
            } else {
                can[i][j] = j < n && can[i + 1][j + 1] && match_component(toks[i], chars[j], fold);
            }
        }
    return can[0][0] != 0;
}

// The pattern without its anchor and without a last '/'.
std::string body(const std::string &pattern, bool *anchored) {
    size_t b = 0;
    *anchored = false;
    for (;;) {
        if (pattern.compare(b, 1, "/") == 0) b += 1;
        else if (pattern.compare(b, 2, "./") == 0) b += 2;
        else break;
        *anchored = true;
    }
    std::string out = pattern.substr(b);
    if (!out.empty() && out.back() == '/') out.pop_back();
    return out;
}

bool reference_refuses(const std::string &pattern) {
    if (pattern.empty()) return true;
    bool anchored;
    const std::string b = body(pattern, &anchored);
    if (b.empty()) return true;
    for (const std::string &c : split_slash(b)) {
        if (c.empty() || c == "." || c == "..") return true;
        if (c == "**") continue;
        if (c.find("**") != std::string::npos) {
            // "**" inside a component, unless both stars are escaped or
            // in a set: the tokens say which stars are real.
            bool ok, lone;
            const std::vector<token> t = tokens(c, &ok, &lone);
            if (!ok || lone) return true;
            for (size_t i = 0; i + 1 < t.size(); i++)
                if (t[i].k == kind::star && t[i + 1].k == kind::star) return true;
            continue;
        }
        bool ok, lone;
        tokens(c, &ok, &lone);
        if (!ok || lone) return true;
    }
    return false;
}

bool well_formed_utf8(const std::string &s) {
    for (const ref_char &c : characters(s))
        if (c.raw) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const bool fold = (data[0] & 1) != 0;
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
    const size_t nul = input.find('\0');
    const std::string pattern = input.substr(0, nul);
    std::string text = nul == std::string::npos ? "" : input.substr(nul + 1);
    text = text.substr(0, text.find('\0'));

    const bool matched = dup_glob_match(pattern.c_str(), text.c_str(), fold);
    const char *problem = dup_glob_problem(pattern.c_str());
    const bool dir_only = dup_glob_dir_only(pattern.c_str());
    FUZZ_REQUIRE(dir_only == (!pattern.empty() && pattern.back() == '/'));
    if (!well_formed_utf8(pattern)) return 0;

    FUZZ_REQUIRE((problem != nullptr) == reference_refuses(pattern));
    FUZZ_REQUIRE(matched == reference_match(pattern, text, fold));
    if (problem) return 0;

    // The entry's name is the text's last component; its path relative to
    // the root, the whole text.
    const std::string name = text.substr(text.rfind('/') == std::string::npos ? 0 : text.rfind('/') + 1);
    bool anchored;
    const std::string b = body(pattern, &anchored);
    const bool by_name = !anchored && b.find('/') == std::string::npos;
    FUZZ_REQUIRE(dup_glob_excludes(pattern.c_str(), name.c_str(), text.c_str(), fold) ==
                 reference_match(b, by_name ? name : text, fold));
    return 0;
}
