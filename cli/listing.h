// SPDX-License-Identifier: MIT
// Listings for programs: the groups as other tools and scripts read them.
#ifndef DUPFIND_CLI_LISTING_H
#define DUPFIND_CLI_LISTING_H

#include <cstdint>
#include <string>
#include <vector>

namespace dfcli {

// One group of the fdupes format: each path on a line of its own and a
// blank line after the group, or with `null` each path ended by NUL and the
// group by one more. Paths are written as they are: a line break inside one
// can only be told apart with `null`, and the caller refuses such a path
// otherwise (fits_one_line).
std::string fdupes_group(const std::vector<std::string> &paths, bool null);

// A field of a CSV row: as it is, or between double quotes, with each quote
// doubled, when it holds a comma, a quote, a carriage return or a newline.
std::string csv_field(const std::string &text);

// The header row, and the rows of one group: one per path. With --times the
// modification time of each path is a last column, so that a reader of the
// first four columns by position reads them as before.
std::string csv_header(bool times = false);
std::string csv_rows(int64_t number, int64_t size, const std::string &hash, const std::vector<std::string> &paths,
                     const std::vector<std::string> &times = {});

}  // namespace dfcli

#endif
