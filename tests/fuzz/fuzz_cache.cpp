// SPDX-License-Identifier: MIT
// Fuzz target: the fingerprint cache's file, as a scan reads, uses and
// rewrites it.
//
// The input's first byte is a mode; the rest is the cache file that a scan
// of a small fixed tree finds at its "cache" path. Raw checksums would stop
// every mutation at the first check, so the mode can have the harness make
// the file pass them:
//   bit 0  seal: the header's count (unless bit 3) and both checksums are
//          made right for the bytes as given;
//   bit 1  aim: each entry is made to name a file of the tree (chosen by its
//          first byte), with that file's present state unless the entry's
//          second byte is odd (a stale entry);
//   bit 2  order: the entries are sorted and their keys made unique;
//   bit 3  keep the input's count;
//   bits 4-5: the scan keeps entries for 1 to 4 scans;
//   bit 6  seal the header only, leaving the entries' checksum as given.
//
// A damaged file is never trusted: without sealing, its entries may name
// the tree's files in their present state with false fingerprints. A
// well-formed one is trusted for what it says of files in their present
// state, so there the harness keeps what an entry says of a tree file's
// content true (its first-block and whole fingerprints are the file's own),
// and leaves everything else to the input: counts, order, versions, proofs, scan numbers, the entries of
// files the scan never meets. Properties, for every input:
//   - the scan succeeds with exactly the groups of a scan without a cache;
//   - a file that does not begin as a cache is left as it was, and the scan
//     says it did not write it;
//   - a second scan that reads the file the first one wrote finds it whole
//     and again has exactly those groups.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <xxhash.h>

#include "fuzz_check.h"
#include "scan_fixture.h"
#include "test_util.h"

