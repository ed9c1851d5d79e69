// SPDX-License-Identifier: MIT
// The fingerprint cache under faults: files changed between scans (their
// modification time set back), a scan killed while it writes the cache, two
// scans sharing one cache, and cache files that are damaged, cut short, of
// another kind or of a later version. Whatever happens, a cached scan's
// groups are those of a scan without a cache, and the cache file is either
// the old one or a whole new one.
//
// Files are cached only once their change time is two seconds old, so each
// case lets its fixture age before the scan that stores it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <xxhash.h>

#include "dupfind.h"
#include "platform/platform.h"
#include "test_util.h"

using testutil::TempDir;
using testutil::write_file;

namespace {

struct outcome {
    std::string groups;                                        // the "groups" array, as written
    std::vector<std::pair<std::string, std::string>> skipped;  // (path, reason)
    bool has(const std::string &reason) const {
        for (const auto &s : skipped)
            if (s.second == reason) return true;
        return false;
    }
};

outcome finish(int id) {
    EXPECT_GT(id, 0) << dupfind_last_error();
    outcome o;
    if (id <= 0) return o;
    EXPECT_EQ(testutil::wait_for_scan(dupfind_scan_progress, id), 100) << dupfind_last_error();
    char *text = dupfind_scan_results(id);
    if (!text) return o;
    rapidjson::Document doc;
    doc.Parse(text);
    dupfind_free_string(text);
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    doc["groups"].Accept(w);
    o.groups = buf.GetString();
    for (const auto &s : doc["skipped"].GetArray())
        o.skipped.emplace_back(s["path"].GetString(), s["reason"].GetString());
    return o;
}

int start(const std::string &root, const std::string &cache, const std::string &more = "") {
    const std::string dirs = "[" + testutil::json_str(root) + "]";
    const std::string opts = cache.empty() ? "{}" : "{\"cache\":" + testutil::json_str(cache) + more + "}";
    return dupfind_scan_start(dirs.c_str(), opts.c_str());
}

outcome scan(const std::string &root, const std::string &cache = "") { return finish(start(root, cache)); }

// The files whose content the library opens, through its replaceable
// "content_open" entry.
std::mutex g_mu;
std::multiset<std::string> g_opened;

dup_result counting_open(const char *path, int sequential, uint64_t dev, uint64_t ino, dup_content_t *out) {
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_opened.insert(path);
    }
    auto sys = reinterpret_cast<decltype(&counting_open)>(dup_syscall_default("content_open"));
    return sys(path, sequential, dev, ino, out);
}

struct count_opens {
    count_opens() {
        g_opened.clear();
        dup_syscall_replace("content_open", reinterpret_cast<dup_syscall_ptr>(&counting_open));
    }
    ~count_opens() { dup_syscall_replace("content_open", nullptr); }
    std::set<std::string> names() const { return {g_opened.begin(), g_opened.end()}; }
};

void age() { std::this_thread::sleep_for(std::chrono::milliseconds(2100)); }

// Three sizes: three copies and a file of the same first block that
// differs at its end (200 KB), a pair of small copies and a small file
// that differs (3 bytes), and a file whose size nobody shares.
void fill_tree(const TempDir &d, const std::string &sub = "") {
    const auto at = [&](const char *name) { return sub.empty() ? d / name : d / (sub + "/" + name); };
    if (!sub.empty()) testutil::make_dir(d / sub);
    const std::string big = testutil::pattern(200000, 1);
    std::string other = big;
    other.back() ^= 1;
    for (const char *name : {"a1", "a2", "a3"}) write_file(at(name), big);
    write_file(at("a4"), other);
    write_file(at("b1"), "xyz");
    write_file(at("b2"), "xyz");
    write_file(at("b3"), "xyq");
    write_file(at("lone"), "a size of its own");
}

std::string file_bytes(const std::string &path) { return testutil::read_file(path); }

void set_mtime(const std::string &path, const struct timespec &t) {
    const struct timespec times[2] = {t, t};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct timespec mtime_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mtim;
}

TEST(CacheFault, UnchangedTreeIsGroupedWithoutReading) {
    TempDir d, c;
    fill_tree(d);
    age();
    const outcome plain = scan(d.path());
    const outcome first = scan(d.path(), c / "cache");
    EXPECT_EQ(first.groups, plain.groups);
    EXPECT_TRUE(first.skipped.empty());
    count_opens opens;
    const outcome again = scan(d.path(), c / "cache");
    EXPECT_EQ(again.groups, plain.groups);
    EXPECT_TRUE(again.skipped.empty());
    EXPECT_TRUE(opens.names().empty()) << *opens.names().begin();
}

