#include "roots.h"

#include "format.h"
#include "platform.h"

namespace dfcli {

namespace {

// "dir/" and "dir//" name "dir"; the library would keep the separator and
// show "dir//name". A root of separators alone is the file-system root.
std::string without_trailing_separators(const std::string &typed) {
    size_t end = typed.find_last_not_of('/');
    if (end == std::string::npos) return typed.empty() ? typed : "/";
    return typed.substr(0, end + 1);
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
void combine(Place *p, const Place &q) {
    if (q.root >= 0 && (p->root < 0 || q.root < p->root)) p->root = q.root;
    p->reference = p->reference || q.reference;
}

}  // namespace

RootSet::RootSet(const std::vector<RootArg> &args) {
    for (const RootArg &a : args) {
        Root r;
        r.typed = a.path;
        r.shown = without_trailing_separators(a.path);
        r.sent = r.shown;
        r.reference = a.reference;
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

Place RootSet::place(const std::string &path) const {
    Place p;
    auto below = [&](const std::string &prefix) {
        auto it = by_sent_.find(prefix);
        if (it == by_sent_.end()) return;
        for (size_t i : it->second) combine(&p, Place{static_cast<int>(i), roots_[i].reference});
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
    return out;
}

std::string RootSet::display(const std::string &path) const {
    // The deepest root the path lies at or below decides.
    for (size_t k = path.size();; --k) {
        if (k == path.size() || path[k] == '/') {
            auto it = by_sent_.find(path.substr(0, k));
            if (it != by_sent_.end()) {
                const Root &r = roots_[it->second.front()];
                return r.shown == r.sent ? path : r.shown + path.substr(k);
            }
        }
        if (k == 0) break;
    }
    return path;
}

std::string RootSet::show(const std::string &path) const { return quoted_path(display(path)); }

}  // namespace dfcli
