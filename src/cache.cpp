// SPDX-License-Identifier: MIT
// The fingerprint cache's file and its use by a scan.
//
// The file: a header of 64 bytes, then one fixed record of 64 bytes per file
// sorted by (device, inode), in the byte order of the machine that wrote
// it. Loading is one read into one block and a linear check; a lookup is a
// search in that block from the previous file's entry; saving streams a
// merge of the scan's records with the block, unless it would write back
// what was read. No record is allocated on its own, so ten million
// entries cost 640 MB of file and of memory while loaded, and nothing more.
// An embedded database was measured against it and lost by six times in
// saving and thirty in loading and looking up, at the same size (the
// figures are in docs/design.md).
#include "cache.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <xxhash.h>

#include "platform/platform.h"
#include "size.h"

namespace {

constexpr char MAGIC[8] = {'d', 'u', 'p', 'f', 'c', 'a', 'c', 'h'};
constexpr uint32_t VERSION = 1;
// A change time this close to the scan's start may not have moved yet for
// a write that follows the read (a clock of one-second ticks included).
constexpr int64_t RECENT_NS = 2000000000;
constexpr uint32_t SEEN_MASK = 0x7FFFFFFF;  // scan numbers are kept modulo 2^31
constexpr size_t WRITE_CHUNK = 1 << 20;

struct header {
    char magic[8];
    uint32_t version;
    uint32_t entry_size;
    uint64_t count;
    uint64_t generation;   // scans that wrote the file
    uint64_t next_proof;   // the first proof number no entry holds yet
    uint64_t entries_sum;  // XXH64 of the entries
    uint64_t header_sum;   // XXH64 of the fields above
    uint64_t reserved;
};
static_assert(sizeof(header) == 64, "the header's layout is the file's");

struct entry {
    uint64_t dev, ino;
    int64_t size, mtime_ns, ctime_ns;
    uint64_t partial;  // XXH64 of the first block
    uint64_t full;     // XXH64 of the whole content, when bit 0 of seen is set
    uint32_t proof;    // files of one proof were found byte-identical; 0: none
    uint32_t seen;     // bit 0: full is known; above: the scan that last met the file
};
static_assert(sizeof(entry) == 64, "the entry's layout is the file's");

bool key_less(const entry &a, const entry &b) { return a.dev != b.dev ? a.dev < b.dev : a.ino < b.ino; }
bool same_key(const entry &a, const entry &b) { return a.dev == b.dev && a.ino == b.ino; }

// What the file at the cache's path was when the scan read it.
enum class found : uint8_t { absent, valid, replaceable, untouchable };

struct dev_trust {
    uint64_t dev;
    int32_t trusted;
};

}  // namespace

struct dup_cache {
    unsigned char *block = nullptr;  // the file as read
    const entry *e = nullptr;        // its entries, inside block
    int64_t n = 0;
    uint64_t generation = 0;
    uint64_t next_proof = 1;
    found what = found::absent;
    dup_stat_t st{};  // the file's status when read, unless absent
    dev_trust *devs = nullptr;
    int32_t n_devs = 0, cap_devs = 0;
};

