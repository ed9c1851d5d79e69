// The file system changes under a scan: between the walk and the
// fingerprints, and in the middle of the walk. Whatever changes, the scan
// ends, every group it reports holds files whose content is equal now and
// that are distinct files (deleting all but one member loses nothing), and
// every set of copies that nobody touched is reported together.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scan_fixture.h"
#include "test_util.h"

using testutil::TempDir;
using testutil::write_file;

// ---- a hook on opening a directory for listing -----------------------------------
//
// The walk lists directories with opendir. Defining it here puts a hook in
// front of the C library's: a test can change the tree at the moment the
// walk is about to list a given directory, after that directory was seen as
// an entry of its parent.

namespace {
std::function<void(const char *)> g_before_opendir;
int g_opendir_calls = 0;
}  // namespace

extern "C" DIR *opendir(const char *name) {
    using real_fn = DIR *(*)(const char *);
    static real_fn real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "opendir"));
    g_opendir_calls++;
    if (g_before_opendir) g_before_opendir(name);
    return real(name);
}

namespace {

// ---- what must hold after any change ---------------------------------------------

bool read_now(const std::string &path, std::string &out) {
    // Never blocks: a member that turned into a FIFO is not a readable copy.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
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
// changed file fails the test instead of the whole run.
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
        ssize_t w = ::write(fds[1], problem.data(), problem.size());
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

// ---- the fixture -------------------------------------------------------------------

struct fixture {
    TempDir dir;
    std::string root;
    std::map<std::string, std::string> untouched;  // copies no case changes
    std::string victim, partner;                  // two copies that a case changes

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
    int fd = ::open(path.c_str(), O_WRONLY);
    must(fd >= 0 && ::pwrite(fd, &c, 1, at) == 1, "pwrite");
    ::close(fd);
}

struct change {
    const char *name;
    std::string content;  // of the victim and its partner before the change
    std::function<void(const fixture &)> apply;
};

}  // namespace

// The walk has recorded every file (with its size) when the tree changes;
// then the grouping reads the files as they are.
TEST(FsFault, ChangesBetweenWalkAndFingerprints) {
    const std::string small = "victim and partner content";
    std::string large(100000, 'v');
    large[5] = 'w';
    const std::vector<change> changes{
        {"vanished", small, [](const fixture &f) { must(::unlink(f.victim.c_str()) == 0, "unlink"); }},
        {"shrank", small, [](const fixture &f) { must(::truncate(f.victim.c_str(), 5) == 0, "truncate"); }},
        {"grew", small, [](const fixture &f) { append(f.victim, "+more"); }},
        {"both grew alike", small,
         [](const fixture &f) {
             append(f.victim, "+more");
             append(f.partner, "+more");
         }},
        {"changed in place", small, [](const fixture &f) { overwrite_byte(f.victim, 3, '#'); }},
        {"changed past the first block", large, [](const fixture &f) { overwrite_byte(f.victim, 90000, '#'); }},
        {"changed in the first block only", large, [](const fixture &f) { overwrite_byte(f.victim, 10, '#'); }},
        {"became a FIFO", small,
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0 && ::mkfifo(f.victim.c_str(), 0644) == 0, "mkfifo");
         }},
        {"partner became a FIFO", small,
         [](const fixture &f) {
             must(::unlink(f.partner.c_str()) == 0 && ::mkfifo(f.partner.c_str(), 0644) == 0, "mkfifo");
         }},
        {"became a directory", small,
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0 && ::mkdir(f.victim.c_str(), 0755) == 0, "mkdir");
         }},
        {"became a link to an endless device", std::string(10, '\0'),
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0 && ::symlink("/dev/zero", f.victim.c_str()) == 0, "symlink");
         }},
        {"became a hard link to its copy", small,
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0 && ::link(f.partner.c_str(), f.victim.c_str()) == 0, "link");
         }},
        {"became a symbolic link to its copy", small,
         [](const fixture &f) {
             must(::unlink(f.victim.c_str()) == 0 && ::symlink(f.partner.c_str(), f.victim.c_str()) == 0,
                  "symlink");
         }},
        {"swapped with its copy", small,
         [](const fixture &f) {
             std::string tmp = f.root + "/swap";
             must(::rename(f.victim.c_str(), tmp.c_str()) == 0 && ::rename(f.partner.c_str(), f.victim.c_str()) == 0 &&
                      ::rename(tmp.c_str(), f.partner.c_str()) == 0,
                  "rename");
         }},
        {"a directory of copies removed", small,
         [](const fixture &f) {
             must(std::system(("rm -rf '" + f.root + "/sub/deep'").c_str()) == 0, "rm");
         }},
    };
    for (const auto &c : changes) {
        SCOPED_TRACE(c.name);
        fixture f(c.content);
        std::map<std::string, std::string> untouched = f.untouched;
        if (std::string(c.name) == "a directory of copies removed")
            untouched.erase(f.root + "/sub/deep/two-b");
        ScanFixture rec(f.root);
        ASSERT_EQ(dup_walk_collect(&rec.s), 0);
        ASSERT_EQ(rec.s.n_files, 10);
        c.apply(f);
        std::string problem = in_child_with_deadline([&]() -> std::string {
            if (int r = dup_group_files(&rec.s); r != 0) return "grouping returned " + std::to_string(r);
            return check_groups(rec, untouched);
        });
        EXPECT_EQ(problem, "");
    }
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
    };
    const std::vector<during> cases{
        {"listed directory removed",
         [](const fixture &f, const char *dir) {
             if (f.root + "/sub" == dir) must(std::system(("rm -rf '" + f.root + "/sub'").c_str()) == 0, "rm");
         },
         "opendir_failed"},
        {"listed directory replaced by a link to another tree",
         [](const fixture &f, const char *dir) {
             if (f.root + "/sub" != dir) return;
             std::string elsewhere = f.dir / "elsewhere";
             must(std::system(("mv '" + f.root + "/sub' '" + elsewhere + "'").c_str()) == 0, "mv");
             must(::symlink(elsewhere.c_str(), (f.root + "/sub").c_str()) == 0, "symlink");
         },
         nullptr},
        {"siblings vanish after the listing",
         [](const fixture &f, const char *dir) {
             if (f.root + "/sub" != dir) return;
             for (const char *rel : {"one-a", "two-c", "big-a", "lonely", "victim"})
                 ::unlink((f.root + "/" + rel).c_str());
         },
         nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fixture f("victim and partner content");
        std::string problem = in_child_with_deadline([&]() -> std::string {
            g_opendir_calls = 0;
            g_before_opendir = [&](const char *dir) { c.before_listing(f, dir); };
            ScanFixture rec(f.root);
            dup_scan_worker(&rec.s);
            g_before_opendir = nullptr;
            if (g_opendir_calls == 0) return "the walk never called opendir; the hook needs updating";
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
                    if (f.root + "/sub" == rec.s.skipped[k].path && !strcmp(rec.s.skipped[k].reason, c.skipped_reason))
                        recorded = true;
                if (!recorded) return std::string("root/sub not recorded as ") + c.skipped_reason;
            }
            return check_groups(rec, untouched);
        });
        EXPECT_EQ(problem, "");
    }
}

