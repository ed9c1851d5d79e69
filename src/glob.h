// SPDX-License-Identifier: MIT
// Shell patterns as people write them to leave things out of a scan.
#ifndef DUP_GLOB_H
#define DUP_GLOB_H

#include <cstdint>

// Whether text matches pattern, where
//   *      matches any run of characters but '/'
//   ?      matches one character but '/'
//   [...]  matches one character of the set: ranges a-z, the classes
//          [:alpha:] [:digit:] [:alnum:] [:upper:] [:lower:] [:space:]
//          [:blank:] [:punct:] [:print:] [:graph:] [:cntrl:] [:xdigit:]
//          (ASCII characters, as in the C locale), '!' or '^' first
//          negates, ']' first is itself
//   **     as a whole component ("**/x", "a/**/b") matches any run of
//          components, none included; as the last one ("a/**"), one
//          component or more
//   \c     matches the character c
// Characters are UTF-8 sequences, compared by code point in sets. Time is
// polynomial in the lengths of pattern and text, whatever the number of
// "**": each comparison of a pattern component with a text component is
// counted in dup_glob_steps (the calling thread's count, for tests). A
// pattern that dup_glob_problem refuses matches what its well-formed parts
// allow; a malformed set matches nothing. With fold, an ASCII letter of
// the text also matches the other case of a pattern's letter, range or
// class ("*.iso" matches "X.ISO", "[[:lower:]]" matches "A").
bool dup_glob_match(const char *pattern, const char *text, bool fold = false);

// Why a pattern cannot be given a meaning, as a short phrase ("an unclosed
// '['"), or null when it can. Refused: the empty pattern, one that names no
// entry ("/", "./"), an empty component ("a//b"), a '.' or '..' component
// past the leading "./", "**" inside a component ("a**b"), a '\' with
// nothing to escape, an unclosed set, an unknown class, a range whose end
// comes before its start.
const char *dup_glob_problem(const char *pattern);

// Whether a pattern ends with '/', which makes it match directories only
// (as in .gitignore): the caller asks dup_glob_excludes about such a
// pattern only for a directory.
bool dup_glob_dir_only(const char *pattern);

// Whether an entry is left out by a pattern: a pattern that names no
// directory ("*.iso", "node_modules", "cache/") is matched against the
// entry's name, one that does ("photos/*/thumbs", "**/.git") against its
// path relative to its root. A leading '/' or "./" anchors the pattern at
// the root: "/build" and "./build" match the root's own entry "build" only.
// The root's own name is not part of the relative path. fold as for
// dup_glob_match. Whether a pattern matches is the same question for
// patterns that keep entries in: the name is kept.
bool dup_glob_excludes(const char *pattern, const char *name, const char *relative, bool fold = false);

// Comparisons of a pattern component with a text component made on this
// thread (see dup_glob_match).
extern thread_local uint64_t dup_glob_steps;

#endif  // DUP_GLOB_H
