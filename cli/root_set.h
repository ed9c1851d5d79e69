// SPDX-License-Identifier: MIT
// The directories given on the command line: what the library is asked to
// walk for each, where a file of the results lies among them, and the way
// back from the library's paths to the names the user typed.
#ifndef DUPFIND_CLI_ROOT_SET_H
#define DUPFIND_CLI_ROOT_SET_H

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "options.h"

namespace dfcli {

struct Root {
    std::string typed;  // the argument as given
    std::string shown;  // typed without repeated or trailing separators and "."
                        // components: the prefix shown
    // What the library walks: `shown`, or for a symbolic link to a directory
    // the directory it leads to. The library takes a root that is a link as
    // a link and never enters it; the tool follows it once, as `find -H`
    // does, and the library's guards then apply to the target.
    std::string sent;
    bool reference = false;
    // A regular file given in place of a directory (not a link to one): it
    // is its own root, and the only name below it is its own.
    bool file = false;
};

// Where a file lies among the roots.
struct RootPlace {
    int root = -1;           // the earliest root given that holds it, or -1
    bool reference = false;  // a reference directory holds it
};

class RootSet {
public:
    // Resolves the roots in command-line order. A --reference directory that
    // names the same directory as a root given in the same way is one root,
    // a reference one, at the earlier place.
    explicit RootSet(const std::vector<RootArg> &args);

    const std::vector<Root> &roots() const { return roots_; }
    bool has_reference() const { return has_reference_; }

    // The library's request: the sent names, reference directories first,
    // so that a file reached from both is listed under the reference name,
    // and of several names of one file the library keeps that one.
    std::vector<std::string> walk_order() const;

    // A path of the library's results as the user would reach it: below a
    // linked root, under the name of the link as typed. Other paths are
    // returned unchanged.
    std::string display(const std::string &path) const;

    // display(), quoted for people where it holds a control character.
    std::string show(const std::string &path) const;

    // For every root whose sent name the path lies strictly below, where the
    // names below that root begin in it. The library joins a root and a name
    // with one '/', and a name below "/" directly. A file given as a root
    // begins its own name, after the last separator of its path.
    std::vector<size_t> name_starts(const std::string &path) const;

    // The roots whose sent name is exactly `path`, in walk order.
    std::vector<size_t> roots_sent_as(const std::string &path) const;

    // Where the file at a path of the results lies: below every root whose
    // sent name the path begins with. The library enters each directory
    // once, from the first root in the walk that reaches it, and names what
    // it finds there after that root; reference directories come first in
    // the walk, so a file inside one is named after it however the other
    // roots were spelled.
    RootPlace place(const std::string &path) const;

private:
    std::vector<Root> roots_;
    bool has_reference_ = false;
    std::unordered_map<std::string, std::vector<size_t>> by_sent_;
};

}  // namespace dfcli

#endif