namespace {

// The file's layout: a 64-byte header, then 64-byte entries.
constexpr size_t HEADER = 64, ENTRY = 64;
constexpr size_t AT_COUNT = 16, AT_ENTRIES_SUM = 40, AT_HEADER_SUM = 48;
constexpr size_t AT_DEV = 0, AT_INO = 8, AT_SIZE = 16, AT_MTIME = 24, AT_CTIME = 32, AT_PARTIAL = 40, AT_FULL = 48,
                 AT_SEEN = 60;
constexpr size_t FIRST_BLOCK = 65536;
constexpr char MAGIC[8] = {'d', 'u', 'p', 'f', 'c', 'a', 'c', 'h'};

struct tree_file {
    std::string path;
    dup_stat_t st;
    uint64_t partial, full;
};

struct fixture {
    std::string dir, tree, cache;
    std::vector<tree_file> files;
    std::set<std::set<std::string>> groups;  // of a scan without a cache
};

std::string g_dir;

void remove_fixture() {
    if (g_dir.empty()) return;
    const std::string cmd = "rm -rf '" + g_dir + "'";
    if (system(cmd.c_str()) != 0) return;
}

// Somewhere fast to write to: fsync of the cache costs nothing in memory.
std::string scratch_base() {
    if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
    const char *t = getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

struct scan_outcome {
    std::set<std::set<std::string>> groups;
    std::set<std::string> reasons;
};

scan_outcome scan(const fixture &fx, const char *cache, int64_t keep) {
    ScanFixture rec(fx.tree);
    if (cache) rec.s.cache_path = dup_strdup(cache);
    rec.s.cache_keep_scans = keep;
    rec.run_worker();
    FUZZ_REQUIRE(rec.s.progress.load() == 100);
    scan_outcome out;
    for (const auto &g : rec.group_sets()) out.groups.insert(g);
    for (const auto &s : rec.skipped()) {
        FUZZ_REQUIRE(s.first == fx.tree + "/h" ? s.second == "not_regular" : s.first == (cache ? cache : ""));
        out.reasons.insert(s.second);
    }
    return out;
}

uint64_t u64_at(const std::string &b, size_t at) {
    uint64_t v;
    memcpy(&v, b.data() + at, sizeof v);
    return v;
}
void set_u64(std::string &b, size_t at, uint64_t v) { memcpy(b.data() + at, &v, sizeof v); }

const fixture &the_fixture() {
    static fixture fx = [] {
        fixture f;
        f.dir = scratch_base() + "/dupfind-fuzz-cache-XXXXXX";
        if (!mkdtemp(f.dir.data())) abort();
        g_dir = f.dir;
        atexit(remove_fixture);
        f.tree = f.dir + "/tree";
        f.cache = f.dir + "/cache";
        if (mkdir(f.tree.c_str(), 0755) != 0 || mkdir((f.tree + "/sub").c_str(), 0755) != 0) abort();
        // Small copies, a same-size file differing in its last byte, large
        // copies whose first blocks match a third large file's, a file of
        // its own size, and a second name of one copy.
        std::string big(70000, 'x');
        for (size_t k = 0; k < big.size(); k++) big[k] = static_cast<char>('a' + (k * 7) % 26);
        std::string other = big;
        other.back() = '!';
        const std::pair<const char *, std::string> content[] = {
            {"a1", "same small text\n"},
            {"sub/a2", "same small text\n"},
            {"b", "same small texT\n"},
            {"c1", big},
            {"sub/c2", big},
            {"d", other},
            {"e", "a size of its own"},
        };
        for (const auto &c : content) testutil::write_file(f.tree + "/" + c.first, c.second);
        if (link((f.tree + "/a1").c_str(), (f.tree + "/sub/a3").c_str()) != 0) abort();
        if (mkfifo((f.tree + "/h").c_str(), 0644) != 0) abort();
        for (const auto &c : content) {
            tree_file t;
            t.path = f.tree + "/" + c.first;
            if (dup_fill_stat(t.path.c_str(), &t.st, 1) != DUP_OK) abort();
            t.partial = XXH64(c.second.data(), std::min(c.second.size(), FIRST_BLOCK), 0);
            t.full = XXH64(c.second.data(), c.second.size(), 0);
            f.files.push_back(t);
        }
        // Files changed in the last two seconds are not stored.
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
        f.groups = scan(f, nullptr, 8).groups;
        FUZZ_REQUIRE(f.groups.size() == 2);
        // The harness's fingerprints must be the scan's, or the entries it
        // aims would say something false of the files. A run compared byte
        // by byte without hashing stores the first block's fingerprint as
        // the whole one's: equal for files that may differ, which only
        // makes the next scan read them.
        unlink(f.cache.c_str());
        FUZZ_REQUIRE(scan(f, f.cache.c_str(), 8).groups == f.groups);
        const std::string written = testutil::read_file(f.cache);
        FUZZ_REQUIRE(written.size() > HEADER && (written.size() - HEADER) % ENTRY == 0);
        size_t checked = 0;
        for (size_t at = HEADER; at < written.size(); at += ENTRY)
            for (const tree_file &t : f.files)
                if (u64_at(written, at + AT_DEV) == t.st.dev && u64_at(written, at + AT_INO) == t.st.ino) {
                    FUZZ_REQUIRE(u64_at(written, at + AT_PARTIAL) == t.partial);
                    const uint64_t full = u64_at(written, at + AT_FULL);
                    const bool known = (static_cast<unsigned char>(written[at + AT_SEEN]) & 1) !=
                                       0;  // else full is not used
                    FUZZ_REQUIRE(!known || full == t.full || full == t.partial);
                    checked++;
                }
        FUZZ_REQUIRE(checked >= 6);
        return f;
    }();
    return fx;
}

// Makes what an entry says of a tree file in its present state true. An
// entry of another state keeps the input's fingerprints: they may have been
// true of the file once, and trusting them now would be the fault.
void keep_true(const fixture &fx, std::string &b, size_t at) {
    for (const tree_file &t : fx.files)
        if (u64_at(b, at + AT_DEV) == t.st.dev && u64_at(b, at + AT_INO) == t.st.ino &&
            u64_at(b, at + AT_SIZE) == static_cast<uint64_t>(t.st.size) &&
            u64_at(b, at + AT_MTIME) == static_cast<uint64_t>(t.st.mtime_ns) &&
            u64_at(b, at + AT_CTIME) == static_cast<uint64_t>(t.st.ctime_ns)) {
            set_u64(b, at + AT_PARTIAL, t.partial);
            set_u64(b, at + AT_FULL, t.full);
        }
}

void aim(const fixture &fx, std::string &b, size_t at) {
    const tree_file &t = fx.files[static_cast<unsigned char>(b[at]) % fx.files.size()];
    const bool stale = (static_cast<unsigned char>(b[at + 1]) & 1) != 0;
    set_u64(b, at + AT_DEV, t.st.dev);
    set_u64(b, at + AT_INO, t.st.ino);
    set_u64(b, at + AT_SIZE, static_cast<uint64_t>(t.st.size));
    if (!stale) {
        set_u64(b, at + AT_MTIME, static_cast<uint64_t>(t.st.mtime_ns));
        set_u64(b, at + AT_CTIME, static_cast<uint64_t>(t.st.ctime_ns));
    }
}

void sort_entries(std::string &b) {
    const size_t n = (b.size() - HEADER) / ENTRY;
    std::vector<std::string> e;
    for (size_t k = 0; k < n; k++) e.push_back(b.substr(HEADER + k * ENTRY, ENTRY));
    auto key = [](const std::string &s) { return std::make_pair(u64_at(s, AT_DEV), u64_at(s, AT_INO)); };
    std::stable_sort(e.begin(), e.end(), [&](const std::string &x, const std::string &y) { return key(x) < key(y); });
    e.erase(
        std::unique(e.begin(), e.end(), [&](const std::string &x, const std::string &y) { return key(x) == key(y); }),
        e.end());
    b.resize(HEADER);
    for (const auto &s : e) b += s;
}

void seal(std::string &b, bool header_only = false) {
    if (!header_only) set_u64(b, AT_ENTRIES_SUM, XXH64(b.data() + HEADER, b.size() - HEADER, 0));
    set_u64(b, AT_HEADER_SUM, XXH64(b.data(), AT_HEADER_SUM, 0));
}

bool sealed(const std::string &b) {
    return b.size() >= HEADER && (b.size() - HEADER) % ENTRY == 0 &&
           u64_at(b, AT_HEADER_SUM) == XXH64(b.data(), AT_HEADER_SUM, 0) &&
           u64_at(b, AT_ENTRIES_SUM) == XXH64(b.data() + HEADER, b.size() - HEADER, 0);
}

std::string shape(const fixture &fx, uint8_t mode, std::string b) {
    if (b.size() < HEADER) return b;
    if (mode & 1) b.resize(HEADER + (b.size() - HEADER) / ENTRY * ENTRY);
    if (mode & 2)
        for (size_t at = HEADER; at + ENTRY <= b.size(); at += ENTRY) aim(fx, b, at);
    if ((mode & 4) && (b.size() - HEADER) % ENTRY == 0) sort_entries(b);
    if (mode & 1) {
        if (!(mode & 8)) set_u64(b, AT_COUNT, (b.size() - HEADER) / ENTRY);
        seal(b, (mode & 64) != 0);
    }
    // Without right sums the file must be ignored, so its entries may say
    // anything; with them (sealed here, or forged by the input) it is
    // trusted for what it says of files in their present state.
    if (sealed(b)) {
        for (size_t at = HEADER; at < b.size(); at += ENTRY) keep_true(fx, b, at);
        seal(b);
    }
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fixture &fx = the_fixture();
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const int64_t keep = 1 + ((mode >> 4) & 3);
    const std::string file = shape(fx, mode, std::string(reinterpret_cast<const char *>(data + 1), size - 1));
    testutil::write_file(fx.cache, file);

    const scan_outcome first = scan(fx, fx.cache.c_str(), keep);
    FUZZ_REQUIRE(first.groups == fx.groups);
    const bool foreign = !file.empty() && (file.size() < sizeof MAGIC || memcmp(file.data(), MAGIC, sizeof MAGIC) != 0);
    if (foreign) {
        FUZZ_REQUIRE(testutil::read_file(fx.cache) == file);
        FUZZ_REQUIRE(first.reasons.count("cache_ignored") == 1 && first.reasons.count("cache_not_written") == 1);
        return 0;
    }
    // A later version is left to that version, untouched; anything else
    // the scan wrote must read back whole, with the same groups.
    const std::string after = testutil::read_file(fx.cache);
    if (first.reasons.count("cache_not_written")) FUZZ_REQUIRE(after == file);
    const scan_outcome second = scan(fx, fx.cache.c_str(), keep);
    FUZZ_REQUIRE(second.groups == fx.groups);
    if (!first.reasons.count("cache_not_written")) FUZZ_REQUIRE(second.reasons.count("cache_ignored") == 0);
    return 0;
}
