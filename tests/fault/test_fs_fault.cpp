// SPDX-License-Identifier: MIT
// The file system changes under a scan: between the walk and the
// fingerprints, and in the middle of the walk. Whatever changes, the scan
// ends, every group it reports holds files whose content is equal now and
// that are distinct files (deleting all but one member loses nothing), every
// set of copies that nobody touched is reported together, and a file that
// could no longer be read as the walk recorded it is reported, not dropped.
// And the process runs short of file handles: the results do not change.
//
// The same cases run on every system. Where Windows lacks what a case sets
// up on POSIX systems (FIFOs, a limit of open files to lower, a directory
// its owner cannot list), the platform layer's replaceable "content_open"
// and "dir_open" entries give the result that set-up gives the library.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dupfind.h"
#include "first_block.h"
#include "platform/platform.h"
#include "scan_fixture.h"
#include "test_util.h"

#ifndef O_BINARY
#  define O_BINARY 0
#endif

using testutil::TempDir;
using testutil::write_file;

// ---- a hook on opening a directory for listing -----------------------------------
//
// The platform layer opens every directory it lists through its replaceable
// "dir_open" entry. Replacing it puts a hook in front of the system's: a
// test can change the tree at the moment the walk is about to list a given
// directory, after that directory was seen as an entry of its parent.

