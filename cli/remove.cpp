#include "remove.h"

#include <algorithm>
#include <cstdio>

#include "dupfind.h"
#include "format.h"
#include "platform.h"

namespace dfcli {

namespace {

// The words of each action's lines: what was done, what would be done,
// what was not.
struct Words {
    const char *done;
    const char *would;
    const char *not_done;
};

Words words(Action action) {
    switch (action) {
    case Action::Link: return {"linked:", "would link:", "not linked:"};
    case Action::Reflink: return {"shared:", "would share:", "not shared:"};
    default: return {"removed:", "would remove:", "not removed:"};
    }
}

// Text of one group's removal, with every path shown as the user reaches it.
struct Printer {
    const RootSet &roots;
    bool quiet;
    Words words;

    std::string show(const std::string &path) const { return roots.show(path); }

    void line(const char *label, const std::string &path, const std::string &why = "") const {
        if (quiet) return;
        if (why.empty()) std::printf("  %-13s %s\n", label, show(path).c_str());
        else std::printf("  %-13s %s (%s)\n", label, show(path).c_str(), why.c_str());
    }

    void leave(RemovalReport *r, const std::string &path, const std::string &why) const {
        line(words.not_done, path, why);
        r->left.push_back({path, why});
    }
};

// Why a kept file cannot vouch for the copies any more, or "" when it can.
std::string kept_problem(const std::string &shown, const FileStatus *st, bool found, int64_t size) {
    if (!found) return "kept file " + shown + " no longer exists";
    if (!st->regular) return "kept file " + shown + " is no longer a regular file";
    if (st->size != size) return "kept file " + shown + " changed size since the scan";
    return "";
}

// Why a kept file and a copy on different devices might still be one file,
// or "" when they cannot be: a stacked file system (an overlay, a FUSE
// passthrough) shows files of another one under a device number of its own,
// so different numbers prove nothing once either side is on one. Removing
// the copy could then remove the very data that the kept path shows.
std::string stacked_problem(const std::string &kept_shown, const FileStatus &kept, const FileStatus &copy) {
    if (kept.device == copy.device) return "";
    if (kept.stacked)
        return "kept file " + kept_shown + " is on a stacked file system (" + kept.stacked +
               ") and may be this copy seen through it";
    if (copy.stacked)
        return std::string("on a stacked file system (") + copy.stacked + ") and may be kept file " + kept_shown +
               " seen through it";
    return "";
}

// The first entry of path, after its first `start` characters, that is a
// symbolic link (the path itself included), or "" when none is.
std::string first_link(const std::string &path, size_t start) {
    for (size_t pos = start; pos < path.size();) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        if (end > pos && entry_is_link(path.substr(0, end)) == 1) return path.substr(0, end);
        pos = end + 1;
    }
    return "";
}

// link_problem, and where the names below the root begin along the way
// without a link that it found.
std::string link_problem_at(const std::string &path, const RootSet &roots, size_t *begin) {
    // Nested roots can each lead to the path; one way without a link is
    // enough, as the library reaches it that way too.
    std::string link;
    std::vector<size_t> starts = roots.name_starts(path);
    if (starts.empty()) return "not below any of the directories given";
    for (size_t start : starts) {
        std::string l = first_link(path, start);
        if (l.empty()) {
            *begin = start;
            return "";
        }
        if (link.empty()) link = l;
    }
    if (link == path) return "a symbolic link";
    return "reached through the symbolic link " + roots.show(link);
}

// The path split at its root, for an act through its directory; the path
// must be one that link_problem passes.
RootedPath rooted(const std::string &path, const RootSet &roots) {
    size_t begin = 0;
    link_problem_at(path, roots, &begin);
    return {path.substr(0, begin), path.substr(begin)};
}

}  // namespace

std::string link_problem(const std::string &path, const RootSet &roots) {
    size_t begin;
    return link_problem_at(path, roots, &begin);
}

