// SPDX-License-Identifier: MIT
// What the page shows and asks for, apart from HTTP: the scan's state, the
// groups with each file's facts, and the plan and its execution, which go
// through the tool's own decision and execution (decide, execute) with the
// keep choice the page sends as the user's choice.
#ifndef DUPFIND_CLI_UI_SESSION_H
#define DUPFIND_CLI_UI_SESSION_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "decision.h"
#include "options.h"
#include "results_text.h"
#include "root_set.h"
#include "ui/preview.h"

namespace dfcli::ui {

// The groups the run shows, by their index in the results (the tool's own
// choice: no group of reference files only, --isolate).
using GroupFilter = std::function<std::vector<size_t>(const Results &)>;

enum class Phase { Scanning, Ready, Cancelled, Failed };

// An answer to the page: an HTTP status, its media type and body. A status
// of 400 and above has a one-line reason as its body.
struct Answer {
    int status = 200;
    std::string type = "application/json";
    std::string body;
};

struct ShownGroup {
    size_t result = 0;                // index in the results
    std::vector<bool> reference;      // for each file: below a reference directory
    std::vector<size_t> preselected;  // what the options would keep; empty: no rule chose
    std::vector<Preview> previews;    // for each file, by its name
    std::vector<int64_t> mtimes;      // for each file: last modification, seconds since 1970
};

class Session {
public:
    Session(const Options &o, const RootSet &roots);

    // The scan's progress as polled (0 to 100) and its end.
    void set_progress(int progress);
    void set_finished(Phase phase, const std::string &error);
    // Takes the results text and keeps the groups the filter shows.
    bool load(const char *text, const GroupFilter &filter, std::string *error);

    Answer state() const;
    Answer groups() const;
    // The file `file` of shown group `group`, for its preview.
    Answer file(const std::string &group, const std::string &file, bool text) const;
    // A plan (apply false) or its execution (apply true) for the JSON body
    // {"action": "delete" | "link" | "reflink", "groups": [{"group": G, "keep": [F, ...]}, ...]}.
    Answer plan(const std::string &body, bool apply);

private:
    struct Choice {
        size_t group;
        std::vector<size_t> keep;
    };
    bool parse_plan(const std::string &body, Action *action, std::vector<Choice> *choices, std::string *why) const;
    Rules rules(Action action) const;

    const Options &options_;
    const RootSet &roots_;
    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point start_;
    double seconds_ = 0;  // the scan's duration once it ended
    Phase phase_ = Phase::Scanning;
    int progress_ = 0;
    std::string error_;
    Results results_;
    std::vector<ShownGroup> shown_;
    Acted acted_;                               // files acted on in this run
    std::set<std::pair<size_t, size_t>> gone_;  // (group, file) removed or replaced
};

}  // namespace dfcli::ui

#endif
