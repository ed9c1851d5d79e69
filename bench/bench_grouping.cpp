// SPDX-License-Identifier: MIT
// Grouping benchmark: times the grouping stage alone on generated data and
// counts the bytes it reads per file.
//
//   bench_grouping [--quick] [--cold] [--keep-going]
//
// Datasets (generated under $TMPDIR or /tmp, removed afterwards):
//   run-4k      N files of 4096 bytes, one size run, ~10% of them in pairs of
//               copies (N = 50,000 and 100,000: doubling N should about
//               double the time);
//   run-shared  N files of 65,540 bytes sharing their first 64 KiB, so every
//               one is fully fingerprinted and the tier-3 order has random
//               fingerprints to work on (N = 5,000 and 10,000);
//   big-copies  100 identical files of 8 MiB (one group).
// Each dataset is grouped once to warm up, then three times measured; the
// median is reported. --cold drops the page cache before every measured run
// (needs root). Bytes read come from /proc/self/io (rchar: every byte that
// read calls returned, page-cache hits included).
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "worker.h"

namespace {

long long read_rchar() {
    FILE *f = fopen("/proc/self/io", "r");
    if (!f) return -1;
    char line[128];
    long long v = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "rchar: %lld", &v) == 1) break;
    fclose(f);
    return v;
}

bool drop_caches() {
    sync();
    FILE *f = fopen("/proc/sys/vm/drop_caches", "w");
    if (!f) return false;
    bool ok = fputs("3\n", f) >= 0;
    return fclose(f) == 0 && ok;
}

void write_all(const std::string &path, const unsigned char *data, size_t n) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        perror(path.c_str());
        exit(1);
    }
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, n - done);
        if (w <= 0) {
            perror("write");
            exit(1);
        }
        done += static_cast<size_t>(w);
    }
    close(fd);
}

void remove_tree(const std::string &dir) {
    nftw(
        dir.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p) == 0 ? 0 : 0; }, 64,
        FTW_DEPTH | FTW_PHYS);
}

struct dataset {
    std::string name;
    std::vector<std::string> paths;
    long long bytes = 0;
};

// Files named in a shuffled order, so the walk order is not the path order.
dataset make_dataset(const std::string &root, const std::string &name, int n, size_t size, size_t shared_prefix,
                     double copy_share, unsigned seed) {
    dataset ds;
    ds.name = name;
    const std::string dir = root + "/" + name;
    mkdir(dir.c_str(), 0755);
    std::mt19937_64 rng(seed);
    std::vector<unsigned char> buf(size), prefix(shared_prefix);
    for (auto &c : prefix) c = static_cast<unsigned char>(rng());
    std::vector<int> names(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) names[static_cast<size_t>(i)] = i;
    std::shuffle(names.begin(), names.end(), rng);
    const int copies = static_cast<int>(n * copy_share) / 2 * 2;
    for (int i = 0; i < n; i++) {
        // Files 2k and 2k+1 below `copies` are a pair; the rest are distinct.
        if (i >= copies || i % 2 == 0) {
            std::copy(prefix.begin(), prefix.end(), buf.begin());
            for (size_t k = shared_prefix; k < size; k += 8) {
                uint64_t x = rng();
                memcpy(&buf[k], &x, std::min<size_t>(8, size - k));
            }
        }
        char leaf[32];
        snprintf(leaf, sizeof leaf, "/f%07d", names[static_cast<size_t>(i)]);
        ds.paths.push_back(dir + leaf);
        write_all(ds.paths.back(), buf.data(), size);
        ds.bytes += static_cast<long long>(size);
    }
    return ds;
}

dataset make_copies(const std::string &root, int n, size_t size) {
    dataset ds;
    ds.name = "big-copies";
    const std::string dir = root + "/" + ds.name;
    mkdir(dir.c_str(), 0755);
    std::vector<unsigned char> buf(size);
    std::mt19937_64 rng(99);
    for (size_t k = 0; k < size; k += 8) {
        uint64_t x = rng();
        memcpy(&buf[k], &x, 8);
    }
    for (int i = 0; i < n; i++) {
        char leaf[32];
        snprintf(leaf, sizeof leaf, "/copy%03d", i);
        ds.paths.push_back(dir + leaf);
        write_all(ds.paths.back(), buf.data(), size);
        ds.bytes += static_cast<long long>(size);
    }
    return ds;
}

