// SPDX-License-Identifier: MIT
#include "act.h"

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

// Text of one group's execution, with every path shown as the user
// reaches it.
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

    // A failure of the system or the library, also told on stderr.
    void fail(RemovalReport *r, const char *verb, const std::string &path, const std::string &why) const {
        std::fflush(stdout);
        std::fprintf(stderr, "dupfind: cannot %s %s: %s\n", verb, show(path).c_str(), why.c_str());
        r->library_failed = true;
        leave(r, path, why);
    }
};

// Files held open for one copy's comparison and act, closed on every path.
struct Held {
    HeldFile kept, copy;
    ~Held() {
        release_file(&kept);
        release_file(&copy);
    }
};

// The held file is the one the decision looked at, unchanged since.
bool as_decided(const HeldFile &h, const FileStatus &st, bool ctime_too) {
    return same_file(h.st, st) && h.st.size == st.size && h.st.mtime_ns == st.mtime_ns &&
           (!ctime_too || h.st.ctime_ns == st.ctime_ns);
}

const char *verb_of(Action action) {
    return action == Action::Link ? "link" : action == Action::Reflink ? "share extents of" : "remove";
}

// Removes the compared copy: its name moves to a private one in the same
// directory, where it must still be the held file, and the library's
// guarded delete removes it under that name. A file that took the copy's
// name meanwhile is never touched, and a copy that the library would not
// remove gets its name back.
ActResult remove_compared(const RootedPath &where, HeldFile *copy) {
    std::string aside;
    ActResult moved = move_aside(where, *copy, &aside);
    if (moved.outcome != ActResult::Done) return moved;
    // The library's delete opens the entry itself; on some systems no handle
    // of the tool may stay open on it.
    release_file(copy);
    if (dupfind_delete_file(aside.c_str()) == 1) return moved;
    ActResult failed{ActResult::Failed, ActResult::Other, dupfind_last_error()};
    std::string why;
    if (!put_back(where, aside, &why)) failed.why += "; " + why;
    return failed;
}

// Removes a compared copy that was given as a DIR of its own. The library
// admits no other name for such a file than its own, so it cannot go by a
// private name: the name is opened again through its directory, without
// following a link, and must still lead to the held file, unchanged. The
// library's guarded delete then removes it only if the name still leads to
// the file its scan was given, and puts it out of others' reach before it
// looks, so a file renamed over the name at any moment stays; its refusal
// as outside the roots says the name leads to another file by then.
ActResult remove_own_root(const RootedPath &where, const std::string &path, HeldFile *copy) {
    constexpr const char *replaced = "replaced by another file after the comparison";
    HeldFile again;
    ActResult opened = hold_file(where, &again);
    const bool same = opened.outcome == ActResult::Done && same_file(again.st, copy->st) && held_unchanged(*copy) &&
                      again.st.ctime_ns == copy->st.ctime_ns;
    release_file(&again);
    if (opened.outcome != ActResult::Done) return opened;
    if (!same) return {ActResult::Left, ActResult::Other, replaced};
    release_file(copy);
    const int removed = dupfind_delete_file(path.c_str());
    if (removed == 1) return {ActResult::Done, ActResult::Other, ""};
    const std::string why = dupfind_last_error();
    if (removed == 0 && why == "refused: outside scanned roots") return {ActResult::Left, ActResult::Other, replaced};
    return {ActResult::Failed, ActResult::Other, why};
}

// Whether the copy is reached from a directory given, not only from itself
// given as a DIR of its own: the library then admits a private name beside
// it, and the removal goes by one as for every other copy.
bool reached_from_a_directory(const RootedPath &at, const RootSet &roots) {
    std::string root = at.root;
    if (root.size() > 1 && root.back() == '/') root.pop_back();
    for (size_t i : roots.roots_sent_as(root))
        if (!roots.roots()[i].file) return true;
    return false;
}

}  // namespace