namespace {
std::function<void(const char *)> g_before_opendir;
std::string g_refused_dir;            // a directory whose listing is refused, as to a user without access
std::atomic<int> g_opendir_calls{0};  // several scans may walk at once

dup_result hooked_dir_open(const char *path, dup_dir_t **dir) {
    static const auto system = reinterpret_cast<dup_result (*)(const char *, dup_dir_t **)>(
        dup_syscall_default("dir_open"));
    g_opendir_calls++;
    if (g_before_opendir) g_before_opendir(path);
    if (!g_refused_dir.empty() && g_refused_dir == path) {
        *dir = nullptr;
        return DUP_FAILED;
    }
    return system(path, dir);
}

// The same for a file's content: a path whose open is refused as the
// system's open refuses what is not a regular file (a FIFO put in its
// place), and a process with only so many handles free, whose opens beyond
// them fail as the system fails them while each close frees one again.
std::string g_refused_content;
std::atomic<int> g_handles_free{-1};  // < 0: as many as the system gives

dup_result hooked_content_open(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *out) {
    static const auto system = reinterpret_cast<dup_result (*)(const char *, int, uint64_t, uint64_t, dup_content_t *)>(
        dup_syscall_default("content_open"));
    *out = DUP_CONTENT_NONE;
    if (!g_refused_content.empty() && g_refused_content == path) return DUP_FAILED;
    int left = g_handles_free.load();
    if (left < 0) return system(path, sequential, dev, ino, out);
    do {
        if (left == 0) return DUP_NO_HANDLE;
    } while (!g_handles_free.compare_exchange_weak(left, left - 1));
    const dup_result r = system(path, sequential, dev, ino, out);
    if (r != DUP_OK) g_handles_free++;
    return r;
}

void hooked_content_close(dup_content_t h) {
    static const auto system = reinterpret_cast<void (*)(dup_content_t)>(dup_syscall_default("content_close"));
    system(h);
    if (h != DUP_CONTENT_NONE && g_handles_free.load() >= 0) g_handles_free++;
}

// Installed before any test runs: the hooks do nothing until a test sets
// what they act on.
const bool g_hook_installed = dup_syscall_replace("dir_open", reinterpret_cast<dup_syscall_ptr>(&hooked_dir_open)) &&
                              dup_syscall_replace("content_open",
                                                  reinterpret_cast<dup_syscall_ptr>(&hooked_content_open)) &&
                              dup_syscall_replace("content_close",
                                                  reinterpret_cast<dup_syscall_ptr>(&hooked_content_close));

// ---- what must hold after any change ---------------------------------------------

bool read_now(const std::string &path, std::string &out) {
    // Never blocks: a member that turned into a FIFO is not a readable copy.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_BINARY);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    out.clear();
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return n == 0;
}

std::string canonical(const std::string &path) {
    char *r = realpath(path.c_str(), nullptr);
    std::string out = r ? r : "";
    free(r);
    return out;
}

// Soundness of the groups as the files are now, and completeness for the
// copies that were left alone (`untouched`: path -> content).
std::string check_groups(const ScanFixture &rec, const std::map<std::string, std::string> &untouched) {
    for (const auto &g : rec.group_sets()) {
        if (g.size() < 2) return "a group with fewer than two files";
        std::string first, content;
        if (!read_now(*g.begin(), first)) return "group member " + *g.begin() + " is not a readable regular file now";
        std::set<std::string> canon;
        for (const auto &p : g) {
            if (!read_now(p, content)) return "group member " + p + " is not a readable regular file now";
            if (content != first) return "group member " + p + " differs from " + *g.begin();
            if (!canon.insert(canonical(p)).second)
                return "group lists " + p + " which is another member under a second name";
        }
    }
    std::map<std::string, std::set<std::string>> copies;
    for (const auto &[path, content] : untouched) copies[content].insert(path);
    for (const auto &[content, paths] : copies) {
        if (paths.size() < 2) continue;
        bool found = false;
        for (const auto &g : rec.group_sets())
            if (std::includes(g.begin(), g.end(), paths.begin(), paths.end())) found = true;
        if (!found) return "untouched copies " + *paths.begin() + " ... not reported together";
    }
    return "";
}

// Runs fn in a child that is killed after `seconds`: a scan that hangs on a
// changed file fails the test instead of the whole run. Windows has no
// fork: fn runs on a thread of this process, and one that overruns ends the
// process as failed (ctest runs each case in a process of its own).
#ifdef _WIN32
std::string in_child_with_deadline(const std::function<std::string()> &fn, unsigned seconds = 30) {
    auto done = std::make_shared<std::promise<std::string>>();
    std::future<std::string> result = done->get_future();
    std::thread([fn, done] {
        try {
            done->set_value(fn());
        } catch (const std::exception &e) {
            done->set_value(std::string("the test's own code threw: ") + e.what());
        }
    }).detach();
    if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "did not finish within %u s\n", seconds);
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return result.get();
}
#else
std::string in_child_with_deadline(const std::function<std::string()> &fn, unsigned seconds = 30) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(seconds);
        std::string problem;
        try {
            problem = fn();
        } catch (const std::exception &e) {
            problem = std::string("the test's own code threw: ") + e.what();
        }
        problem = "=" + problem;
        ssize_t w = ::write(fds[1], problem.data(), static_cast<unsigned>(problem.size()));
        ::_exit(w == static_cast<ssize_t>(problem.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string got = testutil::drain_and_close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return "did not finish within " + std::to_string(seconds) + " s";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got.empty() || got[0] != '=')
        return "the child crashed (status " + std::to_string(status) + ")";
    return got.substr(1);
}
#endif

// ---- the fixture -------------------------------------------------------------------

struct fixture {
    TempDir dir;
    std::string root;
    std::map<std::string, std::string> untouched;  // copies no case changes
    std::string victim, partner;                   // two copies that a case changes

    explicit fixture(const std::string &victim_content) {
        root = dir / "root";
        testutil::make_dir(root);
        testutil::make_dir(root + "/sub");
        testutil::make_dir(root + "/sub/deep");
        keep("one-a", "first kept content");
        keep("sub/one-b", "first kept content");
        keep("sub/two-a", "second kept content, three copies");
        keep("sub/deep/two-b", "second kept content, three copies");
        keep("two-c", "second kept content, three copies");
        std::string big(100000, 'k');
        big[70000] = 'K';
        keep("big-a", big);
        keep("sub/big-b", big);
        keep("lonely", "a file with no copy");
        if (!testutil::symlinks_unavailable())
            testutil::make_symlink("one-a", root + "/link");  // the walk's own skipped record
        victim = root + "/victim";
        partner = root + "/sub/partner";
        write_file(victim, victim_content);
        write_file(partner, victim_content);
    }
    void keep(const std::string &rel, const std::string &content) {
        write_file(root + "/" + rel, content);
        untouched[root + "/" + rel] = content;
    }
};