// Files that share their size and first block but differ further on are
// in no group; the cached scan still learns their whole fingerprints, so a
// rescan of the unchanged tree reads none of them.
TEST(CacheFault, FilesThatDifferPastTheirFirstBlockAreNotReadAgain) {
    TempDir d, c;
    std::string body = testutil::pattern(200000, 3);
    for (const char *name : {"c1", "c2", "c3"}) {
        body.back() = static_cast<char>(body.back() + 1);
        write_file(d / name, body);
    }
    age();
    const outcome plain = scan(d.path());
    EXPECT_EQ(plain.groups, "[]");
    scan(d.path(), c / "cache");
    count_opens opens;
    EXPECT_EQ(scan(d.path(), c / "cache").groups, plain.groups);
    EXPECT_TRUE(opens.names().empty()) << *opens.names().begin();
}

// Each change between two cached scans; the modification time of a file
// rewritten at its size is set back to what it was, so only its change
// time tells. The groups are those of a scan without a cache, the changed
// file is read again, and the files of the size nothing changed are not.
TEST(CacheFault, ChangedFilesAreReadAgain) {
    struct change {
        const char *what;
        void (*apply)(const TempDir &d);
        const char *read_again;  // a name that must be opened again
        const char *untouched;   // how the names of the files that must not be opened begin
    };
    const change changes[] = {
        {"a copy rewritten at its size, mtime set back",
         [](const TempDir &d) {
             const struct timespec t = mtime_of(d / "a2");
             std::string s = file_bytes(d / "a2");
             s[100] ^= 1;
             write_file(d / "a2", s);
             set_mtime(d / "a2", t);
         },
         "a2", "/b"},
        {"the odd one made a copy, mtime set back",
         [](const TempDir &d) {
             const struct timespec t = mtime_of(d / "a4");
             write_file(d / "a4", file_bytes(d / "a1"));
             set_mtime(d / "a4", t);
         },
         "a4", "/b"},
        {"a small copy rewritten, mtime set back",
         [](const TempDir &d) {
             const struct timespec t = mtime_of(d / "b2");
             write_file(d / "b2", "xyw");
             set_mtime(d / "b2", t);
         },
         "b2", "/a"},
        {"a copy truncated to another's size", [](const TempDir &d) { ASSERT_EQ(truncate((d / "a3").c_str(), 3), 0); },
         "a3", "/b"},
        {"a copy renamed", [](const TempDir &d) { ASSERT_EQ(rename((d / "a1").c_str(), (d / "a0").c_str()), 0); }, "a0",
         "/b"},
        {"a new copy", [](const TempDir &d) { write_file(d / "a5", file_bytes(d / "a1")); }, "a5", "/b"},
    };
    for (const change &ch : changes) {
        SCOPED_TRACE(ch.what);
        TempDir d, c;
        fill_tree(d);
        age();
        scan(d.path(), c / "cache");
        ch.apply(d);
        const outcome plain = scan(d.path());
        count_opens opens;
        const outcome cached = scan(d.path(), c / "cache");
        EXPECT_EQ(cached.groups, plain.groups);
        const std::set<std::string> opened = opens.names();
        EXPECT_EQ(opened.count(d / ch.read_again), 1u);
        for (const std::string &p : opened) EXPECT_EQ(p.find(ch.untouched), std::string::npos) << p;
    }
}

// The cache keeps the entries of files a scan did not meet for as many
// scans as asked, then drops them: a cache shared by scans of different
// trees does not grow for ever.
TEST(CacheFault, EntriesOfFilesNotMetAreDroppedAfterTheScansAsked) {
    // Both trees: 16 files share their size (the two "lone" files each
    // other's); x alone: 7.
    const size_t entry = 64, both = 16, x = 7;
    const struct {
        const char *keep;
        size_t after_one, after_two;  // entries after one and two scans of x alone
    } cases[] = {
        {"", both, both},  // the default keeps them for 8
        {",\"cache_keep_scans\":2", both, x},
        {",\"cache_keep_scans\":1", x, x},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.keep);
        TempDir d, c;
        fill_tree(d, "x");
        fill_tree(d, "y");
        age();
        finish(start(d.path(), c / "cache"));
        EXPECT_EQ(file_bytes(c / "cache").size(), entry * (1 + both));
        finish(start(d / "x", c / "cache", k.keep));
        EXPECT_EQ(file_bytes(c / "cache").size(), entry * (1 + k.after_one));
        finish(start(d / "x", c / "cache", k.keep));
        EXPECT_EQ(file_bytes(c / "cache").size(), entry * (1 + k.after_two));
    }
}

