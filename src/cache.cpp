// SPDX-License-Identifier: MIT
// The fingerprint cache's use by a scan (its file: cache_file.h).
//
// Loading reads the file twice, a piece at a time, and keeps nothing of it
// but a table of its inode numbers while the files look their entries up:
// the first pass checks it and fills the table, lookups in the walk's
// order find each file's entry in it, and the second pass hands each entry
// to the files that found it, which keep what match, settle and save need
// in their state (32 bytes each, which a cached scan has anyway). Saving
// streams a merge of the scan's records with a third read of the file,
// unless it would write back what was read. Ten million entries thus cost
// 80 MB while they are looked up, and nothing once loaded, where holding
// the file would cost 640 MB for the whole scan.
#include "cache.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cache_file.h"
#include "platform/platform.h"
#include "size.h"

namespace {

using entry = dup_cache_entry;
using found = dup_cache_found;

// A change time this close to the scan's start may not have moved yet for
// a write that follows the read (a clock of one-second ticks included).
constexpr int64_t RECENT_NS = 2000000000;
constexpr uint32_t SEEN_MASK = 0x7FFFFFFF;  // scan numbers are kept modulo 2^31

struct dev_trust {
    uint64_t dev;
    int32_t trusted;
};

}  // namespace

struct dup_cache {
    dup_content_t h = DUP_CONTENT_NONE;  // the file read, open for the scan
    int64_t n = 0;
    uint64_t generation = 0;
    uint64_t next_proof = 1;
    uint64_t entries_sum = 0;
    found what = found::absent;
    dup_stat_t st{};        // the file's status when read, unless absent
    dup_cache_keys keys{};  // while the files look their entries up
    dev_trust *devs = nullptr;
    int32_t n_devs = 0, cap_devs = 0;
};

namespace {

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
// not be stored have partial_ok cleared. A file whose entry records its
// state keeps the entry's facts in place of its times (times_from_old):
// the merge takes them from that entry.
struct fresh_files {
    const dup_scan_t *scan;
    uint32_t seen;  // the scan's number, as entries hold it
    uint64_t base;  // the proof number of the scan's first group
    int32_t k = 0;
    bool has = false, times_from_old = false;
    entry cur{};