void must(bool ok, const char *what) {
    if (!ok) throw std::runtime_error(what);
}

void append(const std::string &path, const std::string &more) {
    FILE *f = std::fopen(path.c_str(), "ab");
    must(f && std::fwrite(more.data(), 1, more.size(), f) == more.size(), "append");
    std::fclose(f);
}

void overwrite_byte(const std::string &path, long at, char c) {
    FILE *f = std::fopen(path.c_str(), "r+b");
    must(f && std::fseek(f, at, SEEK_SET) == 0 && std::fputc(c, f) == c, "overwrite");
    std::fclose(f);
}

void remove_tree(const std::string &path) {
#ifdef _WIN32
    testutil::remove_tree(testutil::long_path(path));
    must(!testutil::exists(path), "remove_tree");
#else
    must(std::system(("rm -rf '" + path + "'").c_str()) == 0, "rm");
#endif
}

// Puts a FIFO in place of the file; Windows has none, and there the
// file's content open is refused as the system's open refuses one.
void become_fifo(const std::string &path) {
#ifdef _WIN32
    g_refused_content = path;
#else
    must(::unlink(path.c_str()) == 0 && ::mkfifo(path.c_str(), 0644) == 0, "mkfifo");
#endif
}

// Why a case that makes symbolic links cannot run here, or null.
const char *no_links() { return testutil::symlinks_unavailable(); }

struct change {
    const char *name;
    std::string content;  // of the victim and its partner before the change
    std::function<void(const fixture &)> apply;
    std::vector<std::string> unreadable;  // paths below the root reported as read_failed
    const char *cannot_run = nullptr;     // why the system cannot set the case up, or null
};

// The skipped records after the walk's own: "read_failed" for `paths`
// (below root), in path order.
std::string check_read_failed(const dup_scan_t &s, int32_t walk_records, const std::string &root,
                              std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> got;
    for (int32_t k = walk_records; k < s.n_skipped; k++) {
        if (s.skipped[k].reason != DUP_SKIP_READ_FAILED)
            return std::string("skipped after the walk's records for ") + dup_skip_reason_name(s.skipped[k].reason);
        got.push_back(s.skipped[k].path);
    }
    std::vector<std::string> want;
    for (const auto &p : paths) want.push_back(root + "/" + p);
    if (got == want) return "";
    std::string text = "read_failed:";
    for (const auto &p : got) text += " " + p.substr(root.size() + 1);
    text += "; expected:";
    for (const auto &p : paths) text += " " + p;
    return text;
}

}  // namespace

// The walk has recorded every file (with its size) when the tree changes;
// then the grouping reads the files as they are.
TEST(FsFault, ChangesBetweenWalkAndFingerprints) {
    const std::string small = "victim and partner content";
    std::string large(100000, 'v');
    large[5] = 'w';
    const std::vector<change> changes{
        {"vanished", small, [](const fixture &f) { must(::unlink(f.victim.c_str()) == 0, "unlink"); }, {"victim"}},
        {"shrank", small, [](const fixture &f) { must(::truncate(f.victim.c_str(), 5) == 0, "truncate"); }, {"victim"}},
        {"grew", small, [](const fixture &f) { append(f.victim, "+more"); }, {"victim"}},
        {"both grew alike",
         small,
         [](const fixture &f) {
             append(f.victim, "+more");
             append(f.partner, "+more");
         },
         {"victim", "sub/partner"}},
        {"changed in place", small, [](const fixture &f) { overwrite_byte(f.victim, 3, '#'); }, {}},
        {"changed past the first block", large, [](const fixture &f) { overwrite_byte(f.victim, 90000, '#'); }, {}},
        {"changed in the first block only", large, [](const fixture &f) { overwrite_byte(f.victim, 10, '#'); }, {}},
        {"became a FIFO", small, [](const fixture &f) { become_fifo(f.victim); }, {"victim"}},
        {"partner became a FIFO", small, [](const fixture &f) { become_fifo(f.partner); }, {"sub/partner"}},
        {"became a directory",
         small,
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0 && ::mkdir(f.victim.c_str(), 0755) == 0, "mkdir");
         },
         {"victim"}},
        {"became a link to an endless device",
         std::string(10, '\0'),
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0 && ::symlink("/dev/zero", f.victim.c_str()) == 0, "symlink");
         },
         {"victim"},
