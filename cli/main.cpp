// SPDX-License-Identifier: MIT
// dupfind: finds files with identical content below the given directories,
// and removes the redundant copies on request, through the library's public
// interface only.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "act.h"
#include "decision.h"
#include "dupfind.h"
#include "format.h"
#include "groups.h"
#include "interactive.h"
#include "listing.h"
#include "options.h"
#include "platform.h"
#include "results_text.h"
#include "root_set.h"
#include "scan_request.h"
#include "sorting.h"
#include "ui/server.h"
#include "when.h"

#ifndef DUPFIND_VERSION
#  define DUPFIND_VERSION "unknown"
#endif

namespace dfcli {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

// The system's reason for the first write to standard output that failed,
// or 0. A later flush of a stream whose error flag is set fails without a
// reason of its own.
int g_write_errno = 0;

// Writes text to standard output, noting why when it cannot.
void put(const char *data, size_t size) {
    errno = 0;
    if (std::fwrite(data, 1, size, stdout) != size && g_write_errno == 0) g_write_errno = errno;
}

void put(const std::string &text) { put(text.data(), text.size()); }

struct LibraryString {
    void operator()(char *p) const { dupfind_free_string(p); }
};

// Polls the scan until it reaches 100 or -1, drawing the progress bar when
// asked to. A Ctrl-C is passed on to the library as a cancel request; the
// scan then still ends through the library. On -1 *error receives the
// scan's text.
int wait_for_scan(int id, bool show_progress, std::string *error) {
    bool cancel_sent = false;
    int shown = -2;
    long long shown_second = -1;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::microseconds pause(500);
    for (;;) {
        if (interrupted() && !cancel_sent) {
            dupfind_cancel(id);
            cancel_sent = true;
        }
        int p = dupfind_scan_progress(id);
        if (p < 0) *error = dupfind_last_error();
        if (show_progress && p >= 0 && p < 100) {
            // Redrawn when the percentage moves and every second, so that
            // the elapsed time keeps counting through a long stage; the
            // line is cleared first, as a shorter line would leave the end
            // of the one before.
            double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            long long second = static_cast<long long>(elapsed);
            if (p != shown || second != shown_second) {
                std::fprintf(stderr, "\r\033[K%s", progress_line(p, elapsed).c_str());
                std::fflush(stderr);
                shown = p;
                shown_second = second;
            }
        }
        if (p == 100 || p < 0) {
            if (show_progress && shown != -2) {
                std::fputs("\r\033[K", stderr);  // clear the bar's line
                std::fflush(stderr);
            }
            return p;
        }
        // Short pauses at first, so that a small scan is reported as soon as
        // it is done; longer ones later, so that a long scan costs nothing.
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
}

// A root that could not be scanned at all would otherwise pass unnoticed in
// the summary's count of skipped entries. A root whose directory the walk
// had entered already by another root (given twice, inside another, a
// second link to it) was scanned, under the other name: no warning. An
// entry below another root may carry a root's name as well, so each
// skipped entry accounts for one root only.
// With an action, such a root stops the run before anything changes: a
// typing error in a --reference directory would otherwise leave the files
// the user meant to protect unprotected. Returns how many there were.
size_t warn_unscanned_roots(const RootSet &roots, const Results &r, bool acting) {
    std::vector<bool> warned(roots.roots().size(), false);
    size_t count = 0;
    for (const Skipped &s : r.skipped) {
        // A root the cap kept from the walk is told by the cap's warning.
        if (s.reason == "already_scanned" || s.reason == "max_files_reached") continue;
        for (size_t i : roots.roots_sent_as(s.path)) {
            if (warned[i]) continue;
            warned[i] = true;
            ++count;
            std::fprintf(stderr, "dupfind: %s%s%s could not be scanned: %s\n",
                         acting ? "" : "warning: ", roots.roots()[i].reference ? "reference directory " : "",
                         quoted_path(roots.roots()[i].typed).c_str(), s.reason.c_str());
            break;
        }
    }
    return count;
}

// Entries below the DIRs that could not be read leave holes in the results
// that the user should hear about, as every other tool of this kind tells
// them; a DIR itself that could not be scanned has its own warning. The
// exit status stays 0: the rest of the tree was compared.
void warn_unreadable(const RootSet &roots, const Results &r) {
    std::vector<const Skipped *> found;
    for (const Skipped &s : r.skipped)
        if (unreadable_text(s.reason) && roots.roots_sent_as(s.path).empty()) found.push_back(&s);
    if (found.empty()) return;
    std::sort(found.begin(), found.end(), [](const Skipped *a, const Skipped *b) { return a->path < b->path; });
    constexpr size_t kShown = 5;
    std::fprintf(stderr, "dupfind: warning: %s could not be read:\n",
                 count_of(static_cast<int64_t>(found.size()), "entry", "entries").c_str());
    for (size_t i = 0; i < found.size() && i < kShown; i++)
        std::fprintf(stderr, "dupfind:   %s: %s (%s)\n", roots.show(found[i]->path).c_str(),
                     unreadable_text(found[i]->reason), found[i]->reason.c_str());
    if (found.size() > kShown)
        std::fprintf(stderr, "dupfind:   and %zu more (--skipped lists them all)\n", found.size() - kShown);
}

// The entry at which --max-files stopped the walk, or null when the cap left
// nothing out. The library records the file it could not take: the cap
// counts names, and the results count the files behind them once, so their
// count cannot tell.
const Skipped *cap_stop(const Results &r) {
    for (const Skipped &s : r.skipped)
        if (s.reason == "max_files_reached") return &s;
    return nullptr;
}

// A cache that was not used, or not written, costs the next scan its
// speed, never its answer; the user hears why.
void warn_about_cache(const Results &r) {
    for (const Skipped &s : r.skipped) {
        if (s.reason == "cache_ignored")
            std::fprintf(stderr,
                         "dupfind: warning: the cache %s was not used: it cannot be read, or is damaged, or is "
                         "not a cache of this version\n",
                         quoted_path(s.path).c_str());
        else if (s.reason == "cache_not_written")
            std::fprintf(stderr,
                         "dupfind: warning: the cache %s was not updated: another scan updated it meanwhile, or "
                         "it cannot be written\n",
                         quoted_path(s.path).c_str());
    }
}

void warn_if_capped(const Options &o, const RootSet &roots, const Results &r) {
    const Skipped *stop = cap_stop(r);
    if (!stop) return;
    std::fprintf(stderr,
                 "dupfind: warning: the scan reached --max-files %lld at %s: the results cover only the first %lld "
                 "names found\n",
                 static_cast<long long>(o.max_files), roots.show(stop->path).c_str(),
                 static_cast<long long>(o.max_files));
}

// The entries in byte order of their paths, as the library lists them in
// the order its walk met them, which says nothing to a reader and differs
// from one file system to the next. Entries of one path keep their order.
void print_skipped(const RootSet &roots, const Results &r) {
    if (r.skipped.empty()) return;
    std::vector<const Skipped *> sorted;
    for (const Skipped &s : r.skipped) sorted.push_back(&s);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Skipped *a, const Skipped *b) { return a->path < b->path; });
    std::printf("Skipped entries:\n");
    for (const Skipped *s : sorted) std::printf("  %s: %s\n", s->reason.c_str(), roots.show(s->path).c_str());
    std::printf("\n");
}

