// SPDX-License-Identifier: MIT
// Inside the tool's platform layer: the few primitives each system's file
// (platform_linux.cpp, platform_windows*.cpp) provides, and what
// platform_common.cpp builds on them once for every system.
#ifndef DUPFIND_CLI_PLATFORM_COMMON_H
#define DUPFIND_CLI_PLATFORM_COMMON_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

namespace dfcli {

// ---- per system ----------------------------------------------------------

// Reads up to n bytes of the held file from `offset` into buf, whatever
// the handle's own position; *got is fewer than n only at the file's end.
// False, with the system's reason in *reason, when the file cannot be read.
bool read_held_at(const HeldFile &f, int64_t offset, char *buf, size_t n, size_t *got, std::string *reason);

// 64 bits from the system's random source, which nobody can predict to take
// a private name first.
uint64_t random_bits();

// ---- for every system (platform_common.cpp) --------------------------------

// A fresh private name for a file in its own directory: ".dupfind-" and 16
// hexadecimal digits of random_bits().
std::string private_name();

}  // namespace dfcli

#endif
