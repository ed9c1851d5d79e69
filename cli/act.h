// SPDX-License-Identifier: MIT
// The execution of a decision: removal of duplicate copies, or their
// replacement by links to the file that stays, with the last checks that
// keep either from touching anything but the file that was compared.
#ifndef DUPFIND_CLI_ACT_H
#define DUPFIND_CLI_ACT_H

#include <cstdint>
#include <string>
#include <vector>

#include "decision.h"
#include "options.h"
#include "results_text.h"
#include "root_set.h"

namespace dfcli {

struct LeftFile {
    std::string path;
    std::string why;
    bool whole_group = false;  // left with every file of its group, for one reason
    bool awaits_keep = false;  // that group lies below one DIR and no --keep chose
};

// How far the execution goes. Every pass goes by the same decision, so that
// what the summary calls reclaimable, what a dry run would free and what the
// action frees are one figure while the files stay as they are.
enum class Pass {
    Plan,    // count what the decision acts on; print nothing, read no content
    DryRun,  // also compare the contents again and print what would happen
    Act,     // and remove, link or share
};

struct RemovalReport {
    int64_t done = 0;  // copies removed, linked or sharing extents now
    // Bytes given back: a file's size once its last name is removed or
    // linked over (a copy with a name that the run does not touch, a hard
    // link outside the group or the roots, frees nothing), or once its
    // extents are shared.
    int64_t freed = 0;
    std::vector<std::string> done_paths;  // the copies counted in `done`, in order
    std::vector<LeftFile> left;           // copies that were meant to go but stayed
    std::vector<LeftFile> metadata;       // --link: copies whose metadata changes (or would)
    std::vector<std::string> leftover;    // private names a failure could not clean up
    bool library_failed = false;          // the library or the system refused or failed an act
    bool interrupted = false;
    Acted acted;  // names of each file acted on so far
};

// Carries out the decision on the group: prints the kept files with the
// rule that kept them, and for each file the decision acts on compares its
// bytes again with the kept file, both held open, then removes it (moved to
// a private name and checked first, then through the library's guarded
// delete), links over it or has it share extents. Passes other than
// Pass::Act change nothing and count what would have been done. Prints one
// line per file unless quiet or planning. Paths are printed as
// RootSet::show shows them; the action acts on the library's.
void execute(const Group &g, const Decision &d, const RootSet &roots, Action action, Pass pass, bool quiet,
             RemovalReport *report);

// The label of a copy that the action did not touch: "not removed:".
const char *not_done_label(Action action);

// Whether the run failed to do what was asked: a copy stayed because of a
// problem, or the system or the library failed. A dry run shows what the
// action would do, and fails alike, but for groups that wait for --keep:
// exploring a tree without one is what a dry run is for, and the report
// lists them all the same.
bool left_for_a_problem(const RemovalReport &report, bool dry_run);

// The closing report: files removed (linked, sharing), space freed, files
// kept because of a problem and each problem, metadata that --link changed
// and names a failure left behind.
void print_report(const RemovalReport &report, const RootSet &roots, Action action, bool dry_run);

}  // namespace dfcli

#endif
