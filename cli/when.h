// SPDX-License-Identifier: MIT
// Points in time given on the command line (--newer-than, --older-than),
// and shown in the listings (--times).
#ifndef DUPFIND_CLI_WHEN_H
#define DUPFIND_CLI_WHEN_H

#include <cstdint>
#include <string>

// Reads an ISO 8601 date ("2024-05-01") or date and time ("2024-05-01T13:45",
// seconds optional, 'T' or one space between) into seconds since 1970 UTC. A
// time may end in an offset ("Z", "+02:00", "-0530", "+02"); without one it
// is local time, and a date alone is the start of that day in local time.
// False for anything else, or a field out of range (month 13, 31 April).
bool parse_when(const std::string &text, int64_t *out);

// A point in time, seconds since 1970 UTC, as local time in ISO 8601 with
// its offset: "2024-05-01T13:45:07+02:00", which parse_when reads back.
std::string format_when(int64_t seconds);

#endif  // DUPFIND_CLI_WHEN_H
