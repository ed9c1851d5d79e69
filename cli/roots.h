// The directories given on the command line: what the library is asked to
// walk for each, and the way back from the library's paths to the names the
// user typed.
#ifndef DUPFIND_CLI_ROOTS_H
#define DUPFIND_CLI_ROOTS_H

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace dfcli {

struct Root {
    std::string typed;  // the argument as given
    std::string shown;  // typed without trailing separators: the prefix shown
    // What the library walks: `shown`, or for a symbolic link to a directory
    // the directory it leads to. The library takes a root that is a link as
    // a link and never enters it; the tool follows it once, as `find -H`
    // does, and the library's guards then apply to the target.
    std::string sent;
};

class RootSet {
public:
    // Resolves the roots as given, in command-line order.
    explicit RootSet(const std::vector<std::string> &typed);

    const std::vector<Root> &roots() const { return roots_; }

    // The library's request: the sent names, in the order of the walk.
    std::vector<std::string> walk_order() const;

    // A path of the library's results as the user would reach it: below a
    // linked root, under the name of the link as typed. Other paths are
    // returned unchanged.
    std::string display(const std::string &path) const;

    // display(), quoted for people where it holds a control character.
    std::string show(const std::string &path) const;

    // For every root whose sent name the path lies strictly below, where the
    // names below that root begin in it. The library joins a root and a name
    // with one '/', and a name below "/" directly.
    std::vector<size_t> name_starts(const std::string &path) const;

    // The roots whose sent name is exactly `path`, in walk order.
    std::vector<size_t> roots_sent_as(const std::string &path) const;

private:
    std::vector<Root> roots_;
    std::unordered_map<std::string, std::vector<size_t>> by_sent_;
};

}  // namespace dfcli

#endif