namespace {

// Whether the bytes are a cache this version wrote, whole. A file that
// does not begin as one is someone else's and is never replaced; one of a
// later version is left to that version.
found check(const unsigned char *p, int64_t len, header *h) {
    if (len == 0) return found::replaceable;
    if (len < static_cast<int64_t>(sizeof MAGIC) || memcmp(p, MAGIC, sizeof MAGIC) != 0) return found::untouchable;
    if (len < static_cast<int64_t>(sizeof(header))) return found::replaceable;
    memcpy(h, p, sizeof *h);
    if (h->version > VERSION) return found::untouchable;
    if (h->version != VERSION || h->entry_size != sizeof(entry) ||
        h->header_sum != XXH64(p, offsetof(header, header_sum), 0))
        return found::replaceable;
    const auto body = static_cast<uint64_t>(len) - sizeof(header);
    if (body % sizeof(entry) != 0 || body / sizeof(entry) != h->count) return found::replaceable;
    if (XXH64(p + sizeof(header), static_cast<size_t>(body), 0) != h->entries_sum) return found::replaceable;
    const auto *e = reinterpret_cast<const entry *>(p + sizeof(header));
    for (uint64_t k = 1; k < h->count; k++)
        if (!key_less(e[k - 1], e[k])) return found::replaceable;  // lookups need strict order
    return found::valid;
}

// Whether files of this device may be cached, asked once per device of
// the scan (of the file at path).
dup_result trusted(dup_cache *c, uint64_t dev, const char *path, bool *out) {
    for (int32_t k = 0; k < c->n_devs; k++)
        if (c->devs[k].dev == dev) {
            *out = c->devs[k].trusted != 0;
            return DUP_OK;
        }
    if (!dup_array_reserve(c->devs, c->n_devs, c->cap_devs, 4)) return DUP_NOMEM;
    *out = dup_fs_trusted(path);
    c->devs[c->n_devs++] = dev_trust{dev, *out ? 1 : 0};
    return DUP_OK;
}

// The position of the first entry not below (dev, ino), searched from
// *at, the previous file's. The walk lists a directory's files in the
// order of their names' hashes, but their inode numbers lie close together
// (on a tree of a million files written directory by directory, half of
// the steps from one file to the next were over 60 entries, one in a
// hundred over 180), so galloping from there finds most within a few
// hundred entries, in lines of the block that the directory's other files
// have brought into the processor's cache. Farther, the rest of the block
// is searched by halves. *at becomes the position found.
const entry *find_near(const dup_cache *c, uint64_t dev, uint64_t ino, int64_t *at) {
    constexpr int64_t NEAR = 512;
    const entry key{dev, ino, 0, 0, 0, 0, 0, 0, 0};
    const int64_t h = *at;
    int64_t lo = 0, hi = c->n;  // the position lies in [lo, hi]
    if (h < c->n && key_less(c->e[h], key)) {
        lo = h + 1;
        for (int64_t step = 1; step <= NEAR && h + step < c->n; step *= 2) {
            if (!key_less(c->e[h + step], key)) {
                hi = h + step;
                break;
            }
            lo = h + step + 1;
        }
    } else {
        hi = h;
        for (int64_t step = 1; step <= NEAR && h - step >= 0; step *= 2) {
            if (key_less(c->e[h - step], key)) {
                lo = h - step + 1;
                break;
            }
            hi = h - step;
        }
    }
    const entry *it = std::lower_bound(c->e + lo, c->e + hi, key, key_less);
    *at = it - c->e;
    return it != c->e + c->n && same_key(*it, key) ? it : nullptr;
}

char *with_suffix(const char *path, const char *suffix) {
    const size_t a = strlen(path), b = strlen(suffix);
    auto *s = static_cast<char *>(dup_malloc(a + b + 1));
    if (s) {
        memcpy(s, path, a);
        memcpy(s + a, suffix, b + 1);
    }
    return s;
}

// The scan's files as entries, in key order, one per key (names of one
// file share it): the files are sorted by key before, and those that may
// not be stored have partial_ok cleared.
struct fresh_files {
    const dup_scan_t *scan;
    uint32_t seen;  // the scan's number, as entries hold it
    uint64_t base;  // the proof number of the scan's first group
    int32_t k = 0;
    bool has = false;
    entry cur{};