#ifdef _WIN32
         "Windows has no endless device file to link to"},
#else
         nullptr},
#endif
        {"became a hard link to its copy",
         small,
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0 && ::link(f.partner.c_str(), f.victim.c_str()) == 0, "link");
         },
         {"victim"}},
        {"became a symbolic link to its copy",
         small,
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0, "unlink");
             testutil::make_symlink(f.partner, f.victim);
         },
         {"victim"},
         no_links()},
        {"swapped with its copy",
         small,
         [](const fixture &f) {
             std::string tmp = f.root + "/swap";
             must(::rename(f.victim.c_str(), tmp.c_str()) == 0 && ::rename(f.partner.c_str(), f.victim.c_str()) == 0 &&
                      ::rename(tmp.c_str(), f.partner.c_str()) == 0,
                  "rename");
         },
         {"victim", "sub/partner"}},
        {"a directory of copies removed",
         small,
         [](const fixture &f) { remove_tree(f.root + "/sub/deep"); },
         {"sub/deep/two-b"}},
    };
    for (const auto &c : changes) {
        SCOPED_TRACE(c.name);
        if (c.cannot_run) {
            std::printf("[ skipped  ] %s: %s\n", c.name, c.cannot_run);
            continue;
        }
        g_refused_content.clear();
        fixture f(c.content);
        std::map<std::string, std::string> untouched = f.untouched;
        if (std::string(c.name) == "a directory of copies removed") untouched.erase(f.root + "/sub/deep/two-b");
        ScanFixture rec(f.root);
        ASSERT_EQ(dup_walk_collect(&rec.s), 0);
        ASSERT_EQ(rec.s.n_files, 10);
        const int32_t walk_records = rec.s.n_skipped;
        ASSERT_EQ(walk_records, no_links() ? 0 : 1);  // the link
        c.apply(f);
        std::string problem = in_child_with_deadline([&]() -> std::string {
            if (int r = dup_group_files(&rec.s); r != 0) return "grouping returned " + std::to_string(r);
            if (std::string p = check_read_failed(rec.s, walk_records, f.root, c.unreadable); !p.empty()) return p;
            return check_groups(rec, untouched);
        });
        EXPECT_EQ(problem, "");
    }
    g_refused_content.clear();
}

