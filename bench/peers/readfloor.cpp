// SPDX-License-Identifier: MIT
// The lower bound that a duplicate finder is measured against: walk a tree
// with one status query per entry, then read a given list of byte ranges
// once, sequentially, with large reads.
//
//   readfloor [--walk DIR] [--threads N] [LIST]
//
// LIST holds records "LEN\0PATH\0": read the first LEN bytes of PATH, or the
// whole file when LEN is negative. With --threads, N readers take the records
// in list order from a shared counter (what a pool of reader threads gains
// when the disk's latency sets the pace). Prints "files=N bytes=B entries=E" on
// standard error. Exit status 1 when a file of the list cannot be read.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

long long g_entries = 0;
long long g_sizes = 0;  // sum of sizes, so the walk cannot be optimised away

void walk(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> subdirs;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        g_entries++;
        if (S_ISDIR(st.st_mode)) subdirs.push_back(dir + "/" + e->d_name);
        else if (S_ISREG(st.st_mode)) g_sizes += st.st_size;
    }
    closedir(d);
    for (const auto &s : subdirs) walk(s);
}

struct record {
    long long want;
    const char *path;
};

// Reads the records from a shared counter until none is left.
void reader(const std::vector<record> &recs, std::atomic<size_t> *next, std::atomic<long long> *bytes,
            std::atomic<bool> *ok) {
    constexpr size_t kBuf = 1 << 20;
    char *buf = static_cast<char *>(aligned_alloc(4096, kBuf));
    if (!buf) {
        *ok = false;
        return;
    }
    for (size_t i; (i = next->fetch_add(1)) < recs.size();) {
        const record &r = recs[i];
        int fd = open(r.path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            perror(r.path);
            *ok = false;
            continue;
        }
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        long long got = 0;
        for (;;) {
            size_t ask = kBuf;
            if (r.want >= 0 && static_cast<long long>(ask) > r.want - got) ask = static_cast<size_t>(r.want - got);
            if (ask == 0) break;
            ssize_t n = read(fd, buf, ask);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
        }
        close(fd);
        *bytes += got;
    }
    free(buf);
}

bool read_list(const char *list_path, int threads, long long *files, long long *bytes) {
    FILE *f = fopen(list_path, "rb");
    if (!f) {
        perror(list_path);
        return false;
    }
    std::string data;
    char tmp[1 << 16];
    size_t n;
    while ((n = fread(tmp, 1, sizeof tmp, f)) > 0) data.append(tmp, n);
    fclose(f);

    std::vector<record> recs;
    size_t pos = 0;
    while (pos < data.size()) {
        const char *len_s = data.c_str() + pos;
        pos += strlen(len_s) + 1;
        if (pos >= data.size()) break;
        const char *path = data.c_str() + pos;
        pos += strlen(path) + 1;
        recs.push_back({atoll(len_s), path});
    }
    std::atomic<size_t> next{0};
    std::atomic<long long> total{0};
    std::atomic<bool> ok{true};
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; t++) pool.emplace_back(reader, std::cref(recs), &next, &total, &ok);
    reader(recs, &next, &total, &ok);
    for (auto &t : pool) t.join();
    *files = static_cast<long long>(recs.size());
    *bytes = total;
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    const char *walk_dir = nullptr;
    const char *list = nullptr;
    int threads = 1;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--walk") == 0 && i + 1 < argc) walk_dir = argv[++i];
        else if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc) threads = atoi(argv[++i]);
        else list = argv[i];
    }
    if ((!walk_dir && !list) || threads < 1) {
        fprintf(stderr, "usage: readfloor [--walk DIR] [--threads N] [LIST]\n");
        return 2;
    }
    if (walk_dir) walk(walk_dir);
    long long files = 0, bytes = 0;
    bool ok = list ? read_list(list, threads, &files, &bytes) : true;
    fprintf(stderr, "files=%lld bytes=%lld entries=%lld sizes=%lld\n", files, bytes, g_entries, g_sizes);
    return ok ? 0 : 1;
}
