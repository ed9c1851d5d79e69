#include "remove.h"

#include <algorithm>
#include <cstdio>

#include "dupfind.h"
#include "format.h"
#include "platform.h"

namespace dfcli {

namespace {

void print_line(bool quiet, const char *label, const std::string &path, const std::string &why = "") {
    if (quiet) return;
    if (why.empty()) std::printf("  %-13s %s\n", label, path.c_str());
    else std::printf("  %-13s %s (%s)\n", label, path.c_str(), why.c_str());
}

void leave(RemovalReport *r, bool quiet, const std::string &path, const std::string &why) {
    print_line(quiet, "left:", path, why);
    r->left.push_back({path, why});
}

// Why a kept file cannot vouch for the copies any more, or "" when it can.
std::string kept_problem(const std::string &path, const FileStatus *st, bool found, int64_t size) {
    if (!found) return "kept file " + path + " no longer exists";
    if (!st->regular) return "kept file " + path + " is no longer a regular file";
    if (st->size != size) return "kept file " + path + " changed size since the scan";
    return "";
}

// Why a kept file and a copy on different devices might still be one file,
// or "" when they cannot be: a stacked file system (an overlay, a FUSE
// passthrough) shows files of another one under a device number of its own,
// so different numbers prove nothing once either side is on one. Removing
// the copy could then remove the very data that the kept path shows.
std::string stacked_problem(const std::string &kept_path, const FileStatus &kept, const FileStatus &copy) {
    if (kept.device == copy.device) return "";
    if (kept.stacked)
        return "kept file " + kept_path + " is on a stacked file system (" + kept.stacked +
               ") and may be this copy seen through it";
    if (copy.stacked)
        return std::string("on a stacked file system (") + copy.stacked + ") and may be kept file " + kept_path +
               " seen through it";
    return "";
}

}  // namespace

int choose_keeper(const Group &g, Keep policy, std::string *why) {
    if (g.files.empty()) {
        *why = "the group lists no file";
        return -1;
    }
    switch (policy) {
    case Keep::First:
        return 0;
    case Keep::ShortestPath: {
        size_t best = 0;
        for (size_t i = 1; i < g.files.size(); ++i)
            if (g.files[i].size() < g.files[best].size()) best = i;
        return static_cast<int>(best);
    }
    case Keep::Newest:
    case Keep::Oldest: {
        int best = -1;
        int64_t best_time = 0;
        for (size_t i = 0; i < g.files.size(); ++i) {
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

void remove_copies(const Group &g, const std::vector<size_t> &keep, bool dry_run, bool quiet,
                   RemovalReport *r) {
    auto kept = [&](size_t i) { return std::find(keep.begin(), keep.end(), i) != keep.end(); };
    if (keep.empty()) {  // never read "keep nothing" as "remove everything"
        for (const std::string &path : g.files) leave(r, quiet, path, "no file chosen to keep");
        return;
    }
    for (size_t i : keep) print_line(quiet, "kept:", g.files[i]);

    for (size_t i = 0; i < g.files.size(); ++i) {
        if (kept(i)) continue;
        const std::string &path = g.files[i];
        if (interrupted()) {
            r->interrupted = true;
            leave(r, quiet, path, "not processed: interrupted");
            continue;
        }

        FileStatus copy;
        if (!file_status(path, &copy)) {
            leave(r, quiet, path, "no longer exists");
            continue;
        }
        if (!copy.regular) {
            leave(r, quiet, path, "no longer a regular file");
            continue;
        }
        if (copy.size != g.size) {
            leave(r, quiet, path, "size changed since the scan");
            continue;
        }

        // Every kept file is looked at again now: the copy must be none of
        // them (the same path listed twice, a path through a linked
        // directory, a hard link, a file seen through a stacked file
        // system), and the first one that still matches the group is the one
        // whose bytes the copy must have.
        const std::string *reference = nullptr;
        std::string problem, same_as, maybe_same;
        for (size_t k : keep) {
            FileStatus st;
            bool found = file_status(g.files[k], &st);
            if (found && same_file(st, copy)) {
                same_as = g.files[k];
                break;
            }
            if (found && maybe_same.empty()) maybe_same = stacked_problem(g.files[k], st, copy);
            std::string p = kept_problem(g.files[k], &st, found, g.size);
            if (p.empty()) {
                if (!reference) reference = &g.files[k];
            } else if (problem.empty()) {
                problem = p;
            }
        }
        if (!same_as.empty()) {
            leave(r, quiet, path, "same file as kept " + same_as);
            continue;
        }
        if (!maybe_same.empty()) {
            leave(r, quiet, path, maybe_same);
            continue;
        }
        if (!reference) {
            leave(r, quiet, path, problem);
            continue;
        }

        std::string read_error;
        int same = files_identical(*reference, path, g.size, &read_error);
        if (same < 0) {
            leave(r, quiet, path, read_error);
            continue;
        }
        if (same == 0) {
            leave(r, quiet, path, "content differs from kept " + *reference);
            continue;
        }

        // Only the last link of a file gives its space back.
        int64_t frees = copy.links <= 1 ? g.size : 0;
        if (dry_run) {
            print_line(quiet, "would remove:", path);
            ++r->removed;
            r->freed += frees;
            continue;
        }
        int rc = dupfind_delete_file(path.c_str());
        if (rc == 1) {
            print_line(quiet, "removed:", path);
            ++r->removed;
            r->freed += frees;
        } else {
            std::string text = dupfind_last_error();
            std::fflush(stdout);
            std::fprintf(stderr, "dupfind: cannot remove %s: %s\n", path.c_str(), text.c_str());
            r->library_failed = true;
            leave(r, quiet, path, text);
        }
    }
}

void print_report(const RemovalReport &r, bool dry_run) {
    if (dry_run)
        std::printf("Dry run: %s would be removed, %s would be freed; nothing was removed\n",
                    count_of(r.removed, "file", "files").c_str(), human_size(r.freed).c_str());
    else
        std::printf("%s removed, %s freed\n", count_of(r.removed, "file", "files").c_str(),
                    human_size(r.freed).c_str());
    std::printf("%s left%s\n", count_of(static_cast<int64_t>(r.left.size()), "file", "files").c_str(),
                r.left.empty() ? "" : ":");
    for (const LeftFile &f : r.left) std::printf("  %s: %s\n", f.path.c_str(), f.why.c_str());
    if (r.interrupted) std::printf("Interrupted: the remaining files were not processed\n");
}

}  // namespace dfcli