    void next() {
        const bool had = has;
        has = false;
        while (k < scan->n_files) {
            const dup_file_t &f = scan->files[k++];
            if (!f.partial_ok || (had && scan->devs[f.dev] == cur.dev && f.ino == cur.ino)) continue;
            const dup_file_state &fs = scan->states[f.state];
            cur = entry{scan->devs[f.dev],
                        f.ino,
                        f.size,
                        fs.mtime_ns,
                        fs.ctime_ns,
                        fs.partial,
                        f.full_ok ? f.full_hash : 0,
                        fs.proof > 0 ? static_cast<uint32_t>(base + static_cast<uint64_t>(fs.proof) - 1) : 0,
                        (seen << 1) | (f.full_ok ? 1U : 0U)};
            has = true;
            return;
        }
    }
};

// The merge of the scan's entries with the loaded ones that this scan did
// not meet and that are recent enough, handed to emit in key order.
template <class Emit>
bool merge(const dup_cache *c, fresh_files fresh, int64_t keep, bool drop_proofs, Emit emit) {
    int64_t i = 0;
    fresh.next();
    while (i < c->n || fresh.has) {
        if (fresh.has && (i == c->n || !key_less(c->e[i], fresh.cur))) {
            if (i < c->n && same_key(c->e[i], fresh.cur)) i++;  // the scan's newer word on the file
            if (!emit(fresh.cur)) return false;
            fresh.next();
            continue;
        }
        entry old = c->e[i++];
        if (((fresh.seen - (old.seen >> 1)) & SEEN_MASK) >= keep) continue;
        if (drop_proofs) old.proof = 0;
        if (!emit(old)) return false;
    }
    return true;
}

dup_result not_written(dup_scan_t *scan) { return dup_add_skip(scan, scan->cache_path, DUP_SKIP_CACHE_NOT_WRITTEN); }

// Writes header and entries to the new file at tmp and renames it over
// the cache. DUP_OK or DUP_FAILED (nothing replaced), DUP_NOMEM.
dup_result write_file(const dup_scan_t *scan, const dup_cache *c, const fresh_files &fresh, uint64_t gen,
                      uint64_t next_proof, bool drop_proofs, const char *tmp) {
    const int64_t keep = std::min<int64_t>(scan->cache_keep_scans, SEEN_MASK);
    header h{};
    memcpy(h.magic, MAGIC, sizeof MAGIC);
    h.version = VERSION;
    h.entry_size = sizeof(entry);
    h.generation = gen;
    h.next_proof = next_proof;
    XXH64_state_t *sum = XXH64_createState();
    if (!sum) return DUP_NOMEM;
    XXH64_reset(sum, 0);
    merge(c, fresh, keep, drop_proofs, [&](const entry &e) {
        h.count++;
        XXH64_update(sum, &e, sizeof e);
        return true;
    });
    h.entries_sum = XXH64_digest(sum);
    XXH64_freeState(sum);
    h.header_sum = XXH64(&h, offsetof(header, header_sum), 0);

    dup_tmp_array<unsigned char> buf;
    if (!buf.alloc(WRITE_CHUNK)) return DUP_NOMEM;
    dup_content_t out;
    if (dup_file_create(tmp, &out) != DUP_OK) return DUP_FAILED;
    size_t used = sizeof h;
    memcpy(buf.p, &h, sizeof h);
    const bool ok = merge(c, fresh, keep, drop_proofs, [&](const entry &e) {
        if (used + sizeof e > WRITE_CHUNK) {
            if (dup_file_write(out, buf.p, static_cast<int64_t>(used)) != DUP_OK) return false;
            used = 0;
        }
        memcpy(buf.p + used, &e, sizeof e);
        used += sizeof e;
        return true;
    });
    if (!ok || dup_file_write(out, buf.p, static_cast<int64_t>(used)) != DUP_OK) {
        dup_file_abandon(out, tmp);
        return DUP_FAILED;
    }
    return dup_file_commit(out, tmp, scan->cache_path);
}

// Whether the file at the cache's path is still the one the scan read: a
// scan that wrote it since has stored what it learnt, and this one's
// results are then not stored over them.
bool still_as_read(const dup_cache *c, const char *path) {
    dup_stat_t now{};
    const bool there = dup_fill_stat(path, &now, 1) == DUP_OK;
    if (c->what == found::absent) return !there;
    return there && now.dev == c->st.dev && now.ino == c->st.ino && now.size == c->st.size &&
           now.mtime_ns == c->st.mtime_ns && now.ctime_ns == c->st.ctime_ns;
}

// Sorts the files by key, in place: the records are no longer needed in
// their grouping order, and the entries are then written straight from
// them.
void sort_by_key(dup_scan_t *scan) {
    // By the devices themselves, as the cache's entries are: a record holds
    // only the device's place in the scan's table.
    const uint64_t *devs = scan->devs;
    std::sort(scan->files, scan->files + scan->n_files, [devs](const dup_file_t &a, const dup_file_t &b) {
        return devs[a.dev] != devs[b.dev] ? devs[a.dev] < devs[b.dev] : a.ino < b.ino;
    });
}

// Whether the file read already holds all that this scan would write:
// every file to store has an entry that records its state, its first-block
// fingerprint and its whole one (or that it has none) as the scan found
// them; every entry was met so, and by the scan that wrote the file too;
// and the scan's groups join the same files as the entries' proofs do, one
// group to one proof. What the scan would write then differs only in the
// numbers: the scans that last met the entries, the proofs' numbering and
// the generation. Without room for the check the answer is no: writing is
// always sound. Each file to store is shown to see(), then finish() tells.
struct sameness {
    const dup_cache *c;
    bool same;
    uint32_t last;  // the generation of the file read, as entries hold it
    int64_t n_met = 0;
    dup_tmp_array<unsigned char> met;  // a bit per entry
    dup_tmp_array<uint32_t> proof_of;  // by group plus one: the proof its files hold

