// SPDX-License-Identifier: MIT
// Runs one operation again and again, each time in a fresh child process in
// which the nth allocation fails, for n = 1, 2, 3, ... until a run meets no
// failure at all. The scan table and the roots registry live for the whole
// process, so every run gets a process of its own: a fork on POSIX systems;
// on Windows, which has no fork, this test program started again, filtered
// to the running test, which runs only run n of it (INJECT_RUN_ENV).
#ifndef DUPFIND_INJECT_H
#define DUPFIND_INJECT_H

#ifndef _WIN32
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
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

// body(n) arms the hook, runs the operation, disarms, and returns an empty
// text when the outcome is one it accepts, otherwise what was wrong. It runs
// in the child; gtest assertions there would be lost, hence the text. What
// the child reports: whether the failure was delivered, the outcome's
// label, and the problem.
template <class Body>
std::string child_report(long n, Body &body) {
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
    return std::string(hit ? "H" : "-") + outcome_label() + "\n" + problem;
}

inline run_result parse_report(const std::string &got) {
    run_result r;
    r.hit = got[0] == 'H';
    size_t eol = got.find('\n');
    r.outcome = got.substr(1, eol == std::string::npos ? std::string::npos : eol - 1);
    if (eol != std::string::npos) r.problem = got.substr(eol + 1);
    return r;
}

#ifdef _WIN32

// The child's run number and the file for its report.
constexpr const char *INJECT_RUN_ENV = "DUPFIND_INJECT_RUN";
constexpr const char *INJECT_REPORT_ENV = "DUPFIND_INJECT_REPORT";

// In a child started by run_one: runs body once, writes the report and ends
// the process (the rest of the test and gtest's own output are the
// parent's). Returns only in the parent.
template <class Body>
void run_if_child(Body &body) {
    const char *n = std::getenv(INJECT_RUN_ENV);
    const char *report = std::getenv(INJECT_REPORT_ENV);
    if (!n || !report) return;
    const std::string text = child_report(std::atol(n), body);
    FILE *f = std::fopen(report, "wb");
    const bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f) std::fclose(f);
    std::fflush(nullptr);
    std::_Exit(written ? 0 : 3);
}

template <class Body>
run_result run_one(long n, Body &) {
    run_result r;
    r.crashed = true;
    testutil::TempDir scratch;
    const std::string report = scratch / "report";
    const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
    wchar_t exe[32768];
    const DWORD len = GetModuleFileNameW(nullptr, exe, 32768);
    if (len == 0 || len >= 32768) return r;
    std::wstring cmd = L"\"" + std::wstring(exe, len) + L"\" --gtest_filter=" +
                       testutil::utf16(std::string(t->test_suite_name()) + "." + t->name());
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE) return r;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul;
    PROCESS_INFORMATION pi{};
    SetEnvironmentVariableA(INJECT_RUN_ENV, std::to_string(n).c_str());
    SetEnvironmentVariableA(INJECT_REPORT_ENV, report.c_str());
    const BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA(INJECT_RUN_ENV, nullptr);
    SetEnvironmentVariableA(INJECT_REPORT_ENV, nullptr);
    CloseHandle(nul);
    if (!started) return r;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (status != 0 || !testutil::exists(report)) {
        r.signal = static_cast<int>(status);
        return r;
    }
    const std::string got = testutil::read_file(report);
    if (got.empty()) return r;
    return parse_report(got);
}

#else

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

template <class Body>
void run_if_child(Body &) {}

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
        write_all(fds[1], child_report(n, body));
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
    return parse_report(got);
}

#endif

// Runs the loop and reports through gtest. Returns the number of runs in
// which an allocation failed (the number of allocation sites the operation
// reaches, counted along its path).
template <class Body>
long each_allocation(const char *name, Body body, long limit = 100000) {
    run_if_child(body);
    int reported = 0;
    std::map<std::string, long> outcomes;
    long n = 1;
    for (; n <= limit; n++) {
        run_result r = run_one(n, body);
        if (r.crashed) {
            ADD_FAILURE() << name << ": run with allocation " << n << " failing did not finish (signal or status "
                          << r.signal << ")";
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
