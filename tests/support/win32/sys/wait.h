// SPDX-License-Identifier: MIT
// Stands in for the POSIX header on Windows (see posix_shim.h).
#include "posix_shim.h"
