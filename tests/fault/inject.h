// SPDX-License-Identifier: MIT
// Runs one operation again and again, each time in a fresh child process in
// which the nth allocation fails, for n = 1, 2, 3, ... until a run meets no
// failure at all. The scan table and the roots registry live for the whole
// process, so every run gets a process of its own.
#ifndef DUPFIND_INJECT_H
#define DUPFIND_INJECT_H

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <exception>
#include <map>
#include <string>

#include "alloc_hook.h"
#include "test_util.h"

#if defined(__SANITIZE_ADDRESS__)
#  define INJECT_LEAK_CHECK 1
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define INJECT_LEAK_CHECK 1
#  endif
#endif

#ifdef INJECT_LEAK_CHECK
#  include <sanitizer/lsan_interface.h>
#endif

namespace inject {

// What the parent learns about one run.
struct run_result {
    bool crashed = false;
    int signal = 0;
    bool hit = false;
    std::string outcome;  // the label the body gave its outcome
    std::string problem;  // empty: the outcome was acceptable
};

// Lets a body name its outcome ("walk failed", "correct", ...); the parent
// prints how often each came up.
inline std::string &outcome_label() {
    static std::string label;
    return label;
}
inline void outcome(const std::string &label) { outcome_label() = label; }

inline void write_all(int fd, const std::string &s) {
    const char *p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w <= 0) return;
        p += w;
        left -= static_cast<size_t>(w);
    }
}

// body(n) arms the hook, runs the operation, disarms, and returns an empty
// text when the outcome is one it accepts, otherwise what was wrong. It runs
// in the child; gtest assertions there would be lost, hence the text.
template <class Body>
run_result run_one(long n, Body &body) {
    int fds[2];
    run_result r;
    if (::pipe(fds) != 0) {
        r.crashed = true;
        return r;
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string problem;
        try {
            problem = body(n);
        } catch (const std::exception &e) {
            problem = std::string("the test's own code threw: ") + e.what();
        }
        bool hit = allochook::hit();
#ifdef INJECT_LEAK_CHECK
        if (__lsan_do_recoverable_leak_check() != 0)
            problem += (problem.empty() ? "" : "; ") + std::string("blocks leaked (report above)");
#endif
        write_all(fds[1], std::string(hit ? "H" : "-") + outcome_label() + "\n" + problem);
        ::close(fds[1]);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string got = testutil::drain_and_close(fds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || got.empty()) {
        r.crashed = true;
        r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return r;
    }
    r.hit = got[0] == 'H';
    size_t eol = got.find('\n');
    r.outcome = got.substr(1, eol == std::string::npos ? std::string::npos : eol - 1);
    if (eol != std::string::npos) r.problem = got.substr(eol + 1);
    return r;
}

// Runs the loop and reports through gtest. Returns the number of runs in
// which an allocation failed (the number of allocation sites the operation
// reaches, counted along its path).
template <class Body>
long each_allocation(const char *name, Body body, long limit = 100000) {
    int reported = 0;
    std::map<std::string, long> outcomes;
    long n = 1;
    for (; n <= limit; n++) {
        run_result r = run_one(n, body);
        if (r.crashed) {
            ADD_FAILURE() << name << ": run with allocation " << n << " failing did not finish (signal " << r.signal
                          << ")";
            if (++reported >= 5) break;
            continue;
        }
        if (r.hit) outcomes[r.outcome.empty() ? "?" : r.outcome]++;
        if (!r.problem.empty()) {
            ADD_FAILURE() << name << ": allocation " << n << " failing: " << r.problem;
            if (++reported >= 5) break;
        }
        if (!r.hit) break;
    }
    EXPECT_LE(n, limit) << name << ": the operation never completed without meeting the failure";
    long failed = n - 1;
    std::string tally;
    for (const auto &[label, times] : outcomes) tally += " " + label + " x" + std::to_string(times) + ";";
    std::printf("[ inject   ] %s: %ld allocations failed, one per run;%s\n", name, failed, tally.c_str());
    return failed;
}

}  // namespace inject

#endif