    sameness(const dup_scan_t *scan, const dup_cache *cache, bool may)
        : c(cache), same(may), last(static_cast<uint32_t>(cache->generation & SEEN_MASK)) {
        if (same) same = met.alloc(c->n / 8 + 1) && proof_of.alloc(static_cast<int64_t>(scan->n_groups) + 1);
    }

    void see(const dup_file_t &f, const dup_file_state &fs) {
        if (!same) return;
        if (fs.cache_ref == 0) {  // a file new to the cache, or changed
            same = false;
            return;
        }
        const int64_t i = fs.cache_ref - 1;
        const entry &e = c->e[i];
        same = (e.seen >> 1) == last && e.partial == fs.partial && (e.seen & 1U) == f.full_ok &&
               (!f.full_ok || e.full == f.full_hash) && (fs.proof == 0) == (e.proof == 0);
        if (same && fs.proof > 0) {
            uint32_t &p = proof_of[fs.proof];
            if (p == 0) p = e.proof;
            same = p == e.proof;
        }
        if (!(met[i / 8] & (1U << (i % 8)))) {
            met[i / 8] = static_cast<unsigned char>(met[i / 8] | (1U << (i % 8)));
            n_met++;
        }
    }

    bool finish(const dup_scan_t *scan) {
        if (!same || n_met != c->n) return false;
        // Each group holds one proof; no proof may be split between groups.
        uint32_t *p = proof_of.p, *end = p;
        for (int32_t g = 1; g <= scan->n_groups; g++)
            if (p[g] != 0) *end++ = p[g];
        std::sort(p, end);
        return std::adjacent_find(p, end) == end;
    }
};

// Leaves partial_ok set only on the files whose entries may be stored, and
// shows each of those to same. *m counts them.
dup_result mark_storable(dup_scan_t *scan, dup_cache *c, int64_t *m, sameness &same) {
    *m = 0;
    // The files are in size order, their states and entries anywhere: the
    // two are fetched ahead, a state so that its entry's place is known by
    // the time the entry is fetched, as waiting for each in turn costs more
    // than the work on it.
    constexpr int32_t AHEAD = 16;
    const int32_t n = scan->n_files;
    for (int32_t k = 0; k < n; k++) {
        if (k + 2 * AHEAD < n) __builtin_prefetch(&scan->states[scan->files[k + 2 * AHEAD].state]);
        if (same.same && k + AHEAD < n) {
            const int32_t ahead = scan->states[scan->files[k + AHEAD].state].cache_ref;
            if (ahead > 0) __builtin_prefetch(&c->e[ahead - 1]);
        }
        dup_file_t &f = scan->files[k];
        if (!f.partial_ok) continue;
        const dup_file_state &fs = scan->states[f.state];
        bool ok = !f.read_failed && fs.ctime_ns < scan->started_ns - RECENT_NS;
        if (ok && trusted(c, scan->devs[f.dev], f.path, &ok) != DUP_OK) return DUP_NOMEM;
        f.partial_ok = ok ? 1 : 0;
        *m += ok;
        if (ok) same.see(f, fs);
    }
    return DUP_OK;
}

// Finds each collected file's entry, in the walk's order, while the
// files are still in it: that order keeps a directory's inode numbers
// together, so each search starts close to the previous one's answer
// (searching from the size order instead, one search by halves per file,
// was the largest cost of a rescan of a million files). An entry counts
// only when its state is the file's, on a trusted file system.
dup_result look_up(dup_scan_t *scan, dup_cache *c) {
    int64_t at = 0;
    for (int32_t k = 0; k < scan->n_files; k++) {
        const dup_file_t &f = scan->files[k];
        dup_file_state &fs = scan->states[f.state];
        const entry *e = find_near(c, scan->devs[f.dev], f.ino, &at);
        if (!e || e->size != f.size || e->mtime_ns != fs.mtime_ns || e->ctime_ns != fs.ctime_ns) continue;
        // A device number now taken by a file system that is not trusted
        // (a stick of another kind mounted where one was) matches nothing.
        bool ok = false;
        if (trusted(c, scan->devs[f.dev], f.path, &ok) != DUP_OK) return DUP_NOMEM;
        if (ok) fs.cache_ref = static_cast<int32_t>(e - c->e) + 1;
    }
    return DUP_OK;
}

}  // namespace

