// SPDX-License-Identifier: MIT
#include "root_set.h"

#include <cctype>

#include "format.h"
#include "platform.h"

namespace dfcli {

namespace {

// Windows takes '\' as a separator too, a drive letter ("D:") before the
// path, and two separators at its start for a network share.
#ifdef _WIN32
constexpr bool kWindowsPaths = true;
#else
constexpr bool kWindowsPaths = false;
#endif

bool separator(char c) { return c == '/' || (kWindowsPaths && c == '\\'); }

// The root with its redundant spellings removed: repeated separators, "."
// components, trailing separators ("a//b/./c/." is "a/b/c"). The library
// joins the root and each name it finds with one '/', so "dir//sub" would
// name its files "dir//sub/f" and "dir/" would give "dir//f": paths that no
// other root's name is a prefix of, and that a file reached as "dir/sub/f"
// from another root would not match. ".." stays, since a symbolic link
// before it decides where it leads. A relative root keeps a leading "."
// (".", "./d"), so that it stays relative and "." names the directory it
// did. A root in the system's own form ("\\?\D:\x") is taken literally,
// as the library takes it, but for trailing separators after a name.
std::string normalised(const std::string &typed) {
    const size_t n = typed.size();
    std::string out;
    size_t at = 0;
    if (kWindowsPaths && n >= 4 && separator(typed[0]) && separator(typed[1]) && (typed[2] == '?' || typed[2] == '.') &&
        separator(typed[3])) {
        size_t end = n;
        while (end > 4 && separator(typed[end - 1]) && typed[end - 2] != ':') --end;
        return typed.substr(0, end);
    }
    if (kWindowsPaths && n >= 2 && separator(typed[0]) && separator(typed[1])) {
        out = typed.substr(0, 2);  // \\server\share
        at = 2;
    } else if (kWindowsPaths && n >= 2 && typed[1] == ':' && std::isalpha(static_cast<unsigned char>(typed[0]))) {
        out = typed.substr(0, 2);  // D:, then absolute or relative to the drive's directory
        at = 2;
    }
    const bool absolute = at < n && separator(typed[at]);
    if (absolute) out += typed[at];
    const size_t prefix = out.size();
    bool any = false;  // a name was kept
    while (at < n) {
        const size_t run = at;
        while (at < n && separator(typed[at])) ++at;
        const size_t name = at;
        while (at < n && !separator(typed[at])) ++at;
        if (name == at) break;  // trailing separators
        if (at - name == 1 && typed[name] == '.' && (absolute || any)) continue;
        if (out.size() > prefix) out += run < name ? typed[run] : '/';
        out.append(typed, name, at - name);
        any = true;
    }
    return out.empty() ? typed : out;
}

bool ends_in_separator(const std::string &path) { return !path.empty() && separator(path.back()); }

// Where the last name of a path begins: after its last separator, or after
// a drive ("D:name") on Windows.
size_t last_name_start(const std::string &path) {
    for (size_t k = path.size(); k > 0; --k)
        if (separator(path[k - 1])) return k;
    return kWindowsPaths && path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

// A regular file itself, not a link to one: the library takes it as a root
// of its own, and a link given so is reported and never walked.
bool plain_file(const std::string &shown) {
    FileStatus st;
    return entry_is_link(shown) == 0 && file_status(shown, &st) && st.regular;
}

// The directory that a root typed as a symbolic link leads to, or "" when
// the root is no link to a directory (the library then reports it as it is).
std::string linked_directory(const std::string &shown) {
    if (entry_is_link(shown) != 1) return "";
    FileStatus st;
    std::string real;
    if (!file_status(shown, &st) || !st.directory || !real_path(shown, &real)) return "";
    return real;
}

// Adds one more root that holds the file: the earliest one counts, and any
// reference directory makes it a reference file.
void combine(RootPlace *p, const RootPlace &q) {
    if (q.root >= 0 && (p->root < 0 || q.root < p->root)) p->root = q.root;
    p->reference = p->reference || q.reference;
}

}  // namespace

RootSet::RootSet(const std::vector<RootArg> &args) {
    for (const RootArg &a : args) {
        Root r;
        r.typed = a.path;
        r.shown = normalised(a.path);
        r.sent = r.shown;
        r.reference = a.reference;
        r.file = plain_file(r.shown);
        std::string target = linked_directory(r.shown);
        if (!target.empty()) r.sent = target;
        has_reference_ = has_reference_ || r.reference;

        // "DIR --reference DIR" marks DIR; walking it twice would only have
        // the library skip the second as already scanned. A plain root given
        // twice is sent twice, as typed.
        std::vector<size_t> &same = by_sent_[r.sent];
        bool merged = false;
        for (size_t i : same)
            if (roots_[i].reference || r.reference) {
                roots_[i].reference = true;
                merged = true;
                break;
            }
        if (merged) continue;
        same.push_back(roots_.size());
        roots_.push_back(std::move(r));
    }
}

std::vector<std::string> RootSet::walk_order() const {
    std::vector<std::string> out;
    for (const Root &r : roots_)
        if (r.reference) out.push_back(r.sent);
    for (const Root &r : roots_)
        if (!r.reference) out.push_back(r.sent);
    return out;
}

RootPlace RootSet::place(const std::string &path) const {
    RootPlace p;
    auto below = [&](const std::string &prefix) {
        auto it = by_sent_.find(prefix);
        if (it == by_sent_.end()) return;
        for (size_t i : it->second) combine(&p, RootPlace{static_cast<int>(i), roots_[i].reference});
    };
    if (path.size() > 1 && path[0] == '/') below("/");
    for (size_t k = 1; k < path.size(); ++k)
        if (path[k] == '/') below(path.substr(0, k));
    below(path);  // a file given as a root
    return p;
}

std::vector<size_t> RootSet::roots_sent_as(const std::string &path) const {
    auto it = by_sent_.find(path);
    return it == by_sent_.end() ? std::vector<size_t>{} : it->second;
}

std::vector<size_t> RootSet::name_starts(const std::string &path) const {
    // Each '/' of the path ends a candidate root; looking them up costs the
    // path's depth, however many roots there are.
    std::vector<size_t> out;
    if (path.size() > 1 && path[0] == '/' && by_sent_.count("/")) out.push_back(1);
    for (size_t k = 1; k + 1 < path.size(); ++k)
        if (path[k] == '/' && by_sent_.count(path.substr(0, k))) out.push_back(k + 1);
    auto own = by_sent_.find(path);
    if (own != by_sent_.end())
        for (size_t i : own->second)
            if (roots_[i].file) {
                out.push_back(last_name_start(path));
                break;
            }
    return out;
}

std::string RootSet::display(const std::string &path) const {
    // The deepest root the path lies at or below decides.
    for (size_t k = path.size();; --k) {
        if (k == path.size() || path[k] == '/') {
            auto it = by_sent_.find(path.substr(0, k));
            if (it != by_sent_.end()) {
                const Root &r = roots_[it->second.front()];
                std::string tail = path.substr(k);
                // The root of a drive ("D:\") ends in a separator, after
                // which the library puts its own '/'.
                if (!tail.empty() && ends_in_separator(r.sent)) tail.erase(0, 1);
                if (!tail.empty() && !ends_in_separator(r.shown) && !separator(tail[0])) tail.insert(0, 1, '/');
                return r.shown + tail;
            }
        }
        if (k == 0) break;
    }
    return path;
}

std::string RootSet::show(const std::string &path) const { return quoted_path(display(path)); }

}  // namespace dfcli