// A group with what the tool found out about it.
struct Entry {
    const Group *group;
    GroupInfo info;
    std::vector<bool> reference;  // for each name: in a reference directory
    size_t reference_files = 0;   // physical files with a name in one
};

// The files of the group beyond those it keeps: one, or every reference
// file.
size_t duplicates_of(const Entry &e) {
    const size_t kept = std::max<size_t>(1, e.reference_files);
    return e.info.files > kept ? e.info.files - kept : 0;
}

std::string header_of(const Entry &e) { return group_header(*e.group, e.info.files, duplicates_of(e)); }

// The modification time of each name of the group as --times shows it.
std::vector<std::string> name_times(const Entry &e) {
    std::vector<std::string> out;
    for (const NameInfo &n : e.info.names) {
        // Whole seconds, rounded down before 1970 as after.
        const int64_t s = n.mtime_ns / 1000000000 - (n.mtime_ns % 1000000000 < 0 ? 1 : 0);
        out.push_back(n.found ? format_when(s) : "");
    }
    return out;
}

// One line for each path of the group, reference files and names of one
// file marked as such; with times, each after its modification time.
std::vector<std::string> name_lines(const Entry &e, const RootSet &roots, bool times = false) {
    const Group &g = *e.group;
    std::vector<std::string> lines;
    const std::vector<std::string> when = times ? name_times(e) : std::vector<std::string>{};
    for (size_t i = 0; i < g.files.size(); ++i) {
        std::string marks;
        if (e.reference[i]) marks = "reference";
        int same = e.info.names[i].same_as;
        if (same >= 0)
            marks += (marks.empty() ? "" : ", ") + std::string("same file as ") +
                     roots.show(g.files[static_cast<size_t>(same)]);
        const std::string stamp = !times ? "" : when[i].empty() ? "unknown time  " : when[i] + "  ";
        lines.push_back(stamp + roots.show(g.files[i]) + (marks.empty() ? "" : "  (" + marks + ")"));
    }
    return lines;
}