ino_t inode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_ino;
}

// A rescan that would write back what it read leaves the file as it is,
// byte for byte and the same file (no new file renamed over it); any
// change it must store gets a new file.
TEST(CacheFault, OnlyARescanThatLearntSomethingRewritesTheFile) {
    const struct {
        const char *what;
        void (*apply)(const TempDir &d);
        bool rewritten;
    } cases[] = {
        {"nothing changed", [](const TempDir &) {}, false},
        {"a file's times moved", [](const TempDir &d) { write_file(d / "a2", file_bytes(d / "a2")); }, true},
        {"a new copy", [](const TempDir &d) { write_file(d / "a5", file_bytes(d / "a1")); }, true},
        {"a file removed", [](const TempDir &d) { ASSERT_EQ(unlink((d / "b3").c_str()), 0); }, true},
        {"a copy made the odd one", [](const TempDir &d) { write_file(d / "b2", "xyw"); }, true},
    };
    struct fixture {
        TempDir d, c;
        std::string bytes;
        ino_t ino = 0;
    };
    std::vector<fixture> fx(std::size(cases));
    for (fixture &f : fx) fill_tree(f.d);
    age();
    for (fixture &f : fx) {
        scan(f.d.path(), f.c / "cache");
        f.bytes = file_bytes(f.c / "cache");
        f.ino = inode_of(f.c / "cache");
    }
    for (size_t k = 0; k < fx.size(); k++) cases[k].apply(fx[k].d);
    age();
    for (size_t k = 0; k < fx.size(); k++) {
        SCOPED_TRACE(cases[k].what);
        const fixture &f = fx[k];
        const outcome plain = scan(f.d.path());
        const outcome cached = scan(f.d.path(), f.c / "cache");
        EXPECT_EQ(cached.groups, plain.groups);
        EXPECT_TRUE(cached.skipped.empty());
        EXPECT_EQ(inode_of(f.c / "cache") != f.ino, cases[k].rewritten);
        EXPECT_EQ(file_bytes(f.c / "cache") != f.bytes, cases[k].rewritten);
        // What it holds is in use: a scan after it reads nothing.
        count_opens opens;
        EXPECT_EQ(scan(f.d.path(), f.c / "cache").groups, plain.groups);
        EXPECT_TRUE(opens.names().empty()) << *opens.names().begin();
    }
}

// A rescan that leaves the file as it is does not age the entries it met:
// entries that a scan of part of the tree did not meet, then a scan of the
// whole tree met, count their unseen scans from that one.
TEST(CacheFault, ScansThatLeaveTheFileAloneDoNotAgeTheEntries) {
    // x: 7 entries; y: a pair of its own, which no file of x joins.
    const size_t entry = 64, both = 9;
    TempDir d, c;
    fill_tree(d, "x");
    testutil::make_dir(d / "y");
    write_file(d / "y/p1", "a pair in y");
    write_file(d / "y/p2", "a pair in y");
    age();
    const std::string keep = ",\"cache_keep_scans\":2";
    for (const char *root : {"", "", "x", "", "", "x"}) {
        SCOPED_TRACE(root);
        finish(start(*root ? d / root : d.path(), c / "cache", keep));
        EXPECT_EQ(file_bytes(c / "cache").size(), entry * (1 + both));
    }
}

// A scan in a child process is killed while it writes the cache: before
// its first byte, halfway, after its last byte (before the rename). The
// cache file is the one written before, and a scan trusts it.
int g_kill_after = 0;  // bytes to let through before the kill; -1: all of them

dup_result killing_write(dup_content_t h, const void *buf, int64_t n) {
    auto sys = reinterpret_cast<decltype(&killing_write)>(dup_syscall_default("file_write"));
    const int64_t let = g_kill_after < 0 ? n : std::min<int64_t>(n, g_kill_after);
    if (let > 0 && sys(h, buf, let) != DUP_OK) return DUP_FAILED;
    raise(SIGKILL);
    return DUP_FAILED;
}

