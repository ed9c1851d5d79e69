// A scan record set up the way a started scan's slot is, for tests that
// drive the walk, the grouping or the whole worker directly.
#ifndef DUPFIND_SCAN_RECORD_H
#define DUPFIND_SCAN_RECORD_H

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "dup_internal.h"

// The worker frees the collected files once it has grouped them; a record
// takes them over at that point, so that a test can still list them.
struct scan_record {
    dup_scan_t s;
    dup_file_t *kept = nullptr;
    int32_t n_kept = 0;
    static inline thread_local scan_record *live = nullptr;

    static void take_files(dup_scan_t *scan) {
        if (!live || &live->s != scan) return;
        live->kept = scan->files;
        live->n_kept = scan->n_files;
        scan->files = nullptr;
        scan->n_files = scan->cap_files = 0;
    }

    explicit scan_record(const std::string &root, const std::vector<std::string> &exclude = {}) {
        live = this;
        dup_test_files_hook = take_files;
        std::memset(static_cast<void *>(&s), 0, sizeof s);
        s.roots = static_cast<char **>(calloc(1, sizeof(char *)));
        s.roots[0] = dup_strdup(root.c_str());
        s.n_roots = 1;
        if (!exclude.empty()) {
            s.exclude = static_cast<char **>(calloc(exclude.size(), sizeof(char *)));
            for (size_t i = 0; i < exclude.size(); i++) s.exclude[i] = dup_strdup(exclude[i].c_str());
            s.n_exclude = static_cast<int32_t>(exclude.size());
        }
        s.min_size = 1;
        s.state = DUP_STATE_RUNNING;
    }
    ~scan_record() {
        if (live == this) live = nullptr;
        for (int32_t i = 0; i < n_kept; i++) free(kept[i].path);
        free(kept);
        free_scan_data(&s);
    }
    scan_record(const scan_record &) = delete;
    scan_record &operator=(const scan_record &) = delete;

    std::set<std::string> file_paths() const {
        std::set<std::string> out;
        for (int32_t i = 0; i < s.n_files; i++) out.insert(s.files[i].path);
        for (int32_t i = 0; i < n_kept; i++) out.insert(kept[i].path);
        return out;
    }
    std::vector<std::set<std::string>> groups() const {
        std::vector<std::set<std::string>> out;
        for (int32_t g = 0; g < s.n_groups; g++) {
            std::set<std::string> paths;
            for (int32_t f = 0; f < s.groups[g].n_files; f++)
                paths.insert(s.groups[g].files[f] ? s.groups[g].files[f] : "(null)");
            out.push_back(paths);
        }
        return out;
    }
};

#endif
