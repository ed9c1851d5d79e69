// SPDX-License-Identifier: MIT
// Many host threads use the library at once: starting scans until all 32
// slots are taken, polling, cancelling, fetching and freeing results,
// querying ids that do not exist, and deleting files inside and outside the
// scanned roots. Meant for the ThreadSanitizer build, where a data race or a
// lock-order inversion fails the run; in every build it checks that each
// thread's error text answers its own last call, that every scan that
// completes gives exactly the text the same scan gives when run alone, and
// that nothing deadlocks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dupfind.h"
#include "test_util.h"

namespace {

using testutil::json_str;
using testutil::write_file;

struct request {
    std::string dirs;
    const char *options;
};

std::vector<request> requests(const std::string &tree) {
    const std::string one = "[" + json_str(tree) + "]";
    return {{one, nullptr},
            {one, R"({"min_size":0})"},
            {"[" + json_str(tree) + "," + json_str(tree + "/sub") + "]", nullptr},
            {one, R"({"exclude":["deep"]})"},
            {one, R"({"follow_symlinks":true})"}};
}

void make_tree(const std::string &tree) {
    testutil::make_dir(tree);
    testutil::make_dir(tree + "/sub");
    testutil::make_dir(tree + "/sub/deep");
    write_file(tree + "/a1", "alpha");
    write_file(tree + "/sub/a2", "alpha");
    write_file(tree + "/b1", "bravo bravo");
    write_file(tree + "/sub/b2", "bravo bravo");
    write_file(tree + "/sub/deep/b3", "bravo bravo");
    write_file(tree + "/unique", "no copy of this");
    write_file(tree + "/empty1", "");
    write_file(tree + "/sub/empty2", "");
    testutil::make_symlink(tree + "/a1", tree + "/link");
    // Enough work that cancels and queries meet scans that are still running.
    testutil::make_dir(tree + "/many");
    for (int i = 0; i < 300; i++)
        write_file(tree + "/many/f" + std::to_string(i),
                   "content " + std::to_string(i / 2) + std::string(static_cast<size_t>(i % 7), '.'));
}

// Each request run alone, in a process of its own (the table there is
// fresh), one after another.
std::vector<std::string> reference_texts(const std::vector<request> &reqs) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string out;
        for (const auto &r : reqs) {
            int id = dupfind_scan_start(r.dirs.c_str(), r.options);
            if (id < 0 || testutil::wait_for_scan(dupfind_scan_progress, id) != 100) ::_exit(1);
            char *t = dupfind_scan_results(id);
            out += t;
            out.push_back('\0');
            dupfind_free_string(t);
        }
        ssize_t w = ::write(fds[1], out.data(), static_cast<unsigned>(out.size()));
        ::_exit(w == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string got = testutil::drain_and_close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::vector<std::string> texts;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return texts;
    for (size_t at = 0; at < got.size();) {
        size_t end = got.find('\0', at);
        texts.push_back(got.substr(at, end - at));
        at = end + 1;
    }
    return texts;
}

// Problems seen by the threads, reported once they have all been joined.
struct problems {
    std::mutex mu;
    std::vector<std::string> list;
    void add(const std::string &p) {
        std::lock_guard<std::mutex> lock(mu);
        if (list.size() < 20) list.push_back(p);
    }
};

// What the calling thread's error text must be right after its own call.
bool error_is(const char *want, problems &out, const std::string &context) {
    const char *got = dupfind_last_error();
    if (std::strcmp(got, want) == 0) return true;
    out.add(context + ": error text \"" + got + "\", expected \"" + want + "\"");
    return false;
}

// Aborts the process when the run does not end in time: a deadlock would
// otherwise hang the test until the harness kills it, with no message.
class watchdog {
public:
    explicit watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mu_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "stress run did not end within %lld s: deadlock?\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}
    ~watchdog() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

TEST(Stress, ManyHostThreadsAtOnce) {
    DUPFIND_POSIX_ONLY("fork: the reference results come from a child process");
    testutil::TempDir d;
    const std::string tree = d / "tree", victims = d / "victims", outside = d / "outside";
    make_tree(tree);
    testutil::make_dir(victims);
    testutil::make_dir(outside);
    constexpr int kOwnVictims = 40, kContested = 20, kDeleters = 2;
    for (int t = 0; t < kDeleters; t++)
        for (int i = 0; i < kOwnVictims; i++)
            write_file(victims + "/own" + std::to_string(t) + "-" + std::to_string(i), "v");
    for (int i = 0; i < kContested; i++) write_file(victims + "/both" + std::to_string(i), "v");
    write_file(outside + "/keep", "must stay");

    const std::vector<request> reqs = requests(tree);
    const std::vector<std::string> ref = reference_texts(reqs);
    ASSERT_EQ(ref.size(), reqs.size()) << "reference scans failed";

    // The victims' root is registered by a scan that ends before the storm.
    const std::string victims_dirs = "[" + json_str(victims) + "]";
    int victims_scan = dupfind_scan_start(victims_dirs.c_str(), nullptr);
    ASSERT_GT(victims_scan, 0);
    ASSERT_EQ(testutil::wait_for_scan(dupfind_scan_progress, victims_scan), 100);

    watchdog dog(std::chrono::seconds(240));
    problems bad;
    std::atomic<bool> starters_done{false};
    std::atomic<int> started{0}, completed{0}, cancelled{0}, refused_full{0};
    std::atomic<int> contested_removed{0};
    std::mutex ids_mu;
    std::set<int> ids;

    // Starters: start scans until the table is full, with an invalid request
    // now and then, then follow each of their scans to its end.
    auto starter = [&](int t) {
        struct mine {
            int id;
            size_t req;
            bool cancel_sent;
            int last;
        };
        std::vector<mine> scans;
        for (int round = 0;; round++) {
            if (round % 3 == 1) {
                if (dupfind_scan_start("[]", nullptr) != -1) bad.add("an empty dirs_json started");
                // When the table is full the slot check comes first.
                const char *e = dupfind_last_error();
                if (std::strcmp(e, "dirs_json empty") != 0 && std::strcmp(e, "too many concurrent scans") != 0)
                    bad.add(std::string("invalid start: error text \"") + e + "\"");
            }
            size_t r = static_cast<size_t>(t + round) % reqs.size();
            int id = dupfind_scan_start(reqs[r].dirs.c_str(), reqs[r].options);
            if (id < 0) {
                error_is("too many concurrent scans", bad, "start");
                refused_full++;
                break;
            }
            error_is("", bad, "start");
            started++;
            {
                std::lock_guard<std::mutex> lock(ids_mu);
                if (!ids.insert(id).second) bad.add("id " + std::to_string(id) + " handed out twice");
            }
            scans.push_back({id, r, false, 0});
            if (id % 4 == 0) {
                // Most of these reach the scan while it still runs.
                if (dupfind_cancel(id) != 0) bad.add("cancel refused");
                error_is("", bad, "cancel");
                scans.back().cancel_sent = true;
            }
        }
        for (bool open = true; open;) {
            open = false;
            for (auto &s : scans) {
                if (s.last == 100 || s.last == -1) continue;
                int p = dupfind_scan_progress(s.id);
                if (p == -1) {
                    error_is("cancelled", bad, "progress of a scan ended by a cancel");
                    if (!s.cancel_sent) bad.add("scan " + std::to_string(s.id) + " ended without a cancel");
                    cancelled++;
                } else {
                    error_is("", bad, "progress");
                    if (p < s.last) bad.add("progress went down");
                }
                s.last = p;
                if (p == 100) {
                    char *a = dupfind_scan_results(s.id);
                    error_is("", bad, "results");
                    char *b = dupfind_scan_results(s.id);
                    if (!a || !b || a == b || ref[s.req] != a || ref[s.req] != b)
                        bad.add("results of scan " + std::to_string(s.id) + " differ from the same scan run alone");
                    dupfind_free_string(a);
                    dupfind_free_string(b);
                    completed++;
                } else if (p != -1) {
                    open = true;
                    // Still running: no results yet, unless it completed
                    // between the two calls.
                    if (char *early = dupfind_scan_results(s.id)) {
                        if (ref[s.req] != early) bad.add("early results differ");
                        dupfind_free_string(early);
                    } else {
                        error_is("results not ready (progress must be 100)", bad, "early results");
                    }
                }
            }
            std::this_thread::yield();
        }
    };

    // Queries of ids that exist or not, until the starters are done.
    auto querier = [&](int t) {
        for (int i = 0; !starters_done.load(); i++) {
            int bogus = (i % 3 == 0) ? 0 : (i % 3 == 1) ? -1 - t : 100000 + i;
            if (dupfind_scan_progress(bogus) != -1) bad.add("progress of a bogus id");
            error_is("invalid scan_id", bad, "progress of a bogus id");
            if (dupfind_scan_results(bogus) != nullptr) bad.add("results of a bogus id");
            error_is("invalid scan_id", bad, "results of a bogus id");
            if (dupfind_cancel(bogus) != -1) bad.add("cancel of a bogus id");
            error_is("invalid scan_id", bad, "cancel of a bogus id");
            // A real id: its answer is one of the states a scan can be in.
            int p = dupfind_scan_progress(victims_scan);
            if (p != 100) bad.add("the finished victims scan changed");
            error_is("", bad, "progress of a finished scan");
        }
    };

    // Deletes inside the registered root (own files, and files that both
    // deleters race for), outside it, and of things the guards refuse.
    auto deleter = [&](int t) {
        for (int i = 0; i < kOwnVictims; i++) {
            std::string own = victims + "/own" + std::to_string(t) + "-" + std::to_string(i);
            if (dupfind_delete_file(own.c_str()) != 1) bad.add("delete of " + own + " failed");
            error_is("", bad, "delete");
            if (dupfind_delete_file(own.c_str()) != -1) bad.add("second delete of " + own);
            error_is("path not found", bad, "second delete");

            std::string both = victims + "/both" + std::to_string(i % kContested);
            int r = dupfind_delete_file(both.c_str());
            if (r == 1) {
                contested_removed++;
                error_is("", bad, "contested delete");
            } else if (r != -1) {
                bad.add("contested delete gave " + std::to_string(r));
            } else if (std::strcmp(dupfind_last_error(), "path not found") != 0 &&
                       std::strncmp(dupfind_last_error(), "unlink failed", 13) != 0) {
                bad.add(std::string("contested delete: error text \"") + dupfind_last_error() + "\"");
            }

            if (dupfind_delete_file((outside + "/keep").c_str()) != 0) bad.add("delete outside the roots");
            error_is("refused: outside scanned roots", bad, "delete outside");
            if (dupfind_delete_file((victims + "/../outside/keep").c_str()) != 0) bad.add("delete through ..");
            error_is("refused: path contains ..", bad, "delete through ..");
            if (dupfind_delete_file(victims.c_str()) != 0) bad.add("delete of the root directory");
            error_is("refused: directory", bad, "delete of a directory");
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++) threads.emplace_back(starter, t);
    std::vector<std::thread> others;
    for (int t = 0; t < 2; t++) others.emplace_back(querier, t);
    for (int t = 0; t < kDeleters; t++) others.emplace_back(deleter, t);
    for (auto &th : threads) th.join();
    starters_done = true;
    for (auto &th : others) th.join();

    for (const auto &p : bad.list) ADD_FAILURE() << p;
    EXPECT_EQ(started.load(), 31) << "every slot but the victims scan's must have been taken";
    EXPECT_EQ(refused_full.load(), 6);
    EXPECT_EQ(completed.load() + cancelled.load(), 31);
    EXPECT_GT(completed.load(), 0);
    EXPECT_EQ(contested_removed.load(), kContested) << "each contested file removed exactly once";
    EXPECT_TRUE(testutil::exists(outside + "/keep"));
    for (int id : ids) {
        int p = dupfind_scan_progress(id);
        EXPECT_TRUE(p == 100 || p == -1) << "scan " << id << " at " << p;
    }
    std::printf("[ stress   ] 31 scans started by 6 threads: %d completed, %d cancelled; %d deletes\n",
                completed.load(), cancelled.load(), kDeleters * kOwnVictims + kContested);
}