TEST(CacheFault, ScanKilledWhileWritingLeavesTheOldCache) {
    for (const int kill_after : {0, 100, -1}) {
        SCOPED_TRACE(kill_after);
        TempDir d, c;
        fill_tree(d);
        age();
        scan(d.path(), c / "cache");
        const std::string before = file_bytes(c / "cache");
        ASSERT_FALSE(before.empty());
        write_file(d / "a5", file_bytes(d / "a1"));  // something new to store
        age();
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            g_kill_after = kill_after;
            dup_syscall_replace("file_write", reinterpret_cast<dup_syscall_ptr>(&killing_write));
            const int id = start(d.path(), c / "cache");
            testutil::wait_for_scan(dupfind_scan_progress, id);
            _exit(0);  // not killed: the write never came
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        EXPECT_EQ(file_bytes(c / "cache"), before);
        const outcome plain = scan(d.path());
        const outcome cached = scan(d.path(), c / "cache");
        EXPECT_EQ(cached.groups, plain.groups);
        EXPECT_TRUE(cached.skipped.empty());
    }
}

// Two scans share one cache: the first holds its write open until the
// second has read the same old cache and finished grouping. The first one
// stores what it found; the second finds the file replaced since it read
// it and stores nothing, which it says.
std::mutex g_gate_mu;
std::condition_variable g_gate_cv;
bool g_writing = false, g_let_go = false;

dup_result held_write(dup_content_t h, const void *buf, int64_t n) {
    {
        std::unique_lock<std::mutex> lock(g_gate_mu);
        if (!g_writing) {
            g_writing = true;
            g_gate_cv.notify_all();
            g_gate_cv.wait(lock, [] { return g_let_go; });
        }
    }
    auto sys = reinterpret_cast<decltype(&held_write)>(dup_syscall_default("file_write"));
    return sys(h, buf, n);
}

TEST(CacheFault, TwoScansSharingOneCacheStoreOneResult) {
    TempDir d, c;
    fill_tree(d);
    age();
    const outcome plain = scan(d.path());
    dup_syscall_replace("file_write", reinterpret_cast<dup_syscall_ptr>(&held_write));
    const int first = start(d.path(), c / "cache");
    {
        std::unique_lock<std::mutex> lock(g_gate_mu);
        ASSERT_TRUE(g_gate_cv.wait_for(lock, std::chrono::seconds(60), [] { return g_writing; }));
    }
    const int second = start(d.path(), c / "cache");
    // Grouped: the second scan has read the cache as it was, and waits for
    // the lock or is about to.
    while (dupfind_scan_progress(second) >= 0 && dupfind_scan_progress(second) < 95)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        std::lock_guard<std::mutex> lock(g_gate_mu);
        g_let_go = true;
        g_gate_cv.notify_all();
    }
    const outcome a = finish(first), b = finish(second);
    dup_syscall_replace("file_write", nullptr);
    EXPECT_EQ(a.groups, plain.groups);
    EXPECT_EQ(b.groups, plain.groups);
    EXPECT_TRUE(a.skipped.empty());
    const std::vector<std::pair<std::string, std::string>> lost = {{c / "cache", "cache_not_written"}};
    EXPECT_EQ(b.skipped, lost);

    // What the first stored is whole and in use; scans at once leave a
    // whole file too.
    count_opens opens;
    const outcome after = scan(d.path(), c / "cache");
    EXPECT_EQ(after.groups, plain.groups);
    EXPECT_TRUE(after.skipped.empty());
    EXPECT_TRUE(opens.names().empty());
    int ids[4];
    for (int &id : ids) id = start(d.path(), c / "cache");
    for (const int id : ids) EXPECT_EQ(finish(id).groups, plain.groups);
    const outcome last = scan(d.path(), c / "cache");
    EXPECT_FALSE(last.has("cache_ignored"));
}