// The groups that the run reports and acts on. A group whose every file is a
// reference file has nothing to remove and is left out; so is, under
// --isolate, a group found below one root only.
std::vector<Entry> examine(const Results &r, const RootSet &roots, bool isolate) {
    std::vector<Entry> out;
    for (const Group &g : r.groups) {
        Entry e{&g, inspect_group(g), std::vector<bool>(g.files.size(), false), 0};
        if (roots.has_reference() || isolate) {
            std::vector<bool> file_is_reference(g.files.size(), false);  // by first name
            std::vector<int> seen;
            for (size_t i = 0; i < g.files.size(); ++i) {
                RootPlace p = roots.place(g.files[i]);
                e.reference[i] = p.reference;
                int first = e.info.names[i].same_as < 0 ? static_cast<int>(i) : e.info.names[i].same_as;
                if (p.reference) file_is_reference[static_cast<size_t>(first)] = true;
                if (p.root >= 0 && std::find(seen.begin(), seen.end(), p.root) == seen.end()) seen.push_back(p.root);
            }
            for (bool b : file_is_reference) e.reference_files += b ? 1 : 0;
            if (e.reference_files > 0 && e.reference_files == e.info.files) continue;
            if (isolate && seen.size() < 2) continue;
        }
        out.push_back(std::move(e));
    }
    return out;
}

// The rules of the run's decisions. A listing tells what removing the
// copies would free.
Rules rules_of(const Options &o) {
    Rules rules;
    rules.action = o.action == Action::None ? Action::Delete : o.action;
    rules.keep = o.keep;
    rules.keep_given = o.keep_given;
    rules.accept_metadata = o.allow_metadata;
    return rules;
}

// The summary's figures. What is reclaimable is what an action by the
// policy would free, counted by the same decision that the action goes by.
// It counts a group below one DIR as if --keep had been given: the space
// its copies hold is there to be reclaimed once the user says which stays.
Summary summarize(const Options &o, const Results &r, const std::vector<Entry> &entries, const RootSet &roots) {
    Summary s;
    RemovalReport plan;
    Rules rules = rules_of(o);
    rules.keep_given = true;
    for (const Entry &e : entries) {
        s.duplicates += static_cast<int64_t>(duplicates_of(e));
        const Decision d = decide(*e.group, nullptr, roots, rules, plan.acted, false);
        execute(*e.group, d, roots, rules.action, Pass::Plan, true, &plan);
    }
    s.groups = static_cast<int64_t>(entries.size());
    s.reclaimable = plan.freed;
    s.scanned = r.scanned_files;
    s.capped = cap_stop(r) != nullptr;
    // The cache's records name the cache file, not an entry of the tree;
    // their warnings tell of them.
    for (const Skipped &k : r.skipped) {
        if (k.reason == "read_failed") ++s.unreadable;
        if (k.reason != "cache_ignored" && k.reason != "cache_not_written") ++s.skipped;
    }
    return s;
}

// The groups in the order that --sort and --reverse ask for.
void sort_entries(const Options &o, std::vector<Entry> *entries) {
    if (o.sort == GroupSort::Found && !o.reverse) return;
    std::vector<GroupKey> keys;
    keys.reserve(entries->size());
    for (const Entry &e : *entries)
        keys.push_back({e.group->size, e.info.files, e.group->files.size(), &e.group->files.front()});
    std::vector<Entry> sorted;
    sorted.reserve(entries->size());
    for (size_t i : group_order(keys, o.sort, o.reverse)) sorted.push_back(std::move((*entries)[i]));
    *entries = std::move(sorted);
}

void print_groups(const RootSet &roots, const std::vector<Entry> &entries, bool times) {
    for (const Entry &e : entries) {
        std::printf("%s\n", header_of(e).c_str());
        for (const std::string &line : name_lines(e, roots, times)) std::printf("%s\n", line.c_str());
        std::printf("\n");
    }
}

