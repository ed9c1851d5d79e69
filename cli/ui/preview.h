// SPDX-License-Identifier: MIT
// What the page may show of a file: the kinds of preview, told by the name
// and confirmed by the first bytes, so that a file named .png that holds
// markup is never served as anything the browser would run or render.
#ifndef DUPFIND_CLI_UI_PREVIEW_H
#define DUPFIND_CLI_UI_PREVIEW_H

#include <cstddef>
#include <string>

namespace dfcli::ui {

enum class Preview {
    None,   // the path and facts only
    Image,  // a thumbnail: JPEG, PNG, GIF, WebP, BMP
    Audio,  // a player
    Video,  // a player
    Text,   // the first lines, as text
};

// The preview that the file's name promises, before anything is read.
Preview preview_by_name(const std::string &path);

const char *preview_name(Preview p);

// The media type under which a file named `path` whose first bytes are
// `head` may be served for the preview `p`, or null when the bytes do not
// match the name (a PNG name over other bytes, a text file with NUL bytes).
const char *confirmed_type(Preview p, const std::string &path, const std::string &head);

// The first lines of a text file's start, at most `lines` of them, for the
// page to show as text.
std::string first_lines(const std::string &start, size_t lines);

}  // namespace dfcli::ui

#endif
