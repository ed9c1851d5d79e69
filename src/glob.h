// Shell patterns as people write them to leave things out of a scan.
#ifndef DUP_GLOB_H
#define DUP_GLOB_H

// Whether text matches pattern, where
//   *      matches any run of characters but '/'
//   ?      matches one character but '/'
//   [...]  matches one character of the set: ranges a-z, '!' or '^' first
//          negates, ']' first is itself
//   **     as a whole component ("**/x", "a/**/b", "a/**") matches any run
//          of components, none included
//   \c     matches the character c
// Characters are UTF-8 sequences, compared by code point in sets. A pattern
// that is not well formed (an unclosed '[') matches its characters as they
// are written.
bool dup_glob_match(const char *pattern, const char *text);

// Whether an entry is left out by a pattern: a pattern that names no
// directory ("*.iso", "node_modules") is matched against the entry's name,
// one that does ("photos/*/thumbs", "**/.git") against its path relative to
// its root. A leading '/' anchors nothing more: relative paths start at the
// root anyway.
bool dup_glob_excludes(const char *pattern, const char *name, const char *relative);

#endif  // DUP_GLOB_H