// A path that the fdupes format cannot print on a line of its own, of
// those the listing covers, or null. Every name of every group is looked at,
// printed or not, before anything is printed: whether the listing is given
// does not depend on which file --keep picks, and a script never reads part
// of one.
const std::string *unlistable_path(const Options &o, const RootSet &roots, const std::vector<Entry> &entries) {
    if (o.format != Format::Fdupes || o.null) return nullptr;
    for (const Entry &e : entries)
        for (const std::string &f : e.group->files)
            if (!fits_one_line(roots.display(f))) return &f;
    return nullptr;
}

// The fdupes and csv listings. Under --omit-first only the files that the
// action would act on are listed, by the action's own decision, so that a
// script can take every path as a copy that may go: a kept file, a
// reference file, another name of a kept file, and every copy that the
// action would leave (a link, a file on a stacked file system, a group
// with no file to keep) stay out. Returns false, having printed nothing,
// when a path cannot be listed.
bool print_listing(const Options &o, const RootSet &roots, const std::vector<Entry> &entries) {
    if (const std::string *bad = unlistable_path(o, roots, entries)) {
        std::fprintf(stderr,
                     "dupfind: %s holds a line break, which a listing of one path a line cannot show: use -0, "
                     "--format csv or --format json\n",
                     roots.show(*bad).c_str());
        return false;
    }
    if (o.format == Format::Csv) put(csv_header(o.times));
    const Rules rules = rules_of(o);
    RemovalReport plan;
    int64_t number = 0;
    for (const Entry &e : entries) {
        const Group &g = *e.group;
        std::vector<std::string> paths, times;
        const std::vector<std::string> when = o.times ? name_times(e) : std::vector<std::string>{};
        if (o.omit_first) {
            const Decision d = decide(g, nullptr, roots, rules, plan.acted, false);
            execute(g, d, roots, rules.action, Pass::Plan, true, &plan);
            for (size_t i = 0; i < g.files.size(); ++i)
                if (d.files[i].verdict == Verdict::Act) {
                    paths.push_back(roots.display(g.files[i]));
                    if (o.times) times.push_back(when[i]);
                }
        } else {
            for (const std::string &f : g.files) paths.push_back(roots.display(f));
            times = when;
        }
        if (paths.empty()) continue;
        ++number;
        if (o.format == Format::Csv) put(csv_rows(number, g.size, g.hash, paths, times));
        else put(fdupes_group(paths, o.null));
    }
    return true;
}

void remove_by_policy(const Options &o, const RootSet &roots, const std::vector<Entry> &entries, RemovalReport *rep) {
    const Pass pass = o.dry_run ? Pass::DryRun : Pass::Act;
    for (const Entry &e : entries) {
        if (interrupted()) {
            rep->interrupted = true;
            break;
        }
        if (!o.summary) std::printf("%s\n", header_of(e).c_str());
        // Decided right before the group is acted on: the statuses are those
        // of the moment, after the acts on the groups before.
        const Decision d = decide(*e.group, nullptr, roots, rules_of(o), rep->acted, pass == Pass::Act);
        execute(*e.group, d, roots, o.action, pass, o.summary, rep);
        if (!o.summary) std::printf("\n");
    }
}

// The files that the run's policy would keep in the group, offered as the
// answer of an empty line; empty when it would act on none (a group below
// one DIR without --keep), and the default then keeps them all.
std::vector<size_t> policy_choice(const Options &o, const RootSet &roots, const Entry &e) {
    const Decision d = decide(*e.group, nullptr, roots, rules_of(o), Acted{}, false);
    for (const FileVerdict &v : d.files)
        if (v.verdict == Verdict::Act) return d.keep;
    return {};
}

struct Choice {
    const Entry *entry;
    std::vector<size_t> keep;  // the files the user keeps, reference files among them
};

