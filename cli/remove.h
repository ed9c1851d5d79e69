// Removal of duplicate copies, or their replacement by links to the file
// that stays, with the checks that keep either from losing data.
#ifndef DUPFIND_CLI_REMOVE_H
#define DUPFIND_CLI_REMOVE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "options.h"
#include "results.h"
#include "roots.h"

namespace dfcli {

struct LeftFile {
    std::string path;
    std::string why;
};

// How far act_on_copies goes. Every pass makes the same checks and the same
// decisions, so that what the summary calls reclaimable, what a dry run
// would free and what the action frees are one figure while the files stay
// as they are; the plan only leaves out the second reading of the contents
// (the scan compared them a moment ago).
enum class Pass {
    Plan,    // decide and count; print nothing, read no content
    DryRun,  // also compare the contents and print what would happen
    Act,     // and remove, link or share
};

struct RemovalReport {
    int64_t done = 0;  // copies removed, linked or sharing extents now
    // Bytes given back: a file's size once its last name is removed or
    // linked over (a copy with a name that the run does not touch, a hard
    // link outside the group or the roots, frees nothing), or once its
    // extents are shared.
    int64_t freed = 0;
    std::vector<LeftFile> left;   // copies that were meant to go but stayed
    bool library_failed = false;  // the library or the system refused or failed an act
    bool interrupted = false;
    // Names of each file (device, inode) acted on so far: for a pass that
    // changes nothing, its link count is that much lower by then; a file
    // whose extents are shared through one name is shared through all.
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> acted;
};

// Why a path of the results cannot be kept or removed on its own say-so: it
// is a symbolic link, or a directory between the root it was found below
// (as walked) and the file is one; "" when it is reached without a link.
// Such a path may stand for a file outside the roots, or for another path of
// the group, so only files reached without a link vouch for copies, and a
// link is never removed.
std::string link_problem(const std::string &path, const RootSet &roots);

// The files of the group that stay, in *keep: every file in a reference
// directory when the group has any (they are never removed), otherwise the
// one that the policy picks among the files reached without a link (see
// link_problem). Keep::First takes the file under the earliest root given,
// then the first in the group's order; the time policies skip files that
// are gone. Returns false with *why when the group offers no file to keep.
bool choose_keep(const Group &g, Keep policy, const RootSet &roots, std::vector<size_t> *keep, std::string *why);

// Acts on every file of the group whose index is not in `keep` (which must
// not be empty): removes it, replaces it by a hard link to a kept file, or
// has it share a kept file's extents. Each copy is touched only when, right
// before, it is reached without a link, and a kept file that is also
// reached without one exists with the group's size, is a different physical
// file (as far as can be told: see FileStatus::stacked) and has identical
// bytes. A copy that is a kept file under another name stays as kept.
// Passes other than Pass::Act change nothing and count what would have
// been done. Prints one line per file unless quiet or planning. Paths are
// printed as RootSet::show shows them; the action acts on the library's.
void act_on_copies(const Group &g, const std::vector<size_t> &keep, const RootSet &roots, Action action,
                   Pass pass, bool quiet, RemovalReport *report);

// The label of a copy that the action did not touch: "not removed:".
const char *not_done_label(Action action);

// The closing report: files removed (linked, sharing), space freed, files
// kept because of a problem and each problem.
void print_report(const RemovalReport &report, const RootSet &roots, Action action, bool dry_run);

}  // namespace dfcli

#endif
