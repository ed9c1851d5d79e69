// SPDX-License-Identifier: MIT
// What the Windows files of the tool's platform layer share: the path and
// text conversions and the file status of platform_windows.cpp.
#ifndef DUPFIND_CLI_PLATFORM_WINDOWS_H
#define DUPFIND_CLI_PLATFORM_WINDOWS_H

#include <windows.h>

#include <cstddef>
#include <string>

#include "platform.h"

namespace dfcli::win {

// The extended-length UTF-16 form of a UTF-8 path; empty when the text is
// not UTF-8.
std::wstring wide(const std::string &path);

// The UTF-16 form of a name or any other UTF-8 text, taken as it is (no
// path rules); empty when the text is not UTF-8.
std::wstring wide_name(const std::string &name);

// UTF-8 of UTF-16 text (an unpaired surrogate becomes invalid UTF-8).
std::string utf8(const wchar_t *w, size_t n);

// The system's text for the calling thread's last error.
std::string last_error();

// Whether the standard handle (STD_OUTPUT_HANDLE, ...) is a console.
bool is_console(DWORD which);

// The status of an open file.
bool status_of(HANDLE h, FileStatus *st);

}  // namespace dfcli::win

#endif