// The tree changes while it is walked: a directory is removed, made
// unreadable or swapped for a link just before the walk lists it, or the
// entries of its parent that were listed already vanish. The scan ends,
// reports the directory it could not list, and its groups hold.
TEST(FsFault, ChangesDuringTheWalk) {
    struct during {
        const char *name;
        std::function<void(const fixture &, const char *dir)> before_listing;
        const char *skipped_reason;  // for root/sub, or null
        const char *cannot_run;      // why the system cannot set the case up, or null
    };
    const std::vector<during> cases{
        {"listed directory removed",
         [](const fixture &f, const char *dir) {
             if (f.root + "/sub" == dir) remove_tree(f.root + "/sub");
         },
         "opendir_failed", nullptr},
        {"listed directory replaced by a link to another tree",
         [](const fixture &f, const char *dir) {
             if (f.root + "/sub" != dir) return;
             std::string elsewhere = f.dir / "elsewhere";
             must(std::rename((f.root + "/sub").c_str(), elsewhere.c_str()) == 0, "rename");
             testutil::make_symlink(elsewhere, f.root + "/sub");
         },
         nullptr, no_links()},
        {"siblings vanish after the listing",
         [](const fixture &f, const char *dir) {
             if (f.root + "/sub" != dir) return;
             for (const char *rel : {"one-a", "two-c", "big-a", "lonely", "victim"})
                 ::unlink((f.root + "/" + rel).c_str());
         },
         nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.cannot_run) {
            std::printf("[ skipped  ] %s: %s\n", c.name, c.cannot_run);
            continue;
        }
        fixture f("victim and partner content");
        std::string problem = in_child_with_deadline([&]() -> std::string {
            g_opendir_calls = 0;
            g_before_opendir = [&](const char *dir) { c.before_listing(f, dir); };
            ScanFixture rec(f.root);
            dup_scan_worker(&rec.s);
            g_before_opendir = nullptr;
            if (!g_hook_installed || g_opendir_calls == 0) return "the walk never opened a directory through the hook";
            if (rec.s.progress.load() != 100) return std::string("scan ended with ") + rec.s.error;
            // Only files that are still where the walk found them count as
            // untouched copies; nothing may be collected from outside the root.
            std::map<std::string, std::string> untouched;
            std::string content;
            for (const auto &[path, want] : f.untouched)
                if (read_now(path, content) && content == want && path.find("/sub/") == std::string::npos)
                    untouched[path] = want;
            for (const auto &p : rec.file_paths()) {
                std::string canon = canonical(p);
                if (!canon.empty() && canon.compare(0, canonical(f.root).size() + 1, canonical(f.root) + "/") != 0)
                    return "collected " + p + ", which is outside the root (" + canon + ")";
            }
            if (c.skipped_reason) {
                bool recorded = false;
                for (int32_t k = 0; k < rec.s.n_skipped; k++)
                    if (f.root + "/sub" == rec.s.skipped[k].path &&
                        !strcmp(dup_skip_reason_name(rec.s.skipped[k].reason), c.skipped_reason))
                        recorded = true;
                if (!recorded) return std::string("root/sub not recorded as ") + c.skipped_reason;
            }
            return check_groups(rec, untouched);
        });
        EXPECT_EQ(problem, "");
    }
}

// A directory that becomes unreadable just before it is listed: on POSIX
// systems its permissions are taken away (the check needs a process without
// root's privileges); Windows (Wine) keeps no access rights that could
// refuse a process, and there the listing is refused through "dir_open" as
// the system refuses it to a user without access.
namespace {

// 10: setup failed, 11: scan failed, 12: not recorded, 13: wrong groups.
int scan_with_locked_dir(const std::string &root) {
    if (::mkdir(root.c_str(), 0755) != 0 || ::mkdir((root + "/locked").c_str(), 0755) != 0) return 10;
    write_file(root + "/a", "copy");
    write_file(root + "/locked/b", "copy");
    write_file(root + "/c", "copy");
#ifdef _WIN32
    g_refused_dir = root + "/locked";
#else
    g_before_opendir = [&](const char *dir) {
        if (root + "/locked" == dir) ::chmod(dir, 0);
    };
#endif
    ScanFixture rec(root);
    dup_scan_worker(&rec.s);
    g_before_opendir = nullptr;
    g_refused_dir.clear();
    if (rec.s.progress.load() != 100) return 11;
    bool recorded = false;
    for (int32_t k = 0; k < rec.s.n_skipped; k++)
        if (root + "/locked" == rec.s.skipped[k].path && rec.s.skipped[k].reason == DUP_SKIP_OPENDIR_FAILED)
            recorded = true;
    if (!recorded) return 12;
    std::vector<std::set<std::string>> want{{root + "/a", root + "/c"}};
    return rec.group_sets() == want ? 0 : 13;
}

}  // namespace

TEST(FsFault, DirectoryMadeUnreadableDuringTheWalk) {
    TempDir d;
    const std::string base = d / "open";
    testutil::make_dir(base);
#ifdef _WIN32
    const int status = scan_with_locked_dir(base + "/root");
#else
    ::chmod(base.c_str(), 0777);
    const int status = testutil::run_unprivileged([&]() -> int { return scan_with_locked_dir(base + "/root"); });
#endif
    EXPECT_EQ(status, 0);
}

// ---- running short of file handles ---------------------------------------------------
//
// Every file compared holds a handle while it is read. When the process has
// few or none free, readers wait and read fewer files at once: the results
// text is the one the same tree gives with handles to spare.