dup_result dup_cache_load(dup_scan_t *scan) {
    if (!scan->cache_path) return DUP_OK;
    auto *c = static_cast<dup_cache *>(dup_calloc(1, sizeof(dup_cache)));
    if (!c) return DUP_NOMEM;
    *c = dup_cache{};
    scan->cache = c;
    int64_t len = 0;
    int missing = 0;
    const dup_result r = dup_file_load(scan->cache_path, &c->block, &len, &c->st, &missing);
    if (r == DUP_NOMEM) return DUP_NOMEM;
    if (r != DUP_OK) {
        // A file that is there but cannot be read is not known well enough
        // to be replaced.
        c->what = missing ? found::absent : found::untouchable;
        return missing ? DUP_OK : dup_add_skip(scan, scan->cache_path, DUP_SKIP_CACHE_IGNORED);
    }
    header h{};
    c->what = check(c->block, len, &h);
    if (c->what != found::valid) {
        free(c->block);
        c->block = nullptr;
        return len == 0 ? DUP_OK : dup_add_skip(scan, scan->cache_path, DUP_SKIP_CACHE_IGNORED);
    }
    c->e = reinterpret_cast<const entry *>(c->block + sizeof(header));
    c->n = static_cast<int64_t>(h.count);
    c->generation = h.generation;
    c->next_proof = h.next_proof < 1 ? 1 : h.next_proof;
    return look_up(scan, c);
}

void dup_cache_match(dup_scan_t *scan) {
    dup_cache *c = scan->cache;
    if (!c || c->n == 0) return;
    dup_file_t *f = scan->files;
    const int32_t n = scan->n_files;
    for (int32_t k = 0; k < n; k++) {
        if (!dup_size_shared(f, n, k)) continue;
        const int32_t ref = scan->states[f[k].state].cache_ref;
        if (ref == 0) continue;
        // The first-block stage takes it from here, as from a read.
        f[k].full_hash = c->e[ref - 1].partial;
        f[k].partial_ok = 1;
    }
}

