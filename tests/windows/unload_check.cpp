// SPDX-License-Identifier: MIT
// Unloading the DLL while a scan's worker is still running must not crash
// the host: the DLL pins itself when loaded, so FreeLibrary leaves it
// mapped and the worker runs on. Loads it by path, starts a scan over a
// tree large enough to keep the worker busy, frees it at once, checks that
// it is still mapped and lets the worker run. Exit status 0 when the
// process survives.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "test_util.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: unload_check DLL\n");
        return 2;
    }
    testutil::TempDir d;
    for (int i = 0; i < 40; i++) {
        const std::string dir = d / ("d" + std::to_string(i));
        testutil::make_dir(dir);
        for (int k = 0; k < 100; k++) testutil::write_file(dir + "/f" + std::to_string(k), "same content");
    }
    const std::string dirs = "[" + testutil::json_str(d.path()) + "]";

    HMODULE lib = LoadLibraryW(testutil::long_path(argv[1]).c_str());
    if (!lib) {
        std::fprintf(stderr, "LoadLibraryW failed: %lu\n", GetLastError());
        return 3;
    }
    using start_fn = int (*)(const char *, const char *);
    auto start = reinterpret_cast<start_fn>(reinterpret_cast<void *>(GetProcAddress(lib, "dupfind_scan_start")));
    if (!start || start(dirs.c_str(), "{}") <= 0) return 4;
    FreeLibrary(lib);
    HMODULE still = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"brennic-filedup-find.dll", &still) ||
        still != lib) {
        std::fprintf(stderr, "the DLL was unmapped by FreeLibrary while its worker ran\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return 0;
}