namespace {

int choose_keeper(const Group &g, Keep policy, const RootSet &roots, std::string *why) {
    if (g.files.empty()) {
        *why = "the group lists no file";
        return -1;
    }
    std::vector<size_t> candidates;
    for (size_t i = 0; i < g.files.size(); ++i)
        if (link_problem(g.files[i], roots).empty()) candidates.push_back(i);
    if (candidates.empty()) {
        *why = "no file of the group is reached without a symbolic link";
        return -1;
    }
    switch (policy) {
    case Keep::First: {
        // A file under no root (which the walk does not give) ranks last.
        auto rank = [&](size_t i) {
            int root = roots.place(g.files[i]).root;
            return root < 0 ? roots.roots().size() : static_cast<size_t>(root);
        };
        size_t best = candidates[0], best_rank = rank(best);
        for (size_t i : candidates) {
            size_t r = rank(i);
            if (r < best_rank) {
                best = i;
                best_rank = r;
            }
        }
        return static_cast<int>(best);
    }
    case Keep::ShortestPath: {
        size_t best = candidates[0];
        for (size_t i : candidates)
            if (roots.display(g.files[i]).size() < roots.display(g.files[best]).size()) best = i;
        return static_cast<int>(best);
    }
    case Keep::Newest:
    case Keep::Oldest: {
        int best = -1;
        int64_t best_time = 0;
        for (size_t i : candidates) {
            FileStatus st;
            if (!file_status(g.files[i], &st) || !st.regular) continue;
            bool better = policy == Keep::Newest ? st.mtime_ns > best_time : st.mtime_ns < best_time;
            if (best < 0 || better) {
                best = static_cast<int>(i);
                best_time = st.mtime_ns;
            }
        }
        if (best < 0) *why = "no file of the group exists any more";
        return best;
    }
    }
    return -1;
}

// The reason an act left the copy, naming the kept file as shown.
std::string act_reason(const ActResult &res, const std::string &kept_shown) {
    switch (res.cause) {
    case ActResult::Differs: return "content differs from kept " + kept_shown;
    case ActResult::OtherFileSystem: return "on another file system than kept " + kept_shown;
    case ActResult::KeptChanged: return "kept file " + kept_shown + " changed since it was checked";
    case ActResult::Other: break;
    }
    return res.why;
}

}  // namespace

bool choose_keep(const Group &g, Keep policy, const RootSet &roots, std::vector<size_t> *keep, std::string *why) {
    keep->clear();
    if (roots.has_reference())
        for (size_t i = 0; i < g.files.size(); ++i)
            if (roots.place(g.files[i]).reference) keep->push_back(i);
    if (!keep->empty()) return true;
    int k = choose_keeper(g, policy, roots, why);
    if (k < 0) return false;
    keep->push_back(static_cast<size_t>(k));
    return true;
}

const char *not_done_label(Action action) { return words(action).not_done; }