    void next() {
        const bool had = has;
        has = false;
        while (k < scan->n_files) {
            const dup_file_t &f = scan->files[k++];
            if (!f.partial_ok || (had && scan->devs[f.dev] == cur.dev && f.ino == cur.ino)) continue;
            const dup_file_state &fs = scan->states[f.state];
            times_from_old = fs.cache_ref > 0;
            cur = entry{scan->devs[f.dev],
                        f.ino,
                        f.size,
                        times_from_old ? 0 : fs.walk.mtime_ns,
                        times_from_old ? 0 : fs.walk.ctime_ns,
                        fs.partial,
                        f.full_ok ? f.full_hash : 0,
                        fs.proof > 0 ? static_cast<uint32_t>(base + static_cast<uint64_t>(fs.proof) - 1) : 0,
                        (seen << 1) | (f.full_ok ? 1U : 0U)};
            has = true;
            return;
        }
    }
};

// The merge of the scan's entries with the old file's (read once more,
// old: none when it was not valid) that this scan did not meet and that
// are recent enough, handed to emit in key order. False when emit fails,
// the old file cannot be read, or it no longer holds the entry a file
// found in it.
template <class Emit>
bool merge(dup_cache_reader *old, uint64_t old_sum, fresh_files fresh, int64_t keep, bool drop_proofs, Emit emit) {
    entry o{};
    bool has_old = old && old->get(&o);
    fresh.next();
    while (has_old || fresh.has) {
        if (fresh.has && (!has_old || !dup_cache_key_less(o, fresh.cur))) {
            if (has_old && dup_cache_same_key(o, fresh.cur)) {  // the scan's newer word on the file
                if (fresh.times_from_old) {
                    fresh.cur.mtime_ns = o.mtime_ns;
                    fresh.cur.ctime_ns = o.ctime_ns;
                }
                has_old = old->get(&o);
            } else if (fresh.times_from_old) {
                return false;
            }
            if (!emit(fresh.cur)) return false;
            fresh.next();
            continue;
        }
        entry e = o;
        has_old = old->get(&o);
        if (((fresh.seen - (e.seen >> 1)) & SEEN_MASK) >= keep) continue;
        if (drop_proofs) e.proof = 0;
        if (!emit(e)) return false;
    }
    return !old || old->whole(old_sum);
}

dup_result not_written(dup_scan_t *scan) { return dup_add_skip(scan, scan->cache_path, DUP_SKIP_CACHE_NOT_WRITTEN); }

// Writes the merge to the new file at tmp and renames it over the cache.
// DUP_OK or DUP_FAILED (nothing replaced: a failed write, or an old file
// that no longer reads as it did), DUP_NOMEM.
dup_result write_file(const dup_scan_t *scan, const dup_cache *c, const fresh_files &fresh, uint64_t gen,
                      uint64_t next_proof, bool drop_proofs, const char *tmp) {
    const int64_t keep = std::min<int64_t>(scan->cache_keep_scans, SEEN_MASK);
    dup_cache_reader old;
    const bool valid = c->what == found::valid;
    if (valid && !old.start(c->h, c->n)) return DUP_NOMEM;
    dup_cache_writer out;
    const dup_result r = out.start(tmp);
    if (r != DUP_OK) return r;
    if (!merge(valid ? &old : nullptr, c->entries_sum, fresh, keep, drop_proofs,
               [&](const entry &e) { return out.add(e); }))
        return DUP_FAILED;  // the writer removes its file
    return out.commit(scan->cache_path, gen, next_proof);
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
// (A file's first-block fingerprint is its entry's: a file whose entry
// matched is never read for its first block.)
struct sameness {
    const dup_cache *c;
    bool same;
    int64_t n_met = 0;
    dup_tmp_array<unsigned char> met;  // a bit per entry
    dup_tmp_array<uint32_t> proof_of;  // by group plus one: the proof its files hold

    sameness(const dup_scan_t *scan, const dup_cache *cache, bool may) : c(cache), same(may) {
        if (same) same = met.alloc(c->n / 8 + 1) && proof_of.alloc(static_cast<int64_t>(scan->n_groups) + 1);
    }

    void see(const dup_file_t &f, const dup_file_state &fs) {
        if (!same) return;
        if (fs.cache_ref == 0) {  // a file new to the cache, or changed
            same = false;
            return;
        }
        const int64_t i = fs.cache_ref - 1;
        const dup_file_state::entry_facts &e = fs.entry;
        const uint32_t full = (e.flags & DUP_ENTRY_FULL) != 0 ? 1U : 0U;
        same = (e.flags & DUP_ENTRY_BY_WRITER) != 0 && full == f.full_ok && (!f.full_ok || e.full == f.full_hash) &&
               (fs.proof == 0) == (e.proof == 0);
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
    // The files are in size order, their states anywhere: a state is
    // fetched ahead, as waiting for each in turn costs more than the work
    // on it.
    constexpr int32_t AHEAD = 16;
    const int32_t n = scan->n_files;
    for (int32_t k = 0; k < n; k++) {
        if (k + AHEAD < n) __builtin_prefetch(&scan->states[scan->files[k + AHEAD].state]);
        dup_file_t &f = scan->files[k];
        if (!f.partial_ok) continue;
        const dup_file_state &fs = scan->states[f.state];
        // A file whose entry matched has the entry's change time, which
        // the second read of the file judged against this scan's start.
        const bool aged = fs.cache_ref > 0 ? (fs.entry.flags & DUP_ENTRY_AGED) != 0
                                           : fs.walk.ctime_ns < scan->started_ns - RECENT_NS;
        bool ok = !f.read_failed && aged;
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
// only on a trusted file system; whether it records the file's state is
// told by the second read.
dup_result look_up(dup_scan_t *scan, dup_cache *c) {
    for (int32_t k = 0; k < scan->n_files; k++) {
        const dup_file_t &f = scan->files[k];
        const int64_t i = dup_cache_find(&c->keys, scan->devs[f.dev], f.ino);
        if (i < 0) continue;
        // A device number now taken by a file system that is not trusted
        // (a stick of another kind mounted where one was) matches nothing.
        bool ok = false;
        if (trusted(c, scan->devs[f.dev], f.path, &ok) != DUP_OK) return DUP_NOMEM;
        if (ok) scan->states[f.state].cache_ref = static_cast<int32_t>(i) + 1;
    }
    return DUP_OK;
}

// Second read of the file: each entry goes to the files that found it
// (several names of one file, or one file met twice, share it), which take
// its facts when it records their state and drop it otherwise. The table
// of inode numbers becomes the head of each entry's list of files, and a
// file's proof, not yet set, the link to the next one. True when the file
// read the same as the first time; else no file keeps an entry.
bool hand_out(dup_scan_t *scan, dup_cache *c, bool *nomem) {
    uint64_t *head = c->keys.inos;
    std::fill(head, head + c->n, uint64_t{0});
    for (int32_t k = 0; k < scan->n_files; k++) {
        dup_file_state &fs = scan->states[scan->files[k].state];
        if (fs.cache_ref == 0) continue;
        fs.proof = static_cast<int32_t>(head[fs.cache_ref - 1]);
        head[fs.cache_ref - 1] = static_cast<uint64_t>(k) + 1;
    }
    const uint32_t writer = static_cast<uint32_t>(c->generation & SEEN_MASK);
    dup_cache_reader rd;
    *nomem = !rd.start(c->h, c->n);
    entry e{};
    for (int64_t i = 0; !*nomem && rd.get(&e); i++) {
        for (auto k = static_cast<int32_t>(head[i]); k > 0;) {
            const dup_file_t &f = scan->files[k - 1];
            dup_file_state &fs = scan->states[f.state];
            k = fs.proof;
            fs.proof = 0;
            if (e.size != f.size || e.mtime_ns != fs.walk.mtime_ns || e.ctime_ns != fs.walk.ctime_ns) {
                fs.cache_ref = 0;
                continue;
            }
            fs.partial = e.partial;
            fs.entry.full = e.full;
            fs.entry.proof = e.proof;
            fs.entry.flags = ((e.seen & 1U) != 0 ? DUP_ENTRY_FULL : 0) |
                             ((e.seen >> 1) == writer ? DUP_ENTRY_BY_WRITER : 0) |
                             (e.ctime_ns < scan->started_ns - RECENT_NS ? DUP_ENTRY_AGED : 0);
        }
    }
    if (!*nomem && rd.whole(c->entries_sum)) return true;
    // Matches taken from bytes that did not read alike both times are
    // dropped, and the links of files not reached with them.
    for (int32_t k = 0; k < scan->n_files; k++) {
        dup_file_state &fs = scan->states[scan->files[k].state];
        fs.cache_ref = 0;
        fs.proof = 0;
    }
    return false;
}

}  // namespace

dup_result dup_cache_load(dup_scan_t *scan) {
    if (!scan->cache_path) return DUP_OK;
    auto *c = static_cast<dup_cache *>(dup_calloc(1, sizeof(dup_cache)));
    if (!c) return DUP_NOMEM;
    *c = dup_cache{};
    scan->cache = c;
    dup_cache_header h{};
    c->what = dup_cache_file_open(scan->cache_path, &c->h, &c->st, &h);
    if (c->what == found::absent) return DUP_OK;
    if (c->what != found::valid)
        return c->st.size == 0 && c->what == found::replaceable
                   ? DUP_OK
                   : dup_add_skip(scan, scan->cache_path, DUP_SKIP_CACHE_IGNORED);
    c->n = static_cast<int64_t>(h.count);
    c->generation = h.generation;
    c->next_proof = h.next_proof < 1 ? 1 : h.next_proof;
    c->entries_sum = h.entries_sum;
    bool unreadable = false, nomem = false;
    dup_result r = dup_cache_read_keys(c->h, c->n, c->entries_sum, &c->keys, &unreadable);
    if (r != DUP_OK) {
        dup_cache_keys_free(&c->keys);
        if (r == DUP_NOMEM) return DUP_NOMEM;
        // A file that is there but cannot be read is not known well enough
        // to be replaced.
        c->what = unreadable ? found::untouchable : found::replaceable;
        c->n = 0;
        return dup_add_skip(scan, scan->cache_path, DUP_SKIP_CACHE_IGNORED);
    }
    r = look_up(scan, c);
    const bool same = r == DUP_OK && hand_out(scan, c, &nomem);
    dup_cache_keys_free(&c->keys);
    if (r != DUP_OK || nomem) return DUP_NOMEM;
    if (same) return DUP_OK;
    // The file changed in place between the two reads: it is not the file
    // the first read checked, and nothing is written over it.
    c->what = found::untouchable;
    c->n = 0;
    return dup_add_skip(scan, scan->cache_path, DUP_SKIP_CACHE_IGNORED);
}

void dup_cache_match(dup_scan_t *scan) {
    const dup_cache *c = scan->cache;
    if (!c || c->n == 0) return;
    dup_file_t *f = scan->files;
    const int32_t n = scan->n_files;
    for (int32_t k = 0; k < n; k++) {
        if (!dup_size_shared(f, n, k)) continue;
        const dup_file_state &fs = scan->states[f[k].state];
        if (fs.cache_ref == 0) continue;
        // The first-block stage takes it from here, as from a read.
        f[k].full_hash = fs.partial;
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
        auto at = [&](int32_t k) -> const dup_file_state::entry_facts & { return scan->states[rec[k].state].entry; };
        for (int32_t k = 0; k < m && all; k++) all = ref(k) > 0 && (at(k).flags & DUP_ENTRY_FULL) != 0;
        if (!all) continue;
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
    dup_file_close(c->h);
    dup_cache_keys_free(&c->keys);
    free(c->devs);
    free(c);
    scan->cache = nullptr;
}