dup_result dup_cache_settle(dup_scan_t *scan, const dup_run_bounds &runs, int32_t max_run, int32_t *parent,
                            unsigned char *invalid, unsigned char *settled) {
    const dup_cache *c = scan->cache;
    if (!c || c->n == 0) return DUP_OK;
    dup_tmp_array<int32_t> order;
    if (!order.alloc(max_run)) return DUP_NOMEM;
    for (int32_t t = 0; t < runs.n; t++) {
        dup_file_t *rec = scan->files + runs.b[t];
        const int32_t m = runs.e[t] - runs.b[t];
        bool all = true;
        auto ref = [&](int32_t k) { return scan->states[rec[k].state].cache_ref; };
        for (int32_t k = 0; k < m && all; k++) all = ref(k) > 0 && (c->e[ref(k) - 1].seen & 1U);
        if (!all) continue;
        auto at = [&](int32_t k) -> const entry & { return c->e[ref(k) - 1]; };
        for (int32_t k = 0; k < m; k++) order[k] = k;
        std::sort(order.p, order.p + m, [&](int32_t a, int32_t b) {
            if (at(a).full != at(b).full) return at(a).full < at(b).full;
            return at(a).proof != at(b).proof ? at(a).proof < at(b).proof : a < b;
        });
        // Files of different whole fingerprints differ; files of one are
        // known equal only through one proof.
        bool known = true;
        for (int32_t s = 0; s < m && known;) {
            int32_t u = s + 1;
            while (u < m && at(order[u]).full == at(order[s]).full) u++;
            if (u - s >= 2)
                for (int32_t q = s; q < u && known; q++)
                    known = at(order[q]).proof != 0 && at(order[q]).proof == at(order[s]).proof;
            s = u;
        }
        if (!known) continue;
        int32_t *par = parent + runs.b[t];
        for (int32_t s = 0; s < m;) {
            int32_t u = s + 1;
            while (u < m && at(order[u]).full == at(order[s]).full) u++;
            for (int32_t q = s; q < u; q++) par[order[q]] = order[s];  // the smallest position is the root
            s = u;
        }
        for (int32_t k = 0; k < m; k++) {
            rec[k].full_hash = at(k).full;
            rec[k].full_ok = 1;
            invalid[runs.b[t] + k] = 0;
        }
        settled[t] = 1;
    }
    return DUP_OK;
}

dup_result dup_cache_save(dup_scan_t *scan) {
    dup_cache *c = scan->cache;
    if (!c) return DUP_OK;
    if (c->what == found::untouchable) return not_written(scan);
    const uint64_t gen = (c->what == found::valid ? c->generation : 0) + 1;
    uint64_t base = c->next_proof;
    // Proof numbers are 32 bits in the file: when they would run out, the
    // old entries' proofs are forgotten (their files are read again) and the
    // numbers start over.
    const bool drop_proofs = base + static_cast<uint64_t>(scan->n_groups) >= UINT32_MAX;
    if (drop_proofs) base = 1;
    int64_t m = 0;
    sameness same(scan, c, c->what == found::valid && !drop_proofs);
    if (mark_storable(scan, c, &m, same) != DUP_OK) return DUP_NOMEM;
    // Where no file can be cached (Windows, a tree on FAT) and there was
    // no cache, there is nothing to keep.
    if (m == 0 && c->what == found::absent) return DUP_OK;
    // A scan that would write back what it read leaves the file as it is:
    // no write, no flush to the disk, no rename; nor is anything lost to a
    // scan that wrote meanwhile. The entries' scan numbers and the
    // generation then stay where they were, and the rule that drops an
    // entry once cache_keep_scans scans in a row did not meet it still
    // counts exactly: a scan that skips met every entry, each of which the
    // scan that wrote the file had met too (so each holds the file's
    // generation, as if this scan had written it), and a scan that misses
    // an entry always writes, moving the generation by one. An entry's
    // age, the generation being written minus the one it holds, is thus
    // the number of scans in a row, this one included, that did not meet
    // it. (Without the second condition an entry last written scans ago
    // and met only by skipping scans would age through them.)
    if (same.finish(scan)) return DUP_OK;
    sort_by_key(scan);
    fresh_files fresh{scan, static_cast<uint32_t>(gen & SEEN_MASK), base};

    char *lock_path = with_suffix(scan->cache_path, ".lock");
    char *tmp = with_suffix(scan->cache_path, ".new");
    const std::unique_ptr<char, dup_free_deleter> lock_owner(lock_path), tmp_owner(tmp);
    if (!lock_path || !tmp) return DUP_NOMEM;
    dup_lock_t *lock = nullptr;
    dup_result r = dup_file_lock(lock_path, &lock);
    if (r == DUP_OK) {
        r = still_as_read(c, scan->cache_path)
                ? write_file(scan, c, fresh, gen, base + static_cast<uint64_t>(scan->n_groups), drop_proofs, tmp)
                : DUP_FAILED;
        dup_file_unlock(lock);
    }
    if (r == DUP_NOMEM) return DUP_NOMEM;
    return r == DUP_OK ? DUP_OK : not_written(scan);
}

void dup_cache_release(dup_scan_t *scan) {
    dup_cache *c = scan->cache;
    if (!c) return;
    free(c->block);
    free(c->devs);
    free(c);
    scan->cache = nullptr;
}
