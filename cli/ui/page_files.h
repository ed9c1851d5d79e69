// SPDX-License-Identifier: MIT
// The page's files (cli/ui/page/), compiled into the tool by the build
// (cmake/embed_files.cmake), so that it serves them with no file beside it.
#ifndef DUPFIND_CLI_UI_PAGE_FILES_H
#define DUPFIND_CLI_UI_PAGE_FILES_H

#include <cstddef>

namespace dfcli::ui {

struct PageFile {
    const char *name;  // "index.html"
    const unsigned char *data;
    size_t size;
};

extern const PageFile kPageFiles[];
extern const size_t kPageFileCount;

}  // namespace dfcli::ui

#endif
