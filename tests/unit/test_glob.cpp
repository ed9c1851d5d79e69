// SPDX-License-Identifier: MIT
// Shell patterns: each wildcard kind, the '**' component, sets and classes,
// escapes, UTF-8, which of name or relative path a pattern is matched
// against, the patterns refused, and the work a match takes.
#include <gtest/gtest.h>

#include <string>

#include "glob.h"

namespace {

TEST(Glob, Match) {
    struct Case {
        const char *pattern, *text;
        bool match;
    } cases[] = {
        {"*.iso", "disk.iso", true},
        {"*.iso", "disk.iso.part", false},
        {"*.iso", "dir/disk.iso", false},  // '*' stops at '/'
        {"?", "a", true},
        {"?", "", false},
        {"?", "/", false},
        {"a?c", "abc", true},
        {"?", "\xC3\xA9", true},  // one character, two bytes
        {"[abc]x", "bx", true},
        {"[abc]x", "dx", false},
        {"[a-c]", "b", true},
        {"[!a-c]", "b", false},
        {"[^a-c]", "z", true},
        {"[]]", "]", true},
        {"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", true},  // a range of code points
        {"[abc", "[abc", false},                    // a malformed set matches nothing
        {"\\*", "*", true},
        {"\\*", "a", false},
        {"**/.git", ".git", true},
        {"**/.git", "a/b/.git", true},
        {"**/.git", "a/.gitx", false},
        {"a/**", "a/b/c", true},
        {"a/**", "a", false},  // a last "**" takes one component or more
        {"a/**/**", "a", false},
        {"a/**/**", "a/b", true},
        {"a/**/b", "a/b", true},
        {"a/**/b", "a/x/y/b", true},
        {"a/**/b", "a/x/y/c", false},
        {"**/**/b", "b", true},
        {"**/a/**/a/b", "a/a/x/a/b", true},
        {"**/a/**/a/b", "a/a/b/a", false},
        {"photos/*/thumbs", "photos/2020/thumbs", true},
        {"photos/*/thumbs", "photos/2020/x/thumbs", false},
        {"*", "", true},
        {"", "", true},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "aXbY", false},
        // Classes, alone, negated, beside characters and ranges.
        {"[[:alpha:]]", "q", true},
        {"[[:alpha:]]", "7", false},
        {"[[:alpha:]]", "\xC3\xA9", false},  // ASCII classes, as in the C locale
        {"[![:alpha:]]", "7", true},
        {"[[:digit:]_]x", "_x", true},
        {"[[:upper:][:digit:]]", "Q", true},
        {"[[:upper:][:digit:]]", "q", false},
        {"[[:space:]]", "\t", true},
        {"[[:blank:]]", "\n", false},
        {"[[:punct:]]", "!", true},
        {"[[:punct:]]", "a", false},
        {"[[:xdigit:]]", "F", true},
        {"[[:xdigit:]]", "g", false},
        {"[[:alnum:]]", "0", true},
        {"[[:lower:]]", "A", false},
        {"[[:print:]]", " ", true},
        {"[[:graph:]]", " ", false},
        {"[[:cntrl:]]", "\x7F", true},
        {"[a[:digit:]-]", "-", true},
    };
    for (const Case &c : cases) EXPECT_EQ(dup_glob_match(c.pattern, c.text), c.match) << c.pattern << " / " << c.text;
}

// Folding takes ASCII letters of either case in literals, ranges, classes
// and negated sets alike, and nothing else.
TEST(Glob, MatchIgnoringCase) {
    struct Case {
        const char *pattern, *text;
        bool plain, folded;
    } cases[] = {
        {"*.iso", "X.ISO", false, true},
        {"*.ISO", "x.iso", false, true},
        {"[a-c]x", "BX", false, true},
        {"[!a]", "A", true, false},
        {"[^a-c]", "B", true, false},
        {"[[:lower:]]", "Q", false, true},
        {"[[:upper:]]", "q", false, true},
        {"\\A", "a", false, true},
        {"\xC3\xA9", "\xC3\x89", false, false},  // not ASCII: é and É stay apart
        {"a[", "A[", false, false},              // a malformed set matches nothing
        {"**/CACHE", "x/y/cache", false, true},
        {"[@]", "`", false, false},  // next to the letters, but no letter
    };
    for (const Case &c : cases) {
        EXPECT_EQ(dup_glob_match(c.pattern, c.text), c.plain) << c.pattern << " / " << c.text;
        EXPECT_EQ(dup_glob_match(c.pattern, c.text, true), c.folded) << c.pattern << " / " << c.text << " folded";
    }
}