// --interactive asks about every group first, then shows the whole plan as
// a dry run checks it and acts only once the user confirms it, so that
// every answer can be reviewed before anything changes. Returns true when
// the report of the acts (or of the dry run) follows, or when the output
// failed; false when nothing was acted on, having said so.
bool remove_interactively(const Options &o, const RootSet &roots, const std::vector<Entry> &entries,
                          RemovalReport *rep) {
    std::vector<Choice> chosen;
    size_t number = 0;
    for (const Entry &e : entries) {
        ++number;
        std::vector<size_t> keep;
        Reply reply = ask_keep(header_of(e), name_lines(e, roots, o.times), number, entries.size(),
                               policy_choice(o, roots, e), &keep);
        // The report that follows meets the same failure, which then ends
        // the run with the system's reason.
        if (reply == Reply::OutputFailed) return true;
        if (reply == Reply::Interrupted) {
            rep->interrupted = true;
            return false;
        }
        if (reply == Reply::Quit) break;
        if (reply == Reply::KeepAll) continue;
        // Reference files stay whatever the answer.
        for (size_t i = 0; i < e.reference.size(); ++i)
            if (e.reference[i] && std::find(keep.begin(), keep.end(), i) == keep.end()) keep.push_back(i);
        chosen.push_back({&e, std::move(keep)});
    }
    const char *unchanged = o.dry_run ? "Nothing was changed: a dry run.\n" : "Nothing was changed.\n";
    if (chosen.empty()) {
        std::printf("\nEvery file is kept. %s", unchanged);
        return false;
    }

    RemovalReport plan;
    std::printf("\n%s:\n\n", o.dry_run ? "Dry run of the answers" : "The plan");
    for (const Choice &c : chosen) {
        std::printf("%s\n", header_of(*c.entry).c_str());
        const Decision d = decide(*c.entry->group, &c.keep, roots, rules_of(o), plan.acted, false);
        execute(*c.entry->group, d, roots, o.action, Pass::DryRun, false, &plan);
        std::printf("\n");
    }
    if (plan.interrupted || interrupted()) {
        rep->interrupted = true;
        std::printf("%s", unchanged);
        return false;
    }
    if (o.dry_run) {
        *rep = std::move(plan);
        return true;
    }
    print_report(plan, roots, o.action, true);
    if (plan.done == 0) {
        std::printf("%s", unchanged);
        // Nothing to confirm, but a copy the plan leaves for a problem
        // still fails the run, as the same answers would in a dry run.
        *rep = std::move(plan);
        return false;
    }
    const std::string files = count_of(plan.done, "file", "files");
    const std::string question = o.action == Action::Link      ? "Replace " + files + " by hard links?"
                                 : o.action == Action::Reflink ? "Share the extents of " + files + "?"
                                                               : "Remove " + files + "?";
    const Confirm answer = ask_confirm(question);
    if (answer == Confirm::OutputFailed) return true;
    if (answer != Confirm::Yes) {
        rep->interrupted = answer == Confirm::Interrupted;
        std::printf("%s", unchanged);
        return false;
    }
    std::printf("\n");
    for (const Choice &c : chosen) {
        if (interrupted()) {
            rep->interrupted = true;
            break;
        }
        std::printf("%s\n", header_of(*c.entry).c_str());
        // Decided again right before the acts: the statuses are those of
        // the moment, after the acts on the groups before.
        const Decision d = decide(*c.entry->group, &c.keep, roots, rules_of(o), rep->acted, true);
        execute(*c.entry->group, d, roots, o.action, Pass::Act, false, rep);
        std::printf("\n");
        if (rep->interrupted) break;
    }
    return true;
}

int run(int argc, char **argv) {
    Options o;
    std::string error;
    if (!parse_options(argc, argv, &o, &error)) {
        std::fprintf(stderr, "dupfind: %s\n", error.c_str());
        return kExitUsage;
    }
    if (o.help) {
        put(usage_text());
        return kExitOk;
    }
    if (o.version) {
        std::printf("dupfind %s\n", DUPFIND_VERSION);
        return kExitOk;
    }
    for (const std::string &note : o.notes) std::fprintf(stderr, "dupfind: note: %s\n", note.c_str());
    if (o.interactive && !stdin_is_terminal()) {
        std::fprintf(stderr, "dupfind: --interactive reads its answers from a terminal, and standard input is none\n");
        return kExitUsage;
    }

#ifndef _WIN32  // where the library keeps no cache
    if (o.cache_default) {
        // The default's directory may not exist yet; a failure here is
        // told by the library, which then cannot write the file.
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(o.cache).parent_path(), ignored);
    }
