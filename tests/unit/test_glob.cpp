// Shell patterns: each wildcard kind, the '**' component, sets, escapes,
// UTF-8, and which of name or relative path a pattern is matched against.
#include <gtest/gtest.h>

#include "glob.h"

namespace {

TEST(Glob, Match) {
    struct Case {
        const char *pattern, *text;
        bool match;
    } cases[] = {
        {"*.iso", "disk.iso", true},          {"*.iso", "disk.iso.part", false},
        {"*.iso", "dir/disk.iso", false},     // '*' stops at '/'
        {"?", "a", true},                     {"?", "", false},
        {"?", "/", false},                    {"a?c", "abc", true},
        {"?", "\xC3\xA9", true},              // one character, two bytes
        {"[abc]x", "bx", true},               {"[abc]x", "dx", false},
        {"[a-c]", "b", true},                 {"[!a-c]", "b", false},
        {"[^a-c]", "z", true},                {"[]]", "]", true},
        {"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", true},  // a range of code points
        {"[abc", "[abc", true},               // an unclosed set is itself
        {"\\*", "*", true},                   {"\\*", "a", false},
        {"**/.git", ".git", true},            {"**/.git", "a/b/.git", true},
        {"**/.git", "a/.gitx", false},        {"a/**", "a/b/c", true},
        {"a/**/b", "a/b", true},              {"a/**/b", "a/x/y/b", true},
        {"a/**/b", "a/x/y/c", false},         {"photos/*/thumbs", "photos/2020/thumbs", true},
        {"photos/*/thumbs", "photos/2020/x/thumbs", false},
        {"*", "", true},                      {"", "", true},
        {"a*b*c", "aXbYc", true},             {"a*b*c", "aXbY", false},
    };
    for (const Case &c : cases) EXPECT_EQ(dup_glob_match(c.pattern, c.text), c.match) << c.pattern << " / " << c.text;
}

TEST(Glob, NameOrRelativePath) {
    struct Case {
        const char *pattern, *name, *relative;
        bool excluded;
    } cases[] = {
        {"node_modules", "node_modules", "src/node_modules", true},  // no '/': the name
        {"node_modules", "src", "node_modules/src", false},
        {"photos/*/thumbs", "thumbs", "photos/2020/thumbs", true},   // a '/': the path
        {"photos/*/thumbs", "thumbs", "x/photos/2020/thumbs", false},
        {"/build", "build", "build", true},                         // anchored anyway
        {"/build", "build", "src/build", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(dup_glob_excludes(c.pattern, c.name, c.relative), c.excluded) << c.pattern << " / " << c.relative;
}

}  // namespace