TEST(Glob, NameOrRelativePath) {
    struct Case {
        const char *pattern, *name, *relative;
        bool excluded;
    } cases[] = {
        {"node_modules", "node_modules", "src/node_modules", true},  // no '/': the name
        {"node_modules", "src", "node_modules/src", false},
        {"photos/*/thumbs", "thumbs", "photos/2020/thumbs", true},  // a '/': the path
        {"photos/*/thumbs", "thumbs", "x/photos/2020/thumbs", false},
        {"/build", "build", "build", true},  // anchored
        {"/build", "build", "src/build", false},
        {"./build", "build", "build", true},  // the same, as a shell user writes it
        {"./build", "build", "src/build", false},
        {"./src/build", "build", "src/build", true},
        {"build/", "build", "src/build", true},  // a name, for directories
        {"src/build/", "build", "src/build", true},
        {"/build/", "build", "src/build", false},
        {"r/build", "build", "build", false},  // the root's own name is not part of the path
    };
    for (const Case &c : cases)
        EXPECT_EQ(dup_glob_excludes(c.pattern, c.name, c.relative), c.excluded) << c.pattern << " / " << c.relative;
    EXPECT_TRUE(dup_glob_dir_only("build/"));
    EXPECT_TRUE(dup_glob_dir_only("a/*/"));
    EXPECT_FALSE(dup_glob_dir_only("build"));
    EXPECT_FALSE(dup_glob_dir_only("a/b"));
}

// What the matcher cannot give a meaning is refused, with a reason; what
// it can is not.
TEST(Glob, Problems) {
    const char *refused[] = {
        "",     "/",    "./",    "//",         "a//b",      "a/./b", "./.",           "..",    "a/../b",
        "../a", "a**b", "**a",   "a/b**",      "***",       "a\\",   "a\\/b",         "[abc",  "[]",
        "[!]",  "[a-",  "[z-a]", "[[:alpha:]", "[[:foo:]]", "[[:]",  "[a-[:digit:]]", "x/[/]", "a[",
    };
    for (const char *p : refused) EXPECT_NE(dup_glob_problem(p), nullptr) << p;
    const char *accepted[] = {
        "a",     "*.iso", "**",   "**/a", "a/**",        "a/**/b", "**/**/a", "/a",        "./a",
        "././a", "/./a",  "a/",   "a/b/", "[[:alpha:]]", "[]]",    "[!]]",    "[a-z]",     "\\*",
        "\\[",   "a]",    ".git", "..a",  "a..",         "[\\]",   "x*y?z",   "\xC3\xA9*",
    };
    for (const char *p : accepted) EXPECT_EQ(dup_glob_problem(p), nullptr) << p << ": " << dup_glob_problem(p);
}

// Repeated "**" cost no more than one: a match takes at most about one
// comparison per pair of pattern and text components, however many "**"
// the pattern holds. Trying every way to split the path among them would
// take more than C(depth + stars, stars) comparisons (the deepest case here
// would not end within any test's time).
TEST(Glob, RepeatedGlobstarsStayPolynomial) {
    std::string path;
    for (int i = 1; i <= 40; i++) path += "d" + std::to_string(i) + "/";
    path += "f1";
    struct Case {
        int stars;
        const char *last;
        bool match;
    } cases[] = {{4, "zzz", false}, {8, "zzz", false}, {12, "zzz", false}, {12, "f1", true}, {30, "d40/zzz", false}};
    for (const Case &c : cases) {
        std::string pattern;
        for (int i = 0; i < c.stars; i++) pattern += "**/";
        pattern += c.last;
        dup_glob_steps = 0;
        EXPECT_EQ(dup_glob_match(pattern.c_str(), path.c_str()), c.match) << pattern;
        const uint64_t components = 41, pattern_components = static_cast<uint64_t>(c.stars) + 2;
        EXPECT_LE(dup_glob_steps, components * pattern_components) << pattern;
    }
}

}  // namespace
