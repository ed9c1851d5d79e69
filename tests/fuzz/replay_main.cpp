// SPDX-License-Identifier: MIT
// Runs a fuzz target over saved inputs without libFuzzer: every file named on
// the command line, and every file in a directory named there, in name
// order. CI replays the seed corpus and the inputs of past findings this way
// with the ordinary compiler, in every sanitizer build.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool read_whole(const std::string &path, std::string &out) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    out.clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

void collect(const std::string &path, std::vector<std::string> &files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        files.push_back(path);  // reported as unreadable below
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const auto &n : names) collect(path + "/" + n, files);
}

}  // namespace

int main(int argc, char **argv) {
    // Absolute names: a target may change the working directory.
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
#ifdef _WIN32
        char *abs = _fullpath(nullptr, argv[i], 0);
#else
        char *abs = realpath(argv[i], nullptr);
#endif
        collect(abs ? abs : argv[i], files);
        std::free(abs);
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    std::string data;
    for (const auto &f : files) {
        if (!read_whole(f, data)) {
            std::fprintf(stderr, "cannot read %s\n", f.c_str());
            return 1;
        }
        // A copy of exactly the input's size, so that a read past its end is
        // caught by the sanitizers as it would be under the fuzzer.
        std::vector<uint8_t> input(data.begin(), data.end());
        static const uint8_t nothing = 0;
        LLVMFuzzerTestOneInput(input.empty() ? &nothing : input.data(), input.size());
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("replayed %zu inputs in %lld ms\n", files.size(), static_cast<long long>(ms));
    return 0;
}
