// SPDX-License-Identifier: MIT
// A scan record as a started scan's slot holds it, for tests that drive the
// walk, the same-entry merge, the grouping or the whole worker directly:
// roots and patterns as heap copies owned by the record, defaults applied.
#ifndef DUPFIND_SCAN_FIXTURE_H
#define DUPFIND_SCAN_FIXTURE_H

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "same_entry.h"
#include "scan.h"
#include "walk.h"
#include "worker.h"

class ScanFixture {
public:
    ScanFixture() {
        live = this;
        dup_test_files_hook = take_files;
        std::memset(static_cast<void *>(&s), 0, sizeof s);
        dup_scan_defaults(&s);
    }
    explicit ScanFixture(const std::string &root, const std::vector<std::string> &patterns = {}) : ScanFixture() {
        roots({root});
        if (!patterns.empty()) exclude(patterns);
    }
    ~ScanFixture() {
        if (live == this) live = nullptr;
        // The taken files go back to the record, which frees them as a scan
        // frees its own.
        if (kept) {
            dup_free_files(&s);
            s.files = kept;
            s.paths = kept_paths;
            s.devs = kept_devs;
        }
        free_scan_data(&s);
    }
    ScanFixture(const ScanFixture &) = delete;
    ScanFixture &operator=(const ScanFixture &) = delete;

    // ---- the request ----
    void roots(std::initializer_list<const char *> v) { s.roots = copy(std::vector<const char *>(v), &s.n_roots); }
    void roots(const std::vector<std::string> &v) { s.roots = copy(c_strs(v), &s.n_roots); }
    void exclude(std::initializer_list<const char *> v) {
        s.exclude = copy(std::vector<const char *>(v), &s.n_exclude);
    }
    void exclude(const std::vector<std::string> &v) { s.exclude = copy(c_strs(v), &s.n_exclude); }
    void exclude(const std::vector<const char *> &v) { s.exclude = copy(v, &s.n_exclude); }
    void globs(const std::vector<std::string> &v) { s.exclude_glob = copy(c_strs(v), &s.n_exclude_glob); }

    // ---- records made by hand, as the walk would make them ----
    // Size and identity from the status of the path, following links (as
    // the walk does for a followed link).
    void add(const std::string &path) {
        dup_stat_t st;
        if (dup_fill_stat(path.c_str(), &st, 1) != DUP_OK) throw std::runtime_error("cannot stat " + path);
        add_raw(path, st.size, st.dev, st.ino);
    }
    void add_raw(const std::string &path, int64_t size, uint64_t dev, uint64_t ino) {
        if (s.n_files == s.cap_files) {
            s.cap_files = s.cap_files ? s.cap_files * 2 : 8;
            s.files = static_cast<dup_file_t *>(
                realloc(static_cast<void *>(s.files), sizeof(dup_file_t) * static_cast<size_t>(s.cap_files)));
        }
        dup_file_t &f = s.files[s.n_files++];
        std::memset(static_cast<void *>(&f), 0, sizeof f);
        f.path = dup_keep_path(&s, path.c_str());
        uint32_t slot = 0;
        if (!dup_dev_slot(&s, dev, &slot)) throw std::runtime_error("no memory for a device");
        f.dev = slot & 0xFFFFFFu;
        f.size = size;
        f.ino = ino;
    }

    // ---- the stages ----
    int walk() { return dup_walk_collect(&s); }
    // What the worker does after the walk: merge the records of one entry,
    // count, group.
    int group() {
        if (dup_merge_same_entries(&s) != DUP_OK) return DUP_NOMEM;
        s.scanned_files = s.n_files;
        return dup_group_files(&s);
    }
    void run_worker() { dup_scan_worker(&s); }

    // ---- what they left ----
    // Paths with `base` + "/" taken off the front where present.
    std::vector<std::string> files(const std::string &base = "") const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < s.n_files; i++) out.push_back(strip(s.files[i].path, base));
        return out;
    }
    // Every collected path, also after the worker freed the records.
    std::set<std::string> file_paths() const {
        std::set<std::string> out;
        for (int32_t i = 0; i < s.n_files; i++) out.insert(s.files[i].path);
        for (int32_t i = 0; i < n_kept; i++) out.insert(kept[i].path);
        return out;
    }
    std::vector<std::pair<std::string, std::string>> skipped(const std::string &base = "") const {
        std::vector<std::pair<std::string, std::string>> out;
        for (int32_t i = 0; i < s.n_skipped; i++)
            out.emplace_back(strip(s.skipped[i].path, base), dup_skip_reason_name(s.skipped[i].reason));
        return out;
    }
    // Groups in order, paths in order.
    std::vector<std::vector<std::string>> groups() const {
        std::vector<std::vector<std::string>> out;
        for (int32_t g = 0; g < s.n_groups; g++) {
            std::vector<std::string> paths;
            for (int32_t f = 0; f < s.groups[g].n_files; f++)
                paths.push_back(s.groups[g].files[f] ? s.groups[g].files[f] : "(null)");
            out.push_back(paths);
        }
        return out;
    }
    std::vector<std::set<std::string>> group_sets() const {
        std::vector<std::set<std::string>> out;
        for (const auto &g : groups()) out.emplace_back(g.begin(), g.end());
        return out;
    }
    const dup_file_t *file(const std::string &path) const {
        for (int32_t i = 0; i < s.n_files; i++)
            if (path == s.files[i].path) return &s.files[i];
        return nullptr;
    }

    dup_scan_t s;

private:
    // The worker frees the collected files once it has grouped them; the
    // fixture takes them over at that point, so that a test can still list
    // them.
    static inline thread_local ScanFixture *live = nullptr;
    dup_file_t *kept = nullptr;
    int32_t n_kept = 0;
    dup_path_chunk *kept_paths = nullptr;
    uint64_t *kept_devs = nullptr;
    static void take_files(dup_scan_t *scan) {
        if (!live || &live->s != scan) return;
        live->kept = scan->files;
        live->n_kept = scan->n_files;
        live->kept_paths = scan->paths;
        live->kept_devs = scan->devs;
        scan->files = nullptr;
        scan->paths = nullptr;
        scan->devs = nullptr;
        scan->n_devs = scan->cap_devs = 0;
        scan->n_files = scan->cap_files = 0;
    }

    static std::vector<const char *> c_strs(const std::vector<std::string> &v) {
        std::vector<const char *> p;
        for (const auto &r : v) p.push_back(r.c_str());
        return p;
    }
    static char **copy(const std::vector<const char *> &v, int32_t *n) {
        char **out = static_cast<char **>(std::malloc(sizeof(char *) * (v.size() ? v.size() : 1)));
        int32_t i = 0;
        for (const char *p : v) out[i++] = p ? dup_strdup(p) : nullptr;
        *n = i;
        return out;
    }
    static std::string strip(const char *p, const std::string &base) {
        std::string s = p;
        const std::string prefix = base.empty() ? "" : base + "/";
        if (!prefix.empty() && s.compare(0, prefix.size(), prefix) == 0) s.erase(0, prefix.size());
        return s;
    }
};

#endif  // DUPFIND_SCAN_FIXTURE_H