// A cache file that is not one this version wrote whole is never trusted:
// the scan reads everything and says it ignored the file. A damaged one is
// replaced by a whole one; one of another kind or a later version is left
// as it is, and the scan says it stored nothing.
TEST(CacheFault, UntrustedCacheFilesAreIgnored) {
    struct damage {
        const char *what;
        void (*apply)(std::string &bytes);
        bool replaced;
    };
    const damage damages[] = {
        {"cut inside the header", [](std::string &b) { b.resize(40); }, true},
        {"cut inside an entry", [](std::string &b) { b.resize(b.size() - 20); }, true},
        {"an entry's byte flipped", [](std::string &b) { b[64 + 20] ^= 0x10; }, true},
        {"a header byte flipped", [](std::string &b) { b[30] ^= 0x01; }, true},
        {"an entry too many", [](std::string &b) { b += b.substr(64, 64); }, true},
        {"another kind of file", [](std::string &b) { b.replace(0, 4, "PK\3\4"); }, false},
        {"a later version", [](std::string &b) { b[8] = 2; }, false},
    };
    for (const damage &dm : damages) {
        SCOPED_TRACE(dm.what);
        TempDir d, c;
        fill_tree(d);
        age();
        const outcome plain = scan(d.path());
        scan(d.path(), c / "cache");
        std::string bytes = file_bytes(c / "cache");
        ASSERT_GT(bytes.size(), 128u);
        dm.apply(bytes);
        write_file(c / "cache", bytes);
        const outcome ignored = scan(d.path(), c / "cache");
        EXPECT_EQ(ignored.groups, plain.groups);
        EXPECT_TRUE(ignored.has("cache_ignored"));
        EXPECT_EQ(ignored.has("cache_not_written"), !dm.replaced);
        if (dm.replaced) {
            count_opens opens;
            const outcome next = scan(d.path(), c / "cache");
            EXPECT_TRUE(next.skipped.empty());
            EXPECT_TRUE(opens.names().empty());
        } else {
            EXPECT_EQ(file_bytes(c / "cache"), bytes);
        }
    }
}

// The file's layout, as far as these cases edit it: a 64-byte header, then
// 64-byte entries.
constexpr size_t HEADER = 64, ENTRY = 64;
constexpr size_t AT_COUNT = 16, AT_GENERATION = 24, AT_ENTRIES_SUM = 40, AT_HEADER_SUM = 48;
constexpr size_t AT_DEV = 0, AT_INO = 8, AT_FULL = 48, AT_PROOF = 56, AT_SEEN = 60;

template <class T>
T field(const std::string &b, size_t at) {
    T v;
    memcpy(&v, b.data() + at, sizeof v);
    return v;
}
template <class T>
void set_field(std::string &b, size_t at, T v) {
    memcpy(&b[at], &v, sizeof v);
}

// Makes the header count the entries and both checksums right.
void reseal(std::string &b) {
    set_field<uint64_t>(b, AT_COUNT, (b.size() - HEADER) / ENTRY);
    set_field<uint64_t>(b, AT_ENTRIES_SUM, XXH64(b.data() + HEADER, b.size() - HEADER, 0));
    set_field<uint64_t>(b, AT_HEADER_SUM, XXH64(b.data(), AT_HEADER_SUM, 0));
}

// The place of the entry of the file at path, or 0.
size_t entry_of(const std::string &b, const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    for (size_t at = HEADER; at + ENTRY <= b.size(); at += ENTRY)
        if (field<uint64_t>(b, at + AT_DEV) == st.st_dev && field<uint64_t>(b, at + AT_INO) == st.st_ino) return at;
    return 0;
}

// Every block the library asks for, through its replaceable "alloc"
// entry: the largest one's size, and a step run at one chosen moment.
std::atomic<size_t> g_largest{0};
std::atomic<size_t> g_watch_size{0};  // the block after which...
std::atomic<size_t> g_then_size{0};   // ...a block of this size...
void (*g_then)() = nullptr;           // ...runs this, once
std::atomic<int> g_stage{0};

void *watching_alloc(void *block, size_t size) {
    size_t seen = g_largest.load();
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {}
    if (g_stage == 0 && size == g_watch_size) g_stage = 1;
    if (g_stage == 1 && size == g_then_size) {
        g_stage = 2;
        if (g_then) g_then();
    }
    auto sys = reinterpret_cast<decltype(&watching_alloc)>(dup_syscall_default("alloc"));
    return sys(block, size);
}

struct watch_allocs {
    watch_allocs() {
        g_largest = 0;
        g_stage = 0;
        dup_syscall_replace("alloc", reinterpret_cast<dup_syscall_ptr>(&watching_alloc));
    }
    ~watch_allocs() {
        dup_syscall_replace("alloc", nullptr);
        g_watch_size = g_then_size = 0;
        g_then = nullptr;
    }
};