// A directory that becomes unreadable just before it is listed (the
// permission check needs a process without root's privileges).
TEST(FsFault, DirectoryMadeUnreadableDuringTheWalk) {
    TempDir d;
    const std::string base = d / "open";
    testutil::make_dir(base);
    ::chmod(base.c_str(), 0777);
    int status = testutil::run_unprivileged([&]() -> int {
        const std::string root = base + "/root";
        if (::mkdir(root.c_str(), 0755) != 0 || ::mkdir((root + "/locked").c_str(), 0755) != 0) return 10;
        write_file(root + "/a", "copy");
        write_file(root + "/locked/b", "copy");
        write_file(root + "/c", "copy");
        g_before_opendir = [&](const char *dir) {
            if (root + "/locked" == dir) ::chmod(dir, 0);
        };
        ScanFixture rec(root);
        dup_scan_worker(&rec.s);
        g_before_opendir = nullptr;
        if (rec.s.progress.load() != 100) return 11;
        bool recorded = false;
        for (int32_t k = 0; k < rec.s.n_skipped; k++)
            if (root + "/locked" == rec.s.skipped[k].path && !strcmp(rec.s.skipped[k].reason, "opendir_failed"))
                recorded = true;
        if (!recorded) return 12;
        std::vector<std::set<std::string>> want{{root + "/a", root + "/c"}};
        return rec.group_sets() == want ? 0 : 13;
    });
    // 10: setup failed, 11: scan failed, 12: not recorded, 13: wrong groups.
    EXPECT_EQ(status, 0);
}