namespace {

// One flat directory (the walk holds a single directory open): 40 pairs of
// small copies, a run of 20 copies of 70,000 bytes (read in more than one
// lockstep batch), three pairs of large copies and a large file that
// differs from its two copies only in its last byte.
std::string make_handle_tree(const TempDir &d, size_t large) {
    const std::string root = d / "flat";
    testutil::make_dir(root);
    for (int k = 0; k < 40; k++) {
        const std::string c = testutil::pattern(100 + static_cast<size_t>(k % 8) * 700, static_cast<unsigned>(k));
        write_file(root + "/small" + std::to_string(k) + "a", c);
        write_file(root + "/small" + std::to_string(k) + "b", c);
    }
    const std::string run = testutil::pattern(70000, 100);
    for (int k = 0; k < 20; k++) write_file(root + "/run" + std::to_string(k), run);
    for (int k = 0; k < 3; k++) {
        const std::string c = testutil::pattern(large + static_cast<size_t>(k), static_cast<unsigned>(200 + k));
        write_file(root + "/large" + std::to_string(k) + "a", c);
        write_file(root + "/large" + std::to_string(k) + "b", c);
    }
    std::string odd = testutil::pattern(large + 100, 300);
    write_file(root + "/odd-a", odd);
    write_file(root + "/odd-b", odd);
    odd.back() = static_cast<char>(odd.back() ^ 1);
    write_file(root + "/odd-c", odd);
    write_file(root + "/lonely", "no copy");
    return root;
}

// The results text of a scan of root, run on the calling thread.
std::string scan_text(const std::string &root) {
    ScanFixture rec(root);
    dup_scan_worker(&rec.s);
    if (rec.s.progress.load() != 100) return std::string("scan ended with ") + rec.s.error;
    return rec.s.results_json;
}

#ifdef _WIN32
// Windows bounds a process's handles by memory alone: there is no limit to
// lower. For as long as this object lives, the content entries leave the
// library `left` handles free, as a host holding all the others would.
// (Made while the library holds no content handle.)
struct handle_shortage {
    explicit handle_shortage(int left) { g_handles_free = left; }
    ~handle_shortage() { g_handles_free = -1; }
    handle_shortage(const handle_shortage &) = delete;
    handle_shortage &operator=(const handle_shortage &) = delete;
};
#else
// Takes every handle the process may still open but `keep`; 0 or -1.
int leave_free(int keep) {
    std::vector<int> fds;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        fds.push_back(fd);
    }
    if (errno != EMFILE || static_cast<int>(fds.size()) < keep) return -1;
    for (int k = 0; k < keep; k++) {
        ::close(fds.back());
        fds.pop_back();
    }
    return 0;
}
#endif

}  // namespace

// A host that holds all but a few of its handles. Whether the scan's
// readers find none free at a given moment depends on how they interleave:
// large files keep the reading threads busy side by side for a while, and
// each count is scanned a few times over.
TEST(FsFault, FewFreeHandlesChangeNoResult) {
    TempDir d;
    const std::string root = make_handle_tree(d, 2000000);
    const std::string want = scan_text(root);
    ASSERT_EQ(want.compare(0, 10, "{\"groups\":"), 0) << want;
    for (const int free_handles : {2, 5}) {
        SCOPED_TRACE(free_handles);
        std::string problem = in_child_with_deadline([&]() -> std::string {
#ifdef _WIN32
            const handle_shortage shortage(free_handles);
#else
            const struct rlimit lim = {1024, 1024};
            if (::setrlimit(RLIMIT_NOFILE, &lim) != 0 || leave_free(free_handles) != 0)
                return "could not take the handles";
#endif
            for (int round = 0; round < 4; round++) {
                const std::string got = scan_text(root);
                if (got != want) return "results differ in round " + std::to_string(round) + ": " + got;
            }
            return "";
        });
        EXPECT_EQ(problem, "");
    }
}