struct outcome {
    double seconds = 0;
    long long read = 0;
    int32_t groups = 0;
    int64_t wasted = 0;
};

// The records as the walk leaves them, then the grouping stage alone.
outcome group_once(const dataset &ds, bool cold) {
    dup_scan_t s;
    memset(static_cast<void *>(&s), 0, sizeof s);
    s.files = static_cast<dup_file_t *>(calloc(ds.paths.size(), sizeof(dup_file_t)));
    if (!s.files) exit(1);
    s.cap_files = static_cast<int32_t>(ds.paths.size());
    for (const std::string &p : ds.paths) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0) exit(1);
        dup_file_t &f = s.files[s.n_files++];
        f.path = dup_keep_path(&s, p.c_str());
        uint32_t dev = 0;
        if (!f.path || !dup_dev_slot(&s, st.st_dev, &dev)) exit(1);
        f.dev = dev & 0xFFFFFFu;
        f.size = st.st_size;
        f.ino = st.st_ino;
    }
    s.scanned_files = s.n_files;
    if (cold && !drop_caches()) {
        fprintf(stderr, "cannot drop the page cache (not root?)\n");
        exit(1);
    }
    const long long r0 = read_rchar();
    const auto t0 = std::chrono::steady_clock::now();
    const int r = dup_group_files(&s);
    const auto t1 = std::chrono::steady_clock::now();
    const long long r1 = read_rchar();
    if (r != 0) {
        fprintf(stderr, "grouping ended with %d\n", r);
        exit(1);
    }
    outcome o;
    o.seconds = std::chrono::duration<double>(t1 - t0).count();
    o.read = r1 - r0;
    o.groups = s.n_groups;
    o.wasted = s.wasted_bytes;
    free_scan_data(&s);
    return o;
}

void run(const dataset &ds, bool cold) {
    group_once(ds, false);  // warm-up (and the page cache, for warm runs)
    std::vector<outcome> runs;
    for (int i = 0; i < 3; i++) runs.push_back(group_once(ds, cold));
    std::sort(runs.begin(), runs.end(), [](const outcome &a, const outcome &b) { return a.seconds < b.seconds; });
    const outcome &med = runs[1];
    const double n = static_cast<double>(ds.paths.size());
    const double file_size = static_cast<double>(ds.bytes) / n;
    printf("%-22s %8zu %12.0f %9.3f %9.3f %9.3f %12.0f %8.3f %7d\n", ds.name.c_str(), ds.paths.size(), file_size,
           runs[0].seconds, med.seconds, runs[2].seconds, static_cast<double>(med.read) / n,
           static_cast<double>(med.read) / static_cast<double>(ds.bytes), med.groups);
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    bool quick = false, cold = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0) quick = true;
        else if (strcmp(argv[i], "--cold") == 0) cold = true;
        else {
            fprintf(stderr, "usage: %s [--quick] [--cold]\n", argv[0]);
            return 2;
        }
    }
    const char *base = getenv("TMPDIR");
    std::string root = std::string(base && *base ? base : "/tmp") + "/dupfind-bench-XXXXXX";
    if (!mkdtemp(root.data())) {
        perror("mkdtemp");
        return 1;
    }
    const int scale = quick ? 10 : 1;
    printf("cache: %s\n", cold ? "cold (dropped before every measured run)" : "warm");
    printf("%-22s %8s %12s %9s %9s %9s %12s %8s %7s\n", "dataset", "files", "bytes/file", "min s", "median s", "max s",
           "read/file", "read/all", "groups");

    struct shape {
        const char *name;
        int n;
        size_t size, prefix;
        double copies;
    };
    const shape shapes[] = {
        {"run-4k", 50000 / scale, 4096, 0, 0.10},
        {"run-4k", 100000 / scale, 4096, 0, 0.10},
        {"run-shared", 5000 / scale, 65540, 65536, 0.10},
        {"run-shared", 10000 / scale, 65540, 65536, 0.10},
    };
    unsigned seed = 1;
    for (const shape &sp : shapes) {
        std::string name = std::string(sp.name) + "-" + std::to_string(sp.n);
        dataset ds = make_dataset(root, name, sp.n, sp.size, sp.prefix, sp.copies, seed++);
        run(ds, cold);
        remove_tree(root + "/" + name);
    }
    {
        dataset ds = make_copies(root, quick ? 20 : 100, size_t{8} << 20);
        run(ds, cold);
    }
    remove_tree(root);
    return 0;
}
