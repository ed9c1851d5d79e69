// SPDX-License-Identifier: MIT
// The scan request that the tool sends the library, built from its command
// line.
#ifndef DUPFIND_CLI_SCAN_REQUEST_H
#define DUPFIND_CLI_SCAN_REQUEST_H

#include <string>

#include "options.h"
#include "root_set.h"

namespace dfcli {

// dirs_json: the roots as the library walks them (RootSet::walk_order).
std::string dirs_json(const RootSet &roots);

// options_json: the scan options of the command line.
std::string options_json(const Options &o);

}  // namespace dfcli

#endif