void act_on_copies(const Group &g, const std::vector<size_t> &keep, const RootSet &roots, Action action,
                   Pass pass, bool quiet, RemovalReport *r) {
    const Printer out{roots, quiet || pass == Pass::Plan, words(action)};
    auto kept = [&](size_t i) { return std::find(keep.begin(), keep.end(), i) != keep.end(); };
    if (keep.empty()) {  // never read "keep nothing" as "remove everything"
        for (const std::string &path : g.files) out.leave(r, path, "no file chosen to keep");
        return;
    }
    for (size_t i : keep) {
        bool reference = roots.has_reference() && roots.place(g.files[i]).reference;
        out.line("kept:", g.files[i], reference ? "reference" : "");
    }

    for (size_t i = 0; i < g.files.size(); ++i) {
        if (kept(i)) continue;
        const std::string &path = g.files[i];
        if (pass != Pass::Plan && interrupted()) {
            r->interrupted = true;
            out.leave(r, path, "not processed: interrupted");
            continue;
        }

        // A link, or a path through a linked directory, may lead to a file
        // outside the roots or to another path of this group; it is never
        // removed or replaced, and not even offered to the library.
        std::string linked = link_problem(path, roots);
        if (!linked.empty()) {
            out.leave(r, path, linked + (action == Action::Delete ? ", never removed" : ", never replaced"));
            continue;
        }
        // A reference file stays whatever was chosen, an interactive answer
        // included.
        if (roots.has_reference() && roots.place(path).reference) {
            out.line("kept:", path, "reference");
            continue;
        }

        FileStatus copy;
        if (!file_status(path, &copy)) {
            out.leave(r, path, "no longer exists");
            continue;
        }
        if (!copy.regular) {
            out.leave(r, path, "no longer a regular file");
            continue;
        }
        if (copy.size != g.size) {
            out.leave(r, path, "size changed since the scan");
            continue;
        }

        // Every kept file is looked at again now: the copy must be none of
        // them (the same path listed twice, a path through a linked
        // directory, a hard link, a file seen through a stacked file
        // system), and a kept file that still matches the group is the one
        // whose bytes the copy must have: the first, or for a link or shared
        // extents the first on the copy's file system.
        const std::string *reference = nullptr;
        FileStatus reference_st;
        std::string problem, same_as, maybe_same;
        for (size_t k : keep) {
            FileStatus st;
            bool found = file_status(g.files[k], &st);
            const std::string shown = out.show(g.files[k]);
            if (found && same_file(st, copy)) {
                same_as = shown;
                break;
            }
            if (found && maybe_same.empty()) maybe_same = stacked_problem(shown, st, copy);
            // A kept link (an interactive choice) stays, but what it points
            // to cannot vouch for removing a real file.
            std::string p = link_problem(g.files[k], roots);
            if (!p.empty()) p = "kept file " + shown + " is " + p;
            else p = kept_problem(shown, &st, found, g.size);
            if (p.empty()) {
                bool better = !reference || (action != Action::Delete && reference_st.device != copy.device &&
                                             st.device == copy.device);
                if (better) {
                    reference = &g.files[k];
                    reference_st = st;
                }
            } else if (problem.empty()) {
                problem = p;
            }
        }
        if (!same_as.empty()) {
            out.line("kept:", path, "same file as kept " + same_as);
            continue;
        }
        if (!maybe_same.empty()) {
            out.leave(r, path, maybe_same);
            continue;
        }
        if (!reference) {
            out.leave(r, path, problem);
            continue;
        }
        const std::string kept_shown = out.show(*reference);

        // A link cannot cross file systems, nor can extents be shared
        // across them.
        if (action != Action::Delete && reference_st.device != copy.device) {
            out.leave(r, path, "on another file system than kept " + kept_shown);
            continue;
        }
        uint64_t &acted = r->acted[{copy.device, copy.inode}];
        if (action == Action::Reflink) {
            // Once through one of its names a file shares the extents
            // through all of them; the space comes back once.
            if (acted > 0) {
                out.line("kept:", path, "another name of a file shared above");
                continue;
            }
            if (extents_shared(*reference, path) == 1) {
                out.line("kept:", path, "already shares its extents with kept " + kept_shown);
                continue;
            }
            // Whether the file system can share extents at all is asked
            // without changing anything, so that the plan and a dry run say
            // what the act would.
            if (pass != Pass::Act) {
                ActResult probe =
                    share_extents(rooted(*reference, roots), reference_st, rooted(path, roots), copy, true);
                if (probe.outcome != ActResult::Done) {
                    out.leave(r, path, act_reason(probe, kept_shown));
                    continue;
                }
            }
        }

        ReadFailure failure;
        int same = pass == Pass::Plan ? 1 : files_identical(*reference, path, g.size, &failure);
        if (same < 0) {
            std::string why = failure.step + " " + out.show(failure.file == 0 ? *reference : path);
            out.leave(r, path, failure.reason.empty() ? why : why + ": " + failure.reason);
            continue;
        }
        if (same == 0) {
            out.leave(r, path, "content differs from kept " + kept_shown);
            continue;
        }

        // Only the last link of a file gives its space back, whether the
        // name is removed or linked over. A pass that changes nothing counts
        // the names it would have acted on already.
        int64_t frees;
        if (action == Action::Reflink) {
            frees = g.size;
        } else {
            uint64_t links = pass == Pass::Act ? copy.links : copy.links - std::min(acted, copy.links);
            frees = links <= 1 ? g.size : 0;
        }
        if (pass != Pass::Act) {
            out.line(out.words.would, path);
            ++acted;
            ++r->done;
            r->freed += frees;
            continue;
        }

        if (action == Action::Delete) {
            int rc = dupfind_delete_file(path.c_str());
            if (rc == 1) {
                out.line(out.words.done, path);
                ++acted;
                ++r->done;
                r->freed += frees;
            } else {
                std::string text = dupfind_last_error();
                std::fflush(stdout);
                std::fprintf(stderr, "dupfind: cannot remove %s: %s\n", out.show(path).c_str(), text.c_str());
                r->library_failed = true;
                out.leave(r, path, text);
            }
            continue;
        }

        // The library's guard does not cover these acts: the tool reaches
        // both files through their directories from the root, and the
        // platform layer checks them once more right before it acts.
        ActResult res = action == Action::Link
                            ? link_over(rooted(*reference, roots), reference_st, rooted(path, roots), copy)
                            : share_extents(rooted(*reference, roots), reference_st, rooted(path, roots), copy,
                                            false);
        if (res.outcome == ActResult::Done) {
            out.line(out.words.done, path);
            ++acted;
            ++r->done;
            r->freed += frees;
            continue;
        }
        std::string why = act_reason(res, kept_shown);
        if (res.outcome == ActResult::Failed) {
            std::fflush(stdout);
            std::fprintf(stderr, "dupfind: cannot %s %s: %s\n", action == Action::Link ? "link" : "share extents of",
                         out.show(path).c_str(), why.c_str());
            r->library_failed = true;
        }
        out.leave(r, path, why);
    }
}

void print_report(const RemovalReport &r, const RootSet &roots, Action action, bool dry_run) {
    const std::string files = count_of(r.done, "file", "files");
    const std::string freed = human_size(r.freed);
    const char *what = action == Action::Link      ? "replaced by hard links"
                       : action == Action::Reflink ? "deduplicated in place"
                                                   : "removed";
    if (dry_run)
        std::printf("Dry run: %s would be %s, %s would be freed; nothing was %s\n", files.c_str(), what,
                    freed.c_str(), action == Action::Delete ? "removed" : "changed");
    else
        std::printf("%s %s, %s freed\n", files.c_str(), what, freed.c_str());
    // The copies that were meant to go and stay, each with its problem.
    std::printf("%s %s because of a problem%s\n",
                count_of(static_cast<int64_t>(r.left.size()), "file", "files").c_str(),
                dry_run ? "would be kept" : "kept", r.left.empty() ? "" : ":");
    for (const LeftFile &f : r.left) std::printf("  %s: %s\n", roots.show(f.path).c_str(), f.why.c_str());
    if (r.interrupted) std::printf("Interrupted: the remaining files were not processed\n");
}

}  // namespace dfcli
