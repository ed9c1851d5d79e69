// SPDX-License-Identifier: MIT
// The one decision about a group's files that every part of the tool which
// removes, replaces or lists copies goes by: --delete, --link and --reflink,
// their dry runs, --interactive, the summary's figures and --omit-first.
// Whatever claims to show what an action would do therefore cannot differ
// from what the action does, copy by copy.
#ifndef DUPFIND_CLI_DECISION_H
#define DUPFIND_CLI_DECISION_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "options.h"
#include "platform.h"
#include "results_text.h"
#include "root_set.h"

namespace dfcli {

enum class Verdict {
    Keep,   // stays, and that is no problem: a kept file, a reference file,
            // another name of a kept file
    Act,    // goes (removed, linked over, made to share extents), once the
            // execution has compared its bytes again
    Leave,  // was meant to go and stays because of a problem
};

struct FileVerdict {
    Verdict verdict = Verdict::Leave;
    // Keep: why it stays ("first DIR given", "reference", "same file as kept
    // ..."); Leave: the problem. Paths in it are shown as the user reaches
    // them.
    std::string note;
    size_t source = 0;     // Act: the kept file whose bytes the copy must have
    FileStatus copy;       // Act: the copy as the decision saw it
    FileStatus kept;       // Act: that kept file as the decision saw it
    int64_t frees = 0;     // Act: the bytes the act gives back (see below)
    std::string metadata;  // Act, --link: how the copy's owner, mode, ACL or
                           // attributes change ("" when they do not)
};

struct Decision {
    std::vector<size_t> keep;        // the kept files, by index in the group
    std::vector<FileVerdict> files;  // one for each path of the group
    // Left whole because it lies below one DIR and no --keep says which
    // copy is the original: a question for the user rather than a fault.
    bool awaits_keep = false;
};

// What the user asked for.
struct Rules {
    Action action = Action::Delete;
    Keep keep = Keep::First;
    // --keep (or --reference) was given. Without it, a group that lies below
    // one DIR has no rule to choose its file by but the order of the paths,
    // which says nothing about which copy is the original; it is left.
    bool keep_given = false;
    // --link may give a copy's name the kept file's owner, permissions,
    // access control list and attributes.
    bool accept_metadata = false;
};

// The names of each physical file (device, inode) acted on so far in the
// run, for the bytes freed: only the last name of a file gives its space
// back, and the space of a file that shares extents comes back once.
using Acted = std::map<std::pair<uint64_t, uint64_t>, uint64_t>;

// Decides for every file of the group. `chosen`, when not null, is the set
// of files the user chose to keep (--interactive); otherwise the rules
// choose. Reads the files' status (and for --reflink asks the file system
// whether it could share), changes nothing. `acted` holds what the run has
// acted on before this group; `links_current` says whether the link counts
// read now already show it (true once those acts really happened).
Decision decide(const Group &g, const std::vector<size_t> *chosen, const RootSet &roots, const Rules &rules,
                const Acted &acted, bool links_current);

// Why a path of the results cannot be kept or removed on its own say-so: it
// is a symbolic link, or a directory between the root it was found below
// (as walked) and the file is one; "" when it is reached without a link.
// Such a path may stand for a file outside the roots, or for another path of
// the group, so only files reached without a link vouch for copies, and a
// link is never removed.
std::string link_problem(const std::string &path, const RootSet &roots);

// The words for a copy that an act left (ActResult), naming the kept file
// as shown.
std::string act_reason(const ActResult &res, const std::string &kept_shown);

// The path split at its root, for an act through its directory; the path
// must be one that link_problem passes.
RootedPath rooted(const std::string &path, const RootSet &roots);

}  // namespace dfcli

#endif