#endif
    const RootSet roots(o.roots);
    if (o.ui) {
        // The page shows the groups that the listing would, by the same rules.
        return ui::run_ui(o, roots, dirs_json(roots), options_json(o), [&](const Results &r) {
            std::vector<size_t> shown;
            for (const Entry &e : examine(r, roots, o.isolate))
                shown.push_back(static_cast<size_t>(e.group - r.groups.data()));
            return shown;
        });
    }
    install_interrupt_handler();
    hold_interrupts();
    int id = dupfind_scan_start(dirs_json(roots).c_str(), options_json(o).c_str());
    release_interrupts();
    if (id < 0) {
        std::fprintf(stderr, "dupfind: cannot start the scan: %s\n", dupfind_last_error());
        return kExitError;
    }
    int p = wait_for_scan(id, !o.quiet && stderr_is_terminal(), &error);
    if (interrupted()) {
        // The library may finish a scan that was nearly done; the user asked
        // to stop all the same.
        // The library's own word for a stop on request ("cancelled") would
        // only repeat what the user did; any other failure is worth telling.
        if (p < 0 && error != "cancelled")
            std::fprintf(stderr, "dupfind: interrupted during the scan, which failed: %s; nothing was changed\n",
                         error.c_str());
        else std::fprintf(stderr, "dupfind: interrupted during the scan; nothing was changed\n");
        return interrupted_status();
    }
    if (p < 0) {
        std::fprintf(stderr, "dupfind: scan failed: %s\n", error.c_str());
        return kExitError;
    }

    std::unique_ptr<char, LibraryString> text(dupfind_scan_results(id));
    if (!text) {
        std::fprintf(stderr, "dupfind: cannot fetch the results: %s\n", dupfind_last_error());
        return kExitError;
    }
    if (o.format == Format::Json) {
        // The text goes out as the library wrote it; parsing it as well
        // would only cost time and memory on large trees.
        std::fputs(text.get(), stdout);
        std::fputs("\n", stdout);
        return kExitOk;
    }
    Results r;
    if (!parse_results(text.get(), &r, &error)) {
        std::fprintf(stderr, "dupfind: %s\n", error.c_str());
        return kExitError;
    }
    const bool acting = o.action != Action::None;
    const size_t unscanned = warn_unscanned_roots(roots, r, acting);
    warn_unreadable(roots, r);
    warn_about_cache(r);
    warn_if_capped(o, roots, r);
    text.reset();
    if (acting && unscanned > 0) {
        std::fprintf(stderr,
                     "dupfind: nothing was changed: every DIR and --reference directory must be scanned "
                     "before anything is removed or replaced\n");
        return kExitError;
    }
    // Without an action the listing is still shown, and the run fails.
    const int listed = unscanned > 0 ? kExitError : kExitOk;

    // The summary is worked out before anything is removed; under
    // --interactive it tells what the default policy would free.
    std::vector<Entry> entries = examine(r, roots, o.isolate);
    sort_entries(o, &entries);
    if (o.format == Format::Fdupes || o.format == Format::Csv) {
        if (!print_listing(o, roots, entries)) return kExitError;
        return interrupted() ? interrupted_status() : listed;
    }
    const Summary summary = summarize(o, r, entries, roots);
    if (!acting) {
        if (!o.summary) print_groups(roots, entries, o.times);
        if (o.skipped) print_skipped(roots, r);
        std::printf("%s\n", summary_line(summary).c_str());
        return interrupted() ? interrupted_status() : listed;
    }

    RemovalReport rep;
    if (o.interactive) {
        if (!remove_interactively(o, roots, entries, &rep)) {
            if (rep.interrupted) return interrupted_status();
            return left_for_a_problem(rep, true) ? kExitError : kExitOk;
        }
    } else {
        remove_by_policy(o, roots, entries, &rep);
    }
    if (o.skipped) print_skipped(roots, r);
    std::printf("%s\n", summary_line(summary).c_str());
    print_report(rep, roots, o.action, o.dry_run);
    if (rep.interrupted || interrupted()) return interrupted_status();
    return left_for_a_problem(rep, o.dry_run) ? kExitError : kExitOk;
}

// Output that did not reach its destination fails the run, whatever the
// path that wrote it: a listing cut short on a full disk, or a removal
// report that was lost, must not end in success.
int check_output(int rc) {
    errno = 0;
    bool failed = std::fflush(stdout) != 0;
    int err = errno != 0 ? errno : g_write_errno;
    if (std::ferror(stdout)) failed = true;
    if (!failed) return rc;
    // A write that failed earlier leaves the error flag, not always errno.
    if (err != 0) std::fprintf(stderr, "dupfind: write error: %s\n", std::strerror(err));
    else std::fputs("dupfind: write error on standard output\n", stderr);
    return rc == kExitOk ? kExitError : rc;
}

}  // namespace
}  // namespace dfcli

int main(int argc, char **argv) {
    int rc = dfcli::kExitError;
    try {
        rc = dfcli::run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "dupfind: out of memory\n");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "dupfind: %s\n", e.what());
    }
    return dfcli::check_output(rc);
}
