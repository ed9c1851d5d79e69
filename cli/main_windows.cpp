// SPDX-License-Identifier: MIT
// The entry point of dupfind.exe. The tool works in UTF-8 like the library:
// the UTF-16 arguments are converted before main.cpp sees them, and the
// console is switched to UTF-8 output so that the names the tool prints
// show as they are.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "platform_windows.h"

// main.cpp's main, renamed by the build (see cli/CMakeLists.txt).
int dupfind_utf8_main(int argc, char **argv);

namespace {

UINT g_saved_output_cp = 0;

void restore_console() {
    if (g_saved_output_cp) SetConsoleOutputCP(g_saved_output_cp);
}

}  // namespace

// The arguments as UTF-8, with the console set to show UTF-8 output.
extern "C" int wmain(int argc, wchar_t **wargv) {
    if (dfcli::win::is_console(STD_OUTPUT_HANDLE) || dfcli::win::is_console(STD_ERROR_HANDLE)) {
        g_saved_output_cp = GetConsoleOutputCP();
        if (SetConsoleOutputCP(CP_UTF8)) std::atexit(restore_console);
        else g_saved_output_cp = 0;
    }
    std::vector<std::string> args;
    std::vector<char *> argv;
    try {
        args.reserve(static_cast<size_t>(argc));
        for (int i = 0; i < argc; i++) args.push_back(dfcli::win::utf8(wargv[i], std::wcslen(wargv[i])));
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
    } catch (const std::bad_alloc &) {
        std::fputs("dupfind: out of memory\n", stderr);
        return 1;
    }
    return dupfind_utf8_main(argc, argv.data());
}
