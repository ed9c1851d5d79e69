// SPDX-License-Identifier: MIT
#include "decision.h"

#include <algorithm>

#include "format.h"

namespace dfcli {

namespace {

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

// Why a kept file cannot vouch for the copies any more, or "" when it can.
std::string kept_problem(const std::string &shown, const FileStatus &st, bool found, int64_t size) {
    if (!found) return "kept file " + shown + " no longer exists";
    if (!st.regular) return "kept file " + shown + " is no longer a regular file";
    if (st.size != size) return "kept file " + shown + " changed size since the scan";
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

// The file the rules keep, with the rule's words, or none (-1, *why) when
// the group offers none. Only files reached without a link are candidates.
int choose_keeper(const Group &g, const RootSet &roots, const Rules &rules, std::string *rule, std::string *why,
                  bool *awaits_keep) {
    std::vector<size_t> candidates;
    for (size_t i = 0; i < g.files.size(); ++i)
        if (link_problem(g.files[i], roots).empty()) candidates.push_back(i);
    if (candidates.empty()) {
        *why = g.files.empty() ? "the group lists no file" : "no file of the group is reached without a symbolic link";
        return -1;
    }
    switch (rules.keep) {
    case Keep::First: {
        // A file under no root (which the walk does not give) ranks last.
        auto rank = [&](size_t i) {
            int root = roots.place(g.files[i]).root;
            return root < 0 ? roots.roots().size() : static_cast<size_t>(root);
        };
        size_t best = candidates[0], best_rank = rank(best), ties = 0;
        bool one_root = true;
        for (size_t i : candidates) {
            size_t r = rank(i);
            if (r != rank(candidates[0])) one_root = false;
            if (r < best_rank) {
                best = i;
                best_rank = r;
            }
        }
        for (size_t i : candidates) ties += rank(i) == best_rank ? 1u : 0u;
        if (one_root && candidates.size() > 1 && !rules.keep_given) {
            const size_t root = std::min(best_rank, roots.roots().size() - 1);
            *why = "all below one DIR (" + quoted_path(roots.roots()[root].shown) +
                   "), where only path order would choose the file to keep: give --keep";
            *awaits_keep = true;
            return -1;
        }
        *rule = one_root ? "first in path order" : ties > 1 ? "first DIR given, then path order" : "first DIR given";
        return static_cast<int>(best);
    }
    case Keep::ShortestPath: {
        size_t best = candidates[0];
        for (size_t i : candidates)
            if (roots.display(g.files[i]).size() < roots.display(g.files[best]).size()) best = i;
        *rule = "shortest path";
        return static_cast<int>(best);
    }
    case Keep::Newest:
    case Keep::Oldest: {
        int best = -1;
        int64_t best_time = 0;
        for (size_t i : candidates) {
            FileStatus st;
            if (!file_status(g.files[i], &st) || !st.regular) continue;
            bool better = rules.keep == Keep::Newest ? st.mtime_ns > best_time : st.mtime_ns < best_time;
            if (best < 0 || better) {
                best = static_cast<int>(i);
                best_time = st.mtime_ns;
            }
        }
        if (best < 0) *why = "no file of the group exists any more";
        *rule = rules.keep == Keep::Newest ? "newest" : "oldest";
        return best;
    }
    }
    return -1;
}

FileVerdict keep_as(const std::string &note) {
    FileVerdict v;
    v.verdict = Verdict::Keep;
    v.note = note;
    return v;
}

FileVerdict leave(const std::string &why) {
    FileVerdict v;
    v.note = why;
    return v;
}

// The verdict on one file that is not among the kept ones.
FileVerdict judge(const Group &g, size_t i, const Decision &d, const RootSet &roots, const Rules &rules,
                  const Acted &acted, bool links_current, Acted *local) {
    const std::string &path = g.files[i];
    const Action action = rules.action;

    // A link, or a path through a linked directory, may lead to a file
    // outside the roots or to another path of this group; it is never
    // removed or replaced, and not even offered to the library.
    std::string linked = link_problem(path, roots);
    if (!linked.empty()) return leave(linked + (action == Action::Delete ? ", never removed" : ", never replaced"));
    // A reference file stays whatever was chosen, an interactive answer
    // included.
    if (roots.has_reference() && roots.place(path).reference) return keep_as("reference");

    FileStatus copy;
    if (!file_status(path, &copy)) return leave("no longer exists");
    if (!copy.regular) return leave("no longer a regular file");
    if (copy.size != g.size) return leave("size changed since the scan");

    // Every kept file is looked at again now: the copy must be none of them
    // (the same path listed twice, a path through a linked directory, a hard
    // link, a file seen through a stacked file system), and a kept file that
    // still matches the group is the one whose bytes the copy must have: the
    // first, or for a link or shared extents the first on the copy's file
    // system.
    int source = -1;
    FileStatus source_st;
    std::string problem, maybe_same;
    for (size_t k : d.keep) {
        FileStatus st;
        bool found = file_status(g.files[k], &st);
        const std::string shown = roots.show(g.files[k]);
        if (found && same_file(st, copy)) return keep_as("same file as kept " + shown);
        if (found && maybe_same.empty()) maybe_same = stacked_problem(shown, st, copy);
        // A kept link (an interactive choice) stays, but what it points to
        // cannot vouch for removing a real file.
        std::string p = link_problem(g.files[k], roots);
        if (!p.empty()) p = "kept file " + shown + " is " + p;
        else p = kept_problem(shown, st, found, g.size);
        if (p.empty()) {
            bool better = source < 0 ||
                          (action != Action::Delete && source_st.device != copy.device && st.device == copy.device);
            if (better) {
                source = static_cast<int>(k);
                source_st = st;
            }
        } else if (problem.empty()) {
            problem = p;
        }
    }
    if (!maybe_same.empty()) return leave(maybe_same);
    if (source < 0) return leave(problem);
    const std::string &kept_path = g.files[static_cast<size_t>(source)];
    const std::string kept_shown = roots.show(kept_path);

    // A link cannot cross file systems, nor can extents be shared across
    // them.
    if (action != Action::Delete && source_st.device != copy.device)
        return leave("on another file system than kept " + kept_shown);

    const std::pair<uint64_t, uint64_t> id{copy.device, copy.inode};
    auto count = [](const Acted &m, const std::pair<uint64_t, uint64_t> &key) {
        auto it = m.find(key);
        return it == m.end() ? uint64_t{0} : it->second;
    };
    const uint64_t before = count(acted, id), here = count(*local, id);
    FileVerdict v;
    v.verdict = Verdict::Act;
    v.source = static_cast<size_t>(source);
    v.copy = copy;
    v.kept = source_st;
    if (action == Action::Reflink) {
        // Once through one of its names a file shares the extents through
        // all of them; the space comes back once.
        if (before + here > 0) return keep_as("another name of a file shared above");
        // Small files that a file system keeps inline in its metadata have
        // no extents: the dedupe call may report them shared, yet nothing
        // is shared and nothing freed, on every run. They stay, and that is
        // no fault.
        if (extents_inline(path) == 1) return keep_as("stored inline: cannot share extents");
        if (extents_inline(kept_path) == 1)
            return keep_as("kept file " + kept_shown + " is stored inline: cannot share extents");
        if (extents_shared(kept_path, path) == 1) return keep_as("already shares its extents with kept " + kept_shown);
        // Whether the file system can share extents at all is asked without
        // changing anything, so that the plan and a dry run say what the act
        // would.
        ActResult probe = share_extents(rooted(kept_path, roots), source_st, rooted(path, roots), copy, true);
        if (probe.outcome != ActResult::Done) return leave(act_reason(probe, kept_shown));
        v.frees = g.size;
    } else {
        // Only the last link of a file gives its space back, whether the name
        // is removed or linked over. Names acted on before this decision
        // count off the link count read now unless it shows them already.
        uint64_t gone = here + (links_current ? 0 : before);
        uint64_t links = copy.links - std::min(gone, copy.links);
        v.frees = links <= 1 ? g.size : 0;
    }
    if (action == Action::Link) {
        v.metadata = metadata_difference(kept_path, path);
        if (!v.metadata.empty() && !rules.accept_metadata)
            return leave("a hard link would change its " + v.metadata + " (to those of kept " + kept_shown +
                         "); --allow-metadata-change accepts that");
    }
    ++(*local)[id];
    return v;
}

}  // namespace

std::string link_problem(const std::string &path, const RootSet &roots) {
    size_t begin;
    return link_problem_at(path, roots, &begin);
}

std::string act_reason(const ActResult &res, const std::string &kept_shown) {
    switch (res.cause) {
    case ActResult::Differs: return "content differs from kept " + kept_shown;
    case ActResult::OtherFileSystem: return "on another file system than kept " + kept_shown;
    case ActResult::OtherMount:
        return "reached through another mount point than kept " + kept_shown + ", where a hard link cannot be made";
    case ActResult::KeptChanged: return "kept file " + kept_shown + " changed since it was checked";
    case ActResult::Other: break;
    }
    return res.why;
}

RootedPath rooted(const std::string &path, const RootSet &roots) {
    size_t begin = 0;
    link_problem_at(path, roots, &begin);
    // A file given by its bare name is reached from the current directory.
    if (begin == 0) return {".", path};
    return {path.substr(0, begin), path.substr(begin)};
}

Decision decide(const Group &g, const std::vector<size_t> *chosen, const RootSet &roots, const Rules &rules,
                const Acted &acted, bool links_current) {
    Decision d;
    d.files.resize(g.files.size());
    std::string rule, why;
    if (chosen) {
        d.keep = *chosen;
        rule = "chosen";
    } else {
        if (roots.has_reference())
            for (size_t i = 0; i < g.files.size(); ++i)
                if (roots.place(g.files[i]).reference) d.keep.push_back(i);
        if (!d.keep.empty()) {
            rule = "reference";
        } else {
            int k = choose_keeper(g, roots, rules, &rule, &why, &d.awaits_keep);
            if (k >= 0) d.keep.push_back(static_cast<size_t>(k));
        }
    }
    // Never read "keep nothing" as "remove everything".
    if (d.keep.empty()) {
        for (FileVerdict &v : d.files) v = leave(why.empty() ? "no file chosen to keep" : why);
        return d;
    }
    for (size_t k : d.keep)
        if (k < d.files.size()) d.files[k] = keep_as(rule);
    Acted local;
    for (size_t i = 0; i < g.files.size(); ++i) {
        if (std::find(d.keep.begin(), d.keep.end(), i) != d.keep.end()) continue;
        d.files[i] = judge(g, i, d, roots, rules, acted, links_current, &local);
    }
    return d;
}

}  // namespace dfcli
