// SPDX-License-Identifier: MIT
// Pattern matching: the time one match takes on the path of a file 40
// directories deep, for patterns with none, one and many "**" components.
//   cmake --build build --target bench_glob && ./build/bench/bench_glob
#include <chrono>
#include <cstdio>
#include <string>

#include "glob.h"

int main() {
    std::string path;
    for (int i = 1; i <= 40; i++) {
        char level[16];
        std::snprintf(level, sizeof level, "d%d/", i);
        path += level;
    }
    path += "f1";
    auto stars = [](int n, const char *last) {
        std::string p;
        for (int i = 0; i < n; i++) p += "**/";
        p += last;
        return p;
    };
    const std::string patterns[] = {"d1/*/d3/**/f1",  "**/zzz",         stars(8, "zzz"),
                                    stars(12, "zzz"), stars(40, "zzz"), "**/d*[0-9]/**/d4?/**/f[[:digit:]]"};
    std::printf("%-40s %10s %12s %8s\n", "pattern (path 40 levels deep)", "ns/match", "comparisons", "match");
    for (const std::string &p : patterns) {
        const int rounds = 20000;
        bool matched = false;
        dup_glob_steps = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < rounds; r++) matched = dup_glob_match(p.c_str(), path.c_str());
        const auto t1 = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / rounds;
        // A long pattern shows its end, where what follows the "**" is.
        const char *shown = p.size() > 40 ? p.c_str() + p.size() - 40 : p.c_str();
        std::printf("%-40s %10.0f %12llu %8s\n", shown, ns, static_cast<unsigned long long>(dup_glob_steps / rounds),
                    matched ? "yes" : "no");
    }
    return 0;
}