const char *not_done_label(Action action) { return words(action).not_done; }

void execute(const Group &g, const Decision &d, const RootSet &roots, Action action, Pass pass, bool quiet,
             RemovalReport *r) {
    const Printer out{roots, quiet || pass == Pass::Plan, words(action)};
    if (d.keep.empty()) {  // the group is left whole, for one reason, told once
        for (size_t i = 0; i < g.files.size(); ++i) {
            out.line(out.words.not_done, g.files[i]);
            r->left.push_back({g.files[i], d.files[i].note, true, d.awaits_keep});
        }
        if (!out.quiet && !d.files.empty()) std::printf("  %-13s %s\n", "", d.files[0].note.c_str());
        return;
    }
    for (size_t k : d.keep)
        if (k < g.files.size()) out.line("kept:", g.files[k], d.files[k].note);

    for (size_t i = 0; i < g.files.size(); ++i) {
        const FileVerdict &v = d.files[i];
        const std::string &path = g.files[i];
        if (std::find(d.keep.begin(), d.keep.end(), i) != d.keep.end()) continue;
        if (v.verdict == Verdict::Keep) {
            out.line("kept:", path, v.note);
            continue;
        }
        if (v.verdict == Verdict::Leave) {
            out.leave(r, path, v.note);
            continue;
        }
        if (pass != Pass::Plan && interrupted()) {
            r->interrupted = true;
            out.leave(r, path, "not processed: interrupted");
            continue;
        }
        const std::string &kept_path = g.files[v.source];
        const std::string kept_shown = out.show(kept_path);
        const std::string changes = v.metadata.empty() ? "" : v.metadata + " change";
        uint64_t &acted = r->acted[{v.copy.device, v.copy.inode}];
        auto count = [&](const char *label, int64_t frees) {
            out.line(label, path, changes);
            if (!v.metadata.empty()) r->metadata.push_back({path, v.metadata});
            ++acted;
            ++r->done;
            r->done_paths.push_back(path);
            r->freed += frees;
        };
        if (pass == Pass::Plan) {
            count(out.words.would, v.frees);
            continue;
        }

        // Both files are held open from here on: the bytes compared are those
        // of the files the decision looked at, and the act checks that the
        // copy's name still leads to the very file compared.
        Held held;
        const RootedPath kept_at = rooted(kept_path, roots), copy_at = rooted(path, roots);
        ActResult opened = hold_file(kept_at, &held.kept);
        if (opened.outcome == ActResult::Failed) {
            out.fail(r, verb_of(action), path, "kept file " + kept_shown + ": " + opened.why);
            continue;
        }
        if (opened.outcome != ActResult::Done || !as_decided(held.kept, v.kept, false)) {
            out.leave(r, path, "kept file " + kept_shown + " changed since it was checked");
            continue;
        }
        opened = hold_file(copy_at, &held.copy);
        if (opened.outcome == ActResult::Failed) {
            out.fail(r, verb_of(action), path, opened.why);
            continue;
        }
        // Removing another name of the copy earlier in the group moved its
        // change time; otherwise any change since the decision leaves it.
        if (opened.outcome != ActResult::Done || !as_decided(held.copy, v.copy, acted == 0)) {
            out.leave(r, path, opened.outcome == ActResult::Done ? "changed since it was checked" : opened.why);
            continue;
        }
        ReadFailure failure;
        int same = contents_identical(held.kept, held.copy, g.size, &failure);
        if (same < 0) {
            std::string why = failure.step + " " + out.show(failure.file == 0 ? kept_path : path);
            out.leave(r, path, failure.reason.empty() ? why : why + ": " + failure.reason);
            continue;
        }
        if (same == 0) {
            out.leave(r, path, "content differs from kept " + kept_shown);
            continue;
        }
        if (!held_unchanged(held.copy) || !held_unchanged(held.kept)) {
            out.leave(r, path, "changed while it was compared");
            continue;
        }
        if (pass == Pass::DryRun) {
            count(out.words.would, v.frees);
            continue;
        }

        // Only the last name of a file gives its space back; the held copy's
        // link count shows the names that earlier acts of the run took.
        const int64_t frees = action == Action::Reflink ? g.size : held.copy.st.links <= 1 ? g.size : 0;
        ActResult res;
        std::string leftover;
        switch (action) {
        case Action::Link: res = link_over(kept_at, held.kept, copy_at, held.copy, &leftover); break;
        // The kernel compares the bytes itself under lock before it shares.
        case Action::Reflink: res = share_extents(kept_at, v.kept, copy_at, v.copy, false); break;
        default:
            res = roots.roots_sent_as(path).empty() || reached_from_a_directory(copy_at, roots)
                      ? remove_compared(copy_at, &held.copy)
                      : remove_own_root(copy_at, path, &held.copy);
            break;
        }
        if (!leftover.empty()) {
            r->leftover.push_back(leftover);
            r->library_failed = true;
        }
        if (res.outcome == ActResult::Done) {
            count(out.words.done, frees);
            continue;
        }
        const std::string why = act_reason(res, kept_shown);
        if (res.outcome == ActResult::Failed) out.fail(r, verb_of(action), path, why);
        else out.leave(r, path, why);
    }
}