// A scan never holds the cache file in memory, neither to read it nor to
// write a new one from it: no block it takes comes near the file's size (a
// file of entries for files the scan does not meet, 3 MB), and the new
// file keeps each of those entries as it was, beside the one it adds.
TEST(CacheFault, ScansDoNotHoldTheCacheFileInMemory) {
    TempDir d, c;
    fill_tree(d);
    age();
    scan(d.path(), c / "cache");
    std::string bytes = file_bytes(c / "cache");
    ASSERT_GT(bytes.size(), HEADER);
    constexpr uint64_t OTHERS = 50000;
    const auto seen = static_cast<uint32_t>(field<uint64_t>(bytes, AT_GENERATION) << 1);
    for (uint64_t k = 1; k <= OTHERS; k++) {  // on a device after every real one, so the order holds
        std::string e(ENTRY, '\0');
        set_field<uint64_t>(e, AT_DEV, UINT64_MAX);
        set_field<uint64_t>(e, AT_INO, k);
        set_field<uint32_t>(e, AT_SEEN, seen);
        bytes += e;
    }
    reseal(bytes);
    write_file(c / "cache", bytes);

    write_file(d / "a5", file_bytes(d / "a1"));  // something to add
    age();
    size_t largest = 0;
    outcome o;
    {
        watch_allocs watch;
        o = scan(d.path(), c / "cache");
        largest = g_largest;
    }
    EXPECT_TRUE(o.skipped.empty());
    EXPECT_LT(largest, bytes.size() / 2);
    EXPECT_EQ(o.groups, scan(d.path()).groups);
    const std::string after = file_bytes(c / "cache");
    ASSERT_EQ(after.size(), bytes.size() + ENTRY);
    EXPECT_EQ(field<uint64_t>(after, AT_COUNT), (bytes.size() - HEADER) / ENTRY + 1);
    EXPECT_TRUE(after.compare(after.size() - OTHERS * ENTRY, std::string::npos, bytes, bytes.size() - OTHERS * ENTRY) ==
                0);
    const outcome next = scan(d.path(), c / "cache");
    EXPECT_TRUE(next.skipped.empty());
    EXPECT_EQ(next.groups, scan(d.path()).groups);
}

// The cache file is changed in place while a scan reads it, between the
// read that checks it and the read that hands its entries to the files:
// the entry of a4 (a1's size and first block, another end) now claims
// a1's whole fingerprint and proof, so trusting it would put a4 into a1's
// group. The scan trusts no entry, says so, and writes nothing over the
// file.
std::string g_changed_path, g_changed_bytes;

void change_cache_in_place() {
    const int fd = open(g_changed_path.c_str(), O_WRONLY);
    if (fd < 0) return;
    if (pwrite(fd, g_changed_bytes.data(), g_changed_bytes.size(), 0) != static_cast<ssize_t>(g_changed_bytes.size()))
        g_changed_bytes.clear();
    close(fd);
}

TEST(CacheFault, ACacheFileChangedWhileReadIsNotTrusted) {
    TempDir d, c;
    fill_tree(d);
    age();
    const outcome plain = scan(d.path());
    scan(d.path(), c / "cache");
    const std::string bytes = file_bytes(c / "cache");
    const size_t a1 = entry_of(bytes, d / "a1"), a4 = entry_of(bytes, d / "a4");
    ASSERT_TRUE(a1 != 0 && a4 != 0);
    ASSERT_NE(field<uint32_t>(bytes, a1 + AT_PROOF), 0u);
    g_changed_bytes = bytes;
    set_field(g_changed_bytes, a4 + AT_FULL, field<uint64_t>(bytes, a1 + AT_FULL));
    set_field(g_changed_bytes, a4 + AT_PROOF, field<uint32_t>(bytes, a1 + AT_PROOF));
    g_changed_path = c / "cache";
    outcome o;
    {
        // The second read takes its piece's buffer (1 MiB) after the first
        // one's table of inode numbers (8 bytes an entry).
        watch_allocs watch;
        g_watch_size = (bytes.size() - HEADER) / ENTRY * 8;
        g_then_size = size_t{1} << 20;
        g_then = &change_cache_in_place;
        o = scan(d.path(), c / "cache");
        ASSERT_EQ(g_stage, 2) << "the file was not changed between the reads";
    }
    EXPECT_EQ(o.groups, plain.groups);
    EXPECT_TRUE(o.has("cache_ignored"));
    EXPECT_TRUE(o.has("cache_not_written"));
    EXPECT_EQ(file_bytes(c / "cache"), g_changed_bytes);
}

}  // namespace
