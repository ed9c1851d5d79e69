// SPDX-License-Identifier: MIT
// Unloading the library while a scan's worker is still running must not
// crash the host: the worker keeps running the library's code, and nothing
// waits for it. Loads the library by path, starts a scan over a tree large
// enough to keep the worker busy, unloads it at once and lets the worker
// run on. Exit status 0 when the process survives.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "test_util.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: unload_check LIBRARY\n");
        return 2;
    }
    testutil::TempDir d;
    for (int i = 0; i < 40; i++) {
        const std::string dir = d / ("d" + std::to_string(i));
        testutil::make_dir(dir);
        for (int k = 0; k < 100; k++) testutil::write_file(dir + "/f" + std::to_string(k), "same content");
    }
    const std::string dirs = "[" + testutil::json_str(d.path()) + "]";

    pid_t pid = fork();
    if (pid == 0) {
        void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            std::fprintf(stderr, "dlopen: %s\n", dlerror());
            _exit(3);
        }
        using start_fn = int (*)(const char *, const char *);
        auto start = reinterpret_cast<start_fn>(dlsym(lib, "dupfind_scan_start"));
        if (!start || start(dirs.c_str(), "{}") <= 0) _exit(4);
        dlclose(lib);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return 1;
    if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "the host died of signal %d after unloading the library\n", WTERMSIG(status));
        return 1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