bool left_for_a_problem(const RemovalReport &r, bool dry_run) {
    if (r.library_failed) return true;
    for (const LeftFile &f : r.left)
        if (!dry_run || !f.awaits_keep) return true;
    return false;
}

void print_report(const RemovalReport &r, const RootSet &roots, Action action, bool dry_run) {
    const std::string files = count_of(r.done, "file", "files");
    const std::string freed = human_size(r.freed);
    const char *what = action == Action::Link      ? "replaced by hard links"
                       : action == Action::Reflink ? "deduplicated in place"
                                                   : "removed";
    if (dry_run)
        std::printf("Dry run: %s would be %s, %s would be freed; nothing was %s\n", files.c_str(), what, freed.c_str(),
                    action == Action::Delete ? "removed" : "changed");
    else std::printf("%s %s, %s freed\n", files.c_str(), what, freed.c_str());
    // The copies that were meant to go and stay, each with its problem; a
    // clean run says nothing of them.
    if (!r.left.empty())
        std::printf("%s %s because of a problem:\n",
                    count_of(static_cast<int64_t>(r.left.size()), "file", "files").c_str(),
                    dry_run ? "would be kept" : "kept");
    // The reason of groups left whole is told once, above their files.
    for (size_t i = 0; i < r.left.size();) {
        size_t end = i + 1;
        while (r.left[i].whole_group && end < r.left.size() && r.left[end].whole_group &&
               r.left[end].why == r.left[i].why)
            ++end;
        if (end - i == 1) {
            std::printf("  %s: %s\n", roots.show(r.left[i].path).c_str(), r.left[i].why.c_str());
        } else {
            std::printf("  %s:\n", r.left[i].why.c_str());
            for (; i < end; ++i) std::printf("    %s\n", roots.show(r.left[i].path).c_str());
        }
        i = end;
    }
    if (!r.metadata.empty()) {
        std::printf("%s %s the kept file's owner, permissions or attributes:\n",
                    count_of(static_cast<int64_t>(r.metadata.size()), "name", "names").c_str(),
                    dry_run ? "would take" : "took");
        for (const LeftFile &f : r.metadata) std::printf("  %s: %s\n", roots.show(f.path).c_str(), f.why.c_str());
    }
    if (!r.leftover.empty()) {
        std::printf("Names left behind that could not be removed:\n");
        for (const std::string &n : r.leftover) std::printf("  %s\n", quoted_path(n).c_str());
    }
    if (r.interrupted) std::printf("Interrupted: the remaining files were not processed\n");
}

}  // namespace dfcli