// Holds each scan's worker at its first partial fingerprint until every
// scan has come that far, so that all of them compare their files at once.
std::atomic<int> g_scans_waiting{0};
uint64_t wait_for_all_scans(const char *, int full, uint64_t h) {
    thread_local bool met = false;
    if (!full && !met) {
        met = true;
        g_scans_waiting.fetch_add(1);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (g_scans_waiting.load() < DUP_MAX_SCANS && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return h;
}

// 32 scans at once through the public interface under a limit of 128.
TEST(FsFault, ThirtyTwoScansUnderALowLimitChangeNoResult) {
    TempDir d;
    const std::string root = make_handle_tree(d, 300000);
    const std::string want = scan_text(root);
    ASSERT_EQ(want.compare(0, 10, "{\"groups\":"), 0) << want;
    std::string problem = in_child_with_deadline(
        [&]() -> std::string {
#ifdef _WIN32
            const handle_shortage shortage(60);  // fewer than 32 scans would hold at once
#else
            const struct rlimit lim = {128, 128};
            if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) return "setrlimit failed";
#endif
            dup_test_fingerprint_hook = wait_for_all_scans;
            const std::string dirs = "[" + testutil::json_str(root) + "]";
            std::vector<int> ids;
            for (int k = 0; k < DUP_MAX_SCANS; k++) {
                const int id = dupfind_scan_start(dirs.c_str(), nullptr);
                if (id < 0) return std::string("scan_start: ") + dupfind_last_error();
                ids.push_back(id);
            }
            int wrong = 0;
            std::string first_wrong;
            for (const int id : ids) {
                if (testutil::wait_for_scan(dupfind_scan_progress, id) != 100) return "a scan did not finish";
                char *text = dupfind_scan_results(id);
                if (!text) return "no results text";
                if (want != text && wrong++ == 0) first_wrong = text;
                dupfind_free_string(text);
            }
            return wrong == 0 ? "" : std::to_string(wrong) + " of 32 results differ, e.g. " + first_wrong;
        },
        120);
    EXPECT_EQ(problem, "");
}

// No handle at all is free once the walk is done. The files are waited for,
// then reported; a cancel ends the waiting at once (without it, sixty files
// would wait far longer than the child's deadline).
namespace {
void *cancel_soon(void *scan) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    static_cast<dup_scan_t *>(scan)->cancel.store(1);
    return nullptr;
}
}  // namespace

TEST(FsFault, NoFreeHandleReportsTheFilesOrEndsAtACancel) {
    TempDir d;
    const std::string pair = d / "pair", many = d / "many";
    testutil::make_dir(pair);
    testutil::make_dir(many);
    write_file(pair + "/a", "copy");
    write_file(pair + "/b", "copy");
    write_file(pair + "/lonely", "never opened");
    for (int k = 0; k < 60; k++) write_file(many + "/f" + std::to_string(k), "same size");
    struct Case {
        const char *what;
        std::string root;
        bool cancel;
    };
    for (const Case &c :
         {Case{"every file waited for and reported", pair, false}, Case{"a cancel ends the waits", many, true}}) {
        SCOPED_TRACE(c.what);
        std::string problem = in_child_with_deadline([&]() -> std::string {
            ScanFixture rec(c.root);
            if (dup_walk_collect(&rec.s) != 0 || rec.s.n_files < 3) return "walk failed";
            // A plain thread: the undefined-behaviour sanitizer's check of
            // std::thread's virtual dispatch misfires with no descriptor free.
            pthread_t canceller;
            const bool started = c.cancel && ::pthread_create(&canceller, nullptr, cancel_soon, &rec.s) == 0;
            if (c.cancel && !started) return "could not start the canceller";
#ifdef _WIN32
            const handle_shortage shortage(0);
#else
            const struct rlimit lim = {256, 256};
            if (::setrlimit(RLIMIT_NOFILE, &lim) != 0 || leave_free(0) != 0) {
                if (started) ::pthread_join(canceller, nullptr);
                return "could not take the handles";
            }
#endif
            const int r = dup_group_files(&rec.s);
            if (started) ::pthread_join(canceller, nullptr);
            if (c.cancel) return r == 1 ? "" : "grouping returned " + std::to_string(r) + ", not cancelled";
            if (r != 0) return "grouping returned " + std::to_string(r);
            if (rec.s.n_groups != 0) return "a group of files that were never read";
            return check_read_failed(rec.s, 0, c.root, {"a", "b"});
        });
        EXPECT_EQ(problem, "");
    }
}
