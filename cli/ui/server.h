// SPDX-License-Identifier: MIT
// dupfind --ui: the scan, its groups and the acts on them, shown on a page
// that the tool serves on the loopback interface to the user's browser.
#ifndef DUPFIND_CLI_UI_SERVER_H
#define DUPFIND_CLI_UI_SERVER_H

#include <string>

#include "options.h"
#include "root_set.h"
#include "ui/session.h"

namespace dfcli::ui {

// Starts the scan (the library's request texts as the tool builds them),
// serves the page until Ctrl-C, the last page closed or the idle time-out,
// and returns the exit status. The address, with its secret, is printed on
// standard output and, unless --no-browser, opened in the browser.
int run_ui(const Options &o, const RootSet &roots, const std::string &dirs_json, const std::string &options_json,
           const GroupFilter &filter);

}  // namespace dfcli::ui

#endif
