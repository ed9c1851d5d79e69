// The scan worker, the grouping of duplicates and the results text.
#include <algorithm>
#include <atomic>
#include <thread>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define XXH_STATIC_LINKING_ONLY  // XXH64_state_t by value
#include <xxhash.h>

#include "dup_internal.h"

// ---- worker ------------------------------------------------------------------

namespace {

void end_scan(dup_scan_t *scan, const char *text) {
    snprintf(scan->error, sizeof scan->error, "%s", text);
    dup_store_progress(scan, -1);
    scan->state.store(DUP_STATE_ENDED, std::memory_order_release);
}

}  // namespace

void (*dup_test_files_hook)(dup_scan_t *scan) = nullptr;

void *dup_scan_worker(void *arg) {
    auto *scan = static_cast<dup_scan_t *>(arg);
    dup_store_progress(scan, 1);

    int r = dup_walk_collect(scan);
    // A pending cancel wins over a walk that failed at the same time.
    if (dup_cancel_requested(scan)) {
        end_scan(scan, "cancelled");
        return nullptr;
    }
    if (r < 0) {
        end_scan(scan, "walk failed");
        return nullptr;
    }

    // Counted once the records that name one entry under two paths are
    // merged: scanned_files counts entries, not the paths that led to them.
    // The merge finishes the collection, so its failure is the walk's.
    if (dup_merge_same_entries(scan) != 0) {
        end_scan(scan, "walk failed");
        return nullptr;
    }
    scan->scanned_files = scan->n_files;
    dup_store_progress(scan, 40);

    if (scan->n_files >= 2 && dup_group_files(scan) < 0) {
        end_scan(scan, dup_cancel_requested(scan) ? "cancelled" : "grouping failed");
        return nullptr;
    }
    // Also the outcome of a grouping that stopped at a cancel checkpoint.
    if (dup_cancel_requested(scan)) {
        end_scan(scan, "cancelled");
        return nullptr;
    }

    // The groups hold their own copies of the paths; the collected files are
    // the bulk of a scan's memory and no longer needed, so the results text
    // is built without them beside it.
    if (dup_test_files_hook) dup_test_files_hook(scan);
    dup_free_files(scan);
    dup_store_progress(scan, 96);
    if (dup_build_results_json(scan) != 0) {
        end_scan(scan, "results json failed");
        return nullptr;
    }
    dup_store_progress(scan, 100);
    scan->state.store(DUP_STATE_DONE, std::memory_order_release);
    return nullptr;
}

// ---- grouping ------------------------------------------------------------------
//
// Four tiers of rising cost: equal size, equal fingerprint of the first block,
// equal fingerprint of the whole content, equal bytes. The order of the work
// fixes the order of the groups and of the paths inside each group, and the
// results text keeps both, so every shortcut below is built to leave exactly
// the order that the plain tier-by-tier procedure gives:
//   - tier 2 sorts a size run by (partial fingerprint, path): a total order
//     once every path is unique, so any correct sort gives the same result;
//   - tier 3 sorts a partial run with an exchange sort that is not stable;
//     its permutation decides heads, so exchange_order() computes exactly
//     that permutation without its quadratic cost;
//   - tiers 3 and 4 share one lockstep read of the partial run: each member
//     is read once, hashed to its end and compared block by block with the
//     others, which partitions the run into classes of equal leading `size`
//     bytes. Byte equality over a fixed length is an equivalence, so the
//     groups the head-by-head comparison would find in a full run are those
//     classes restricted to the run, each headed by its first member.
// These shortcuts read each file fewer times than the plain procedure, and
// give its results for files that do not change while they are grouped.

uint64_t (*dup_test_fingerprint_hook)(const char *path, int full, uint64_t computed) = nullptr;
int32_t dup_reader_threads = 8;

namespace {

// Members read together in one lockstep batch, and the smallest block each
// reads per round. Bounded so that 32 scans at once stay well inside the
// usual limit of open files; a batch also shrinks when the limit is hit.
constexpr int32_t PASS_FILES = 16;
constexpr int64_t PASS_BLOCK = 64 * 1024;
static_assert(PASS_BLOCK >= DUP_BLOCK, "a one-block file must fit one round");

// A small batch reads larger blocks: every read() has a fixed cost that a
// large file would otherwise pay every 64 KiB, and a pair of 256 KiB blocks
// still sits in a core's cache while it is compared and hashed (larger ones
// measured slower). A round's blocks stay within PASS_ROUND_BYTES, or
// PASS_FILES blocks of PASS_BLOCK when the batch is larger.
constexpr int64_t PASS_ROUND_BYTES = 512 * 1024;
constexpr int64_t PASS_MAX_BLOCK = 256 * 1024;

constexpr int64_t batch_block(int32_t cnt) {
    const int64_t share = (PASS_ROUND_BYTES / (cnt < 1 ? 1 : cnt)) & ~int64_t{4095};
    return std::clamp(share, PASS_BLOCK, PASS_MAX_BLOCK);
}
constexpr bool batch_blocks_fit() {
    for (int32_t c = 1; c <= PASS_FILES; c++)
        if (batch_block(c) * c > PASS_FILES * PASS_BLOCK) return false;
    return true;
}
static_assert(batch_blocks_fit(), "a batch's blocks must fit the reading buffer");

uint64_t seam(const char *path, int full, uint64_t h) {
    return dup_test_fingerprint_hook ? dup_test_fingerprint_hook(path, full, h) : h;
}

// A zero-filled heap array freed on every way out of its scope.
template <class T>
struct tmp_array {
    T *p = nullptr;
    tmp_array() = default;
    tmp_array(const tmp_array &) = delete;
    tmp_array &operator=(const tmp_array &) = delete;
    ~tmp_array() { free(p); }
    bool alloc(size_t n) {
        free(p);
        p = static_cast<T *>(calloc(n ? n : 1, sizeof(T)));
        return p != nullptr;
    }
    T &operator[](size_t i) const { return p[i]; }
};

// ---- tier 3 order ----------------------------------------------------------------

// The permutation that this exchange sort leaves, written as out[final
// position] = starting position:
//
//   for p in 0..n-2: for q in p+1..n-1: if key[q] < key[p]: swap(p, q)
//
// Proof that the result below is that permutation. In pass p, call the
// positions whose value is smaller than everything before them (from p on)
// the chain p = c0 < c1 < ... < ck; the pass moves the element at c(i) to
// c(i+1) and the one at ck (the leftmost minimum) to p. Fix a value x and
// look only at the elements equal to x (E) and smaller than x (L), in order.
// The chain holds at most one E, and it holds the first E exactly when no L
// comes before it. Then that E moves to the position of the first L after
// it, passing over the E's in between; every other E stays where it is. The
// chain's L positions keep holding L's except one, which leaves the suffix.
// Seen as a word over {E, L}, a pass therefore turns "L w" into "w", and
// "E E^a L w" into "E^a E w"; once no L is left the E's are placed in their
// order. So the final order of the x's follows from the word alone: walk it
// from the left, appending each E to a list and rotating the list left by
// one for each L (L's before the first E change nothing). Only the number
// of smaller values between consecutive x's and after the last one is
// needed: a Fenwick tree over positions gives it while the values are
// visited in ascending order. Classes come out in ascending value, each in
// that order. The rotations cost at most min(r, size - r) steps each.
int exchange_order(const uint64_t *key, int32_t n, int32_t *out) {
    bool sorted = true;
    for (int32_t t = 1; t < n && sorted; t++) sorted = key[t] >= key[t - 1];
    for (int32_t t = 0; t < n; t++) out[t] = t;
    if (sorted) return 0;  // the sort makes no swap at all

    tmp_array<int32_t> order, fen, nxt, prv;
    if (!order.alloc(n) || !fen.alloc(static_cast<size_t>(n) + 1) || !nxt.alloc(n) || !prv.alloc(n))
        return -1;
    for (int32_t t = 0; t < n; t++) order[t] = t;
    std::sort(order.p, order.p + n, [&](int32_t a, int32_t b) {
        return key[a] != key[b] ? key[a] < key[b] : a < b;
    });
    auto less_before = [&](int32_t pos) {  // smaller values at positions < pos
        int32_t s = 0;
        for (int32_t i = pos; i > 0; i -= i & -i) s += fen[i];
        return s;
    };
    auto insert = [&](int32_t pos) {
        for (int32_t i = pos + 1; i <= n; i += i & -i) fen[i]++;
    };

    int32_t w = 0;
    for (int32_t s = 0; s < n;) {
        int32_t t = s + 1;
        while (t < n && key[order[t]] == key[order[s]]) t++;
        // Circular list over the class's members (local ids l = 0..k-1 for
        // positions order[s + l]); head is the first of the logical list.
        const int32_t k = t - s;
        int32_t head = 0, size = 0;
        for (int32_t l = 0; l < k; l++) {
            if (size == 0) {
                nxt[0] = prv[0] = 0;
            } else {  // append: just before head in the circle
                int32_t tail = prv[head];
                nxt[tail] = l;
                prv[l] = tail;
                nxt[l] = head;
                prv[head] = l;
            }
            size++;
            const int32_t pos = order[s + l];
            const int32_t next = l + 1 < k ? order[s + l + 1] : n;
            int32_t r = (less_before(next) - less_before(pos + 1)) % size;
            if (r <= size - r) {
                while (r-- > 0) head = nxt[head];
            } else {
                for (r = size - r; r > 0; r--) head = prv[head];
            }
        }
        for (int32_t l = 0, at = head; l < k; l++, at = nxt[at]) out[w++] = order[s + at];
        for (int32_t l = s; l < t; l++) insert(order[l]);
        s = t;
    }
    return 0;
}

// Reorders whole records: afterwards rec[t] is the record that was at
// rec[order[t]]. order is restored before returning.
void apply_order(dup_file_t *rec, int32_t *order, int32_t n) {
    for (int32_t s = 0; s < n; s++) {
        if (order[s] < 0 || order[s] == s) continue;
        dup_file_t tmp = rec[s];
        int32_t t = s;
        for (;;) {
            int32_t src = order[t];
            order[t] = -1 - src;  // done
            if (src == s) {
                rec[t] = tmp;
                break;
            }
            rec[t] = rec[src];
            t = src;
        }
    }
    for (int32_t t = 0; t < n; t++)
        if (order[t] < 0) order[t] = -1 - order[t];
}

// ---- the lockstep read -----------------------------------------------------------

// Scratch of one reading thread, allocated on first use.
struct pass_ctx {
    unsigned char *buf = nullptr;  // PASS_FILES blocks of PASS_BLOCK bytes
    XXH64_state_t *st = nullptr;   // one hashing state per batch slot
    pass_ctx() = default;
    pass_ctx(const pass_ctx &) = delete;
    pass_ctx &operator=(const pass_ctx &) = delete;
    ~pass_ctx() {
        free(buf);
        free(st);
    }
    bool ready() {
        if (!buf) buf = static_cast<unsigned char *>(malloc(static_cast<size_t>(PASS_FILES * PASS_BLOCK)));
        if (!st) st = static_cast<XXH64_state_t *>(malloc(sizeof(XXH64_state_t) * PASS_FILES));
        return buf && st;
    }
};

// One partial run being worked on. Per-member arrays are indexed by the
// member's position in the run before tier 3 reorders it. Until the run's
// full fingerprints are taken, a member's full_hash holds the fingerprint
// of its first block as read (before the test seam): for a file that fits
// in one block that is already its full fingerprint.
struct run_ctx {
    dup_file_t *rec;            // the run's records
    int32_t n;
    int64_t size;               // every member's recorded size
    int32_t *parent;            // union-find: classes of equal leading bytes
    unsigned char *invalid;     // fewer than `size` readable bytes: equals nothing
    const unsigned char *whole; // the first block was the whole file
};

int32_t find_root(int32_t *parent, int32_t x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

void unite(int32_t *parent, int32_t a, int32_t b) {
    a = find_root(parent, a);
    b = find_root(parent, b);
    if (a < b)
        parent[b] = a;
    else if (b < a)
        parent[a] = b;
}

struct slot {
    intptr_t h;
    int32_t member;   // index into the run
    int32_t hashing;  // read to the end for the full fingerprint
    int32_t cls;      // class label (the slot that founded it); -1: equals nothing
    int32_t done;
    int32_t failed;   // a read error
    int64_t seen;     // bytes read so far
    int32_t eq;       // slots with equal eq have equal hashing states
    int32_t cut;      // stopped before its end: no fingerprint
};

slot new_slot(intptr_t h, int32_t member, int32_t hashing) { return slot{h, member, hashing, 0, 0, 0, 0, -1, 0}; }

bool any_shared_class(const slot *sl, int32_t cnt) {
    int32_t count[PASS_FILES] = {};
    for (int32_t a = 0; a < cnt; a++)
        if (sl[a].cls >= 0 && ++count[sl[a].cls] >= 2) return true;
    return false;
}

// Reads the slots of one batch together, round by round, until all are done.
// Hashing slots are read to their end and fingerprinted; the others stop
// after `size` bytes, or as soon as no other slot can still equal them.
// Slots start in one class, which every round splits by that round's bytes
// below `size`. Afterwards two verified slots (see slot_verified) have
// equal leading `size` bytes exactly when their labels are equal.
// When the batch holds every member of its run that could be opened
// (whole_run), the run has no group once no two slots share a class, and
// then no fingerprint matters either: every slot stops there, and the
// hashing ones are cut (they have no fingerprint).
// Returns 0, or 1 when a cancel was seen between two rounds.
int run_batch(const dup_scan_t *scan, pass_ctx &px, const run_ctx &rc, slot *sl, int32_t cnt, bool whole_run) {
    const int64_t S = rc.size;
    int32_t count[PASS_FILES], newc[PASS_FILES], reps[PASS_FILES], same[PASS_FILES], eq0[PASS_FILES];
    int64_t got[PASS_FILES];
    const int64_t blk = batch_block(cnt);
    for (int64_t off = 0;; off += blk) {
        bool any = false;
        for (int32_t a = 0; a < cnt; a++) any = any || !sl[a].done;
        if (!any) return 0;
        if (off > 0 && dup_cancel_requested(scan)) return 1;

        const int64_t L = off < S ? (S - off < blk ? S - off : blk) : 0;
        for (int32_t a = 0; a < cnt; a++) count[a] = 0;
        for (int32_t a = 0; a < cnt; a++)
            if (!sl[a].done && sl[a].cls >= 0) count[sl[a].cls]++;

        for (int32_t a = 0; a < cnt; a++) {
            slot &x = sl[a];
            got[a] = 0;
            same[a] = -1;
            eq0[a] = x.eq;
            if (x.done) continue;
            int64_t want = blk;
            if (!x.hashing) want = L > 0 && x.cls >= 0 && count[x.cls] >= 2 ? L : 0;
            if (want == 0) {
                x.done = 1;
                continue;
            }
            const int64_t r = dup_content_read(x.h, px.buf + a * blk, want);
            if (r < 0) {
                x.failed = x.done = 1;
                x.cls = -1;
                continue;
            }
            got[a] = r;
            x.seen += r;
            if (r < L) x.cls = -1;  // shorter than `size`
            if (r < want || (!x.hashing && off + L >= S)) x.done = 1;
        }

        if (L > 0) {
            int32_t n_reps = 0;
            for (int32_t a = 0; a < cnt; a++) {
                newc[a] = sl[a].cls;
                if (sl[a].cls < 0 || got[a] < L || count[sl[a].cls] < 2) continue;
                const unsigned char *b = px.buf + a * blk;
                int32_t to = -1;
                for (int32_t q = 0; q < n_reps && to < 0; q++) {
                    const int32_t y = reps[q];
                    if (sl[y].cls == sl[a].cls && memcmp(px.buf + y * blk, b, static_cast<size_t>(L)) == 0)
                        to = y;
                }
                if (to < 0)
                    to = reps[n_reps++] = a;  // founds a class of its own
                else
                    same[a] = to;
                newc[a] = to;
            }
            for (int32_t a = 0; a < cnt; a++) sl[a].cls = newc[a];
            if (whole_run && !any_shared_class(sl, cnt)) {
                for (int32_t a = 0; a < cnt; a++) {
                    sl[a].cut = sl[a].hashing;  // this round is not hashed
                    sl[a].done = 1;
                }
                return 0;
            }
        }

        // A slot that read exactly the bytes its class's founder read, from
        // the same hashing state, ends in the founder's state: copying that
        // state gives the digest hashing would give, at a fraction of the
        // cost. Founders come first in slot order, so theirs is updated.
        for (int32_t a = 0; a < cnt; a++) {
            slot &x = sl[a];
            if (!x.hashing || got[a] == 0) continue;
            const int32_t f = same[a];
            if (f >= 0 && sl[f].hashing && got[a] == L && got[f] == L && eq0[a] == eq0[f]) {
                XXH64_copyState(&px.st[a], &px.st[f]);
                x.eq = f;
            } else {
                XXH64_update(&px.st[a], px.buf + a * blk, static_cast<size_t>(got[a]));
                x.eq = a;
            }
        }
    }
}

// Read whole, without error, and at least `size` bytes of it: the slot's
// class label then says what it equals. A slot that stopped early because
// nothing else could equal it is not verified and stays alone.
bool slot_verified(const slot &x, int64_t size) { return !x.failed && x.cls >= 0 && x.seen >= size; }

// Unites every verified slot with the first verified slot of its label.
void unite_batch(const run_ctx &rc, const slot *sl, int32_t cnt) {
    int32_t first[PASS_FILES];
    for (int32_t a = 0; a < cnt; a++) first[a] = -1;
    for (int32_t a = 0; a < cnt; a++) {
        if (!slot_verified(sl[a], rc.size)) continue;
        int32_t &f = first[sl[a].cls];
        if (f < 0)
            f = a;
        else
            unite(rc.parent, sl[f].member, sl[a].member);
    }
}

// Tiers 3 and 4 reading for one partial run: every member once, a batch at
// a time, taking its full fingerprint (before the test seam) and its class
// among the members of its batch. *batches counts the batches. Returns 0,
// 1 (cancel) or -1 (memory).
int hash_and_classify(const dup_scan_t *scan, pass_ctx &px, const run_ctx &rc, int32_t *batches) {
    if (!px.ready()) return -1;
    slot sl[PASS_FILES];
    int32_t next = 0;
    *batches = 0;
    while (next < rc.n) {
        int32_t cnt = 0;
        while (next < rc.n && cnt < PASS_FILES) {
            if (dup_cancel_requested(scan)) {  // before every full fingerprint
                for (int32_t a = 0; a < cnt; a++) dup_content_close(sl[a].h);
                return 1;
            }
            const int32_t k = next;
            const int32_t hashing = !rc.whole[k];
            const intptr_t h = dup_content_open(rc.rec[k].path, hashing, rc.rec[k].dev, rc.rec[k].ino);
            if (h == -2 && cnt > 0) break;  // out of handles: in the next batch
            next++;
            if (h < 0) {
                rc.rec[k].full_ok = 0;
                rc.invalid[k] = 1;
                continue;
            }
            sl[cnt] = new_slot(h, k, hashing);
            if (hashing) XXH64_reset(&px.st[cnt], 0);
            cnt++;
        }
        const bool whole_run = *batches == 0 && next == rc.n;
        (*batches)++;
        const int r = run_batch(scan, px, rc, sl, cnt, whole_run);
        for (int32_t a = 0; a < cnt; a++) dup_content_close(sl[a].h);
        if (r != 0) return r;
        for (int32_t a = 0; a < cnt; a++) {
            const slot &x = sl[a];
            dup_file_t &f = rc.rec[x.member];
            // A one-block file whose block cannot be read again has no full
            // fingerprint either.
            if (x.failed || x.cut || (!x.hashing && x.cls < 0)) {
                f.full_ok = 0;
            } else {
                if (x.hashing) f.full_hash = XXH64_digest(&px.st[a]);
                f.full_ok = 1;
            }
            if (x.failed || x.cut || x.cls < 0) rc.invalid[x.member] = 1;
        }
        unite_batch(rc, sl, cnt);
    }
    return 0;
}

// Compares member `head` with each of others[0..cnt) over `size` bytes,
// reading the head once per batch, and unites the members found equal (to
// the head or to each other). Returns 0, 1 (cancel) or -1 (memory).
int compare_with_head(dup_scan_t *scan, pass_ctx &px, const run_ctx &rc, int32_t head, const int32_t *others,
                      int32_t cnt) {
    if (!px.ready()) return -1;
    slot sl[PASS_FILES];
    int32_t next = 0;
    while (next < cnt) {
        const dup_file_t &hf = rc.rec[head];
        const intptr_t hh = dup_content_open(hf.path, 1, hf.dev, hf.ino);
        if (hh < 0) return 0;  // the head equals nothing
        sl[0] = new_slot(hh, head, 0);
        int32_t n = 1;
        while (next < cnt && n < PASS_FILES) {
            const dup_file_t &of = rc.rec[others[next]];
            const intptr_t h = dup_content_open(of.path, 1, of.dev, of.ino);
            if (h == -2 && n > 1) break;
            next++;
            if (h < 0) continue;
            sl[n++] = new_slot(h, others[next - 1], 0);
        }
        const int r = run_batch(scan, px, rc, sl, n, false);
        for (int32_t a = 0; a < n; a++) dup_content_close(sl[a].h);
        if (r != 0) return r;
        unite_batch(rc, sl, n);
    }
    return 0;
}

// Joins classes found in different batches. Only members with one full
// fingerprint can meet in a full run, so only the classes inside one
// fingerprint are compared: the first with all the others, then the first
// of those still apart with the rest, and so on. When all are equal (the
// usual case) that is one read of each class and one of the first per batch.
int merge_batches(dup_scan_t *scan, pass_ctx &px, const run_ctx &rc, int32_t *tmp, int32_t *roots,
                  unsigned char *mark) {
    int32_t m = 0;
    for (int32_t k = 0; k < rc.n; k++)
        if (rc.rec[k].full_ok && !rc.invalid[k]) tmp[m++] = k;
    std::sort(tmp, tmp + m, [&](int32_t a, int32_t b) {
        const uint64_t ha = rc.rec[a].full_hash, hb = rc.rec[b].full_hash;
        return ha != hb ? ha < hb : a < b;
    });
    for (int32_t s = 0; s < m;) {
        int32_t t = s + 1;
        while (t < m && rc.rec[tmp[t]].full_hash == rc.rec[tmp[s]].full_hash) t++;
        int32_t nr = 0;
        for (int32_t k = s; k < t; k++) {
            const int32_t x = find_root(rc.parent, tmp[k]);
            if (!mark[x]) {
                mark[x] = 1;
                roots[nr++] = x;
            }
        }
        for (int32_t q = 0; q < nr; q++) mark[roots[q]] = 0;
        while (nr >= 2) {
            const int r = compare_with_head(scan, px, rc, roots[0], roots + 1, nr - 1);
            if (r != 0) return r;
            const int32_t hr = find_root(rc.parent, roots[0]);
            int32_t w = 0;
            for (int32_t q = 1; q < nr; q++) {
                const int32_t x = find_root(rc.parent, roots[q]);
                if (x != hr && !mark[x]) {
                    mark[x] = 1;
                    roots[w++] = x;
                }
            }
            for (int32_t q = 0; q < w; q++) mark[roots[q]] = 0;
            nr = w;
        }
        s = t;
    }
    return 0;
}

// ---- partial fingerprints, taken ahead by a pool ---------------------------------

// Opening and reading the first block of every file that shares its size is
// most of a scan's cost, and it is latency (system calls, or the disk when
// the cache is cold) more than computation. So before the size runs are
// walked, a few threads take those fingerprints at once, in the order of the
// files' identities (near the order on disk), and store them in the
// records; the runs then use the stored values in their usual order. Each
// thread stops at a cancel before its next fingerprint. The test seam is
// applied later, on the worker, so a hook never runs on a pool thread.
struct partial_pool {
    const dup_scan_t *scan;
    dup_file_t *f;
    const int32_t *todo;   // positions to fingerprint
    int32_t n_todo;
    unsigned char *whole;  // by position: the first block was the whole file
    std::atomic<int32_t> next{0};
};

void take_partials(partial_pool *pp) {
    for (;;) {
        const int32_t t = pp->next.fetch_add(1, std::memory_order_relaxed);
        if (t >= pp->n_todo || dup_cancel_requested(pp->scan)) return;
        dup_file_t &r = pp->f[pp->todo[t]];
        uint64_t h = 0;
        int whole = 0;
        if (dup_hash_partial_ex(r.path, r.size, r.dev, r.ino, &h, &whole) == 0) {
            r.partial_hash = h;
            r.partial_ok = 1;
            pp->whole[pp->todo[t]] = static_cast<unsigned char>(whole);
        }
    }
}

void *partial_thread(void *arg) {
    take_partials(static_cast<partial_pool *>(arg));
    return nullptr;
}

// Fingerprints every file of the size-sorted array that shares its size
// with another. Returns 0, or -1 when memory ran out (nothing taken then).
int take_partials_ahead(dup_scan_t *scan, unsigned char *whole) {
    const dup_file_t *f = scan->files;
    const int32_t n = scan->n_files;
    tmp_array<int32_t> todo;
    if (!todo.alloc(static_cast<size_t>(n))) return -1;
    int32_t m = 0;
    for (int32_t k = 0; k < n; k++)
        if ((k > 0 && f[k - 1].size == f[k].size) || (k + 1 < n && f[k + 1].size == f[k].size)) todo[m++] = k;
    std::sort(todo.p, todo.p + m, [&](int32_t a, int32_t b) {
        if (f[a].dev != f[b].dev) return f[a].dev < f[b].dev;
        return f[a].ino != f[b].ino ? f[a].ino < f[b].ino : a < b;
    });

    partial_pool pp;
    pp.scan = scan;
    pp.f = scan->files;
    pp.todo = todo.p;
    pp.n_todo = m;
    pp.whole = whole;
    constexpr int32_t MAX_THREADS = 16;
    int32_t want = dup_reader_threads < 1 ? 1 : std::min(dup_reader_threads, MAX_THREADS);
    want = std::min(want, std::max(m / 16, 1));  // a handful of files is not worth a thread
    pthread_t th[MAX_THREADS];
    int32_t started = 0;
    // A thread that cannot be created leaves its share to the others; the
    // worker itself always takes part.
    for (int32_t t = 1; t < want; t++)
        if (pthread_create(&th[started], nullptr, partial_thread, &pp) == 0) started++;
    take_partials(&pp);
    for (int32_t t = 0; t < started; t++) pthread_join(th[t], nullptr);
    return 0;
}

// ---- groups ------------------------------------------------------------------------

// Appends a group of the paths list[0..cnt), headed by h. Returns 0, or -1
// when memory ran out: then nothing of the group is left behind.
int append_group(dup_scan_t *scan, const dup_file_t &h, char *const *list, int32_t cnt) {
    if (scan->n_groups == scan->cap_groups) {
        const int32_t old = scan->cap_groups;
        const int32_t cap = old == 0 ? DUP_GROUPS_FIRST_CAP : old * 2;
        void *p = realloc(scan->groups, sizeof(dup_group_t) * static_cast<size_t>(cap));
        if (!p) return -1;
        scan->groups = static_cast<dup_group_t *>(p);
        memset(static_cast<void *>(scan->groups + old), 0, sizeof(dup_group_t) * static_cast<size_t>(cap - old));
        scan->cap_groups = cap;
    }
    char **files = static_cast<char **>(calloc(static_cast<size_t>(cnt), sizeof(char *)));
    if (!files) return -1;
    for (int32_t t = 0; t < cnt; t++) {
        files[t] = dup_strdup(list[t]);
        if (!files[t]) {
            for (int32_t u = 0; u < t; u++) free(files[u]);
            free(files);
            return -1;
        }
    }
    dup_group_t &g = scan->groups[scan->n_groups];
    g.hash = h.full_hash;
    g.size = h.size;
    g.files = files;
    g.n_files = g.cap_files = cnt;
    scan->n_groups++;
    scan->wasted_bytes += h.size * static_cast<int64_t>(cnt - 1);
    return 0;
}

// Scratch of one size run, sized once for the largest run of the scan.
struct run_scratch {
    tmp_array<int32_t> order;        // tier-2 order: size-run position -> original
    tmp_array<uint64_t> raw;         // by original size-run position
    tmp_array<unsigned char> whole;  // by original size-run position
    tmp_array<int32_t> perm, tmp, roots, nxt, last;
    tmp_array<unsigned char> mark, visited;
    tmp_array<uint64_t> keys;
    tmp_array<char *> list;
    bool alloc(size_t m) {
        if (!(order.alloc(m) && raw.alloc(m) && whole.alloc(m) && perm.alloc(m) && tmp.alloc(m) &&
              roots.alloc(m) && nxt.alloc(m) && last.alloc(m) && mark.alloc(m) && visited.alloc(m) &&
              keys.alloc(m) && list.alloc(m)))
            return false;
        for (size_t k = 0; k < m; k++) last[k] = -1;
        return true;
    }
};

// Tier 4 for the full run at positions [c, d) of the reordered partial run:
// one group per class of two or more, headed by its first member, the
// others in run order; groups in the order of their heads.
int group_full_run(dup_scan_t *scan, const run_ctx &rc, run_scratch &w, int32_t c, int32_t d) {
    auto cls = [&](int32_t u) {
        const int32_t k = w.perm[u];
        return rc.invalid[k] ? -1 : find_root(rc.parent, k);
    };
    for (int32_t u = d - 1; u >= c; u--) {
        const int32_t x = cls(u);
        w.visited[u] = 0;
        if (x < 0) continue;
        w.nxt[u] = w.last[x];
        w.last[x] = u;
    }
    int rc_out = 0;
    for (int32_t u = c; u < d && rc_out == 0; u++) {
        if (w.visited[u] || cls(u) < 0) continue;
        int32_t cnt = 0;
        for (int32_t v = u; v >= 0; v = w.nxt[v]) {
            w.visited[v] = 1;
            w.list[cnt++] = rc.rec[v].path;
        }
        if (cnt >= 2) rc_out = append_group(scan, rc.rec[u], w.list.p, cnt);
    }
    for (int32_t u = c; u < d; u++) {
        const int32_t x = cls(u);
        if (x >= 0) w.last[x] = -1;
    }
    return rc_out;
}

// Tier 2 for the size run files[i, j): applies the test seam to the partial
// fingerprints taken ahead, sorts the run by (fingerprint, path) and
// appends its partial runs of two or more to the task list. whole[i, j)
// comes in by position before the sort and leaves by position after it.
int order_size_run(dup_scan_t *scan, run_scratch &w, unsigned char *whole, int32_t i, int32_t j,
                   int32_t *task_b, int32_t *task_e, int32_t *n_tasks) {
    dup_file_t *run = scan->files + i;
    const int32_t m = j - i;
    for (int32_t k = 0; k < m; k++) {
        if (dup_cancel_requested(scan)) return 1;  // before every partial fingerprint is used
        const uint64_t h = run[k].partial_hash;    // 0 when it failed
        if (run[k].partial_ok) run[k].partial_hash = seam(run[k].path, 0, h);
        w.raw[k] = h;
        w.whole[k] = run[k].partial_ok ? whole[i + k] : 0;
        w.order[k] = k;
    }
    // Paths are unique here, so (fingerprint, path) is a total order and
    // any sort gives the one result.
    std::sort(w.order.p, w.order.p + m, [&](int32_t a, int32_t b) {
        if (run[a].partial_hash != run[b].partial_hash) return run[a].partial_hash < run[b].partial_hash;
        return strcmp(run[a].path, run[b].path) < 0;
    });
    apply_order(run, w.order.p, m);
    for (int32_t t = 0; t < m; t++) whole[i + t] = w.whole[w.order[t]];

    for (int32_t b = 0; b < m;) {
        int32_t e = b + 1;
        if (run[b].partial_ok)
            while (e < m && run[e].partial_ok && run[e].partial_hash == run[b].partial_hash) e++;
        if (e - b >= 2) {
            for (int32_t t = b; t < e; t++) run[t].full_hash = w.raw[w.order[t]];
            task_b[*n_tasks] = i + b;
            task_e[*n_tasks] = i + e;
            (*n_tasks)++;
        }
        b = e;
    }
    return 0;
}

// ---- the full-content pass, shared by a pool -------------------------------------

// Reading every member of a partial run to its end is most of a scan's cost
// when files are large, and it is CPU work (copying out of the cache,
// hashing) as much as waiting for the disk. Partial runs do not depend on
// each other, so a few threads read them while the worker does: the worker
// claims runs from the front, in the order it needs them, and the pool from
// the back, the largest first, so that no thread is left with a large run
// after the others are done. The worker takes each run's outcome in order
// and makes its groups itself, so the groups, their order and the progress
// steps are those of the worker alone. A pool thread only reads its run's
// files and writes its run's records: the test seam runs on the worker.
struct full_pool {
    dup_scan_t *scan = nullptr;
    dup_file_t *f = nullptr;
    int32_t *parent = nullptr;          // by file position; a union-find per run
    unsigned char *invalid = nullptr;   // by file position
    const unsigned char *whole = nullptr;
    const int32_t *task_b = nullptr;    // partial runs [task_b, task_e)
    const int32_t *task_e = nullptr;
    int32_t n_tasks = 0;
    unsigned char *done = nullptr;      // by task; published with release
    signed char *result = nullptr;      // by task: 0, 1 (cancel) or -1 (memory)
    unsigned char *merge = nullptr;     // by task: read in more than one batch
    std::atomic<int32_t> stop{0};
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    int32_t front = 0, back = 0;        // under mu: tasks [front, back) are not claimed
    int32_t waiting = 0;                // under mu
};

run_ctx task_ctx(const full_pool &fp, int32_t t) {
    const int32_t b = fp.task_b[t];
    return run_ctx{fp.f + b, fp.task_e[t] - b, fp.f[b].size, fp.parent + b, fp.invalid + b, fp.whole + b};
}

void run_task(full_pool *fp, pass_ctx &px, int32_t t) {
    const run_ctx rc = task_ctx(*fp, t);
    for (int32_t k = 0; k < rc.n; k++) {
        rc.parent[k] = k;
        rc.invalid[k] = 0;
    }
    int32_t batches = 0;
    const int r = hash_and_classify(fp->scan, px, rc, &batches);
    fp->result[t] = static_cast<signed char>(r);
    fp->merge[t] = batches > 1;
    std::atomic_ref<unsigned char>(fp->done[t]).store(1, std::memory_order_release);
    pthread_mutex_lock(&fp->mu);
    if (fp->waiting) pthread_cond_broadcast(&fp->cv);
    pthread_mutex_unlock(&fp->mu);
}

void *full_thread(void *arg) {
    auto *fp = static_cast<full_pool *>(arg);
    pass_ctx px;
    while (!fp->stop.load(std::memory_order_relaxed)) {
        pthread_mutex_lock(&fp->mu);
        const int32_t t = fp->front < fp->back ? --fp->back : -1;
        pthread_mutex_unlock(&fp->mu);
        if (t < 0) break;
        run_task(fp, px, t);
    }
    return nullptr;
}

// The outcome of task t, every task before it being done. The worker reads
// t itself unless the pool took it; then it waits for it.
int await_task(full_pool *fp, pass_ctx &px, int32_t t) {
    std::atomic_ref<unsigned char> done(fp->done[t]);
    pthread_mutex_lock(&fp->mu);
    const bool mine = fp->front == t && t < fp->back;
    if (mine) fp->front++;
    pthread_mutex_unlock(&fp->mu);
    if (mine) {
        run_task(fp, px, t);
        return fp->result[t];
    }
    pthread_mutex_lock(&fp->mu);
    fp->waiting = 1;
    while (!done.load(std::memory_order_acquire)) pthread_cond_wait(&fp->cv, &fp->mu);
    fp->waiting = 0;
    pthread_mutex_unlock(&fp->mu);
    return fp->result[t];
}

// The pool's threads, stopped and joined on every way out.
struct pool_threads {
    static constexpr int32_t MAX = 16;
    full_pool *fp;
    pthread_t th[MAX];
    int32_t n = 0;
    explicit pool_threads(full_pool *p) : fp(p) {}
    pool_threads(const pool_threads &) = delete;
    pool_threads &operator=(const pool_threads &) = delete;
    // A thread that cannot be created leaves its share to the others; the
    // worker itself always takes part.
    void start(int32_t want) {
        for (int32_t k = 1; k < want && n < MAX; k++)
            if (pthread_create(&th[n], nullptr, full_thread, fp) == 0) n++;
    }
    ~pool_threads() {
        fp->stop.store(1, std::memory_order_relaxed);
        for (int32_t k = 0; k < n; k++) pthread_join(th[k], nullptr);
    }
};

// Tiers 3 and 4 for task t, once its reading is done: the test seam, the
// joining of classes met in different batches, the exchange-sort order
// and the groups.
int finish_partial_run(dup_scan_t *scan, full_pool &fp, pass_ctx &px, run_scratch &w, int32_t t) {
    int r = await_task(&fp, px, t);
    if (r != 0) return r;
    const run_ctx rc = task_ctx(fp, t);
    const int32_t n = rc.n;
    for (int32_t k = 0; k < n; k++) {
        dup_file_t &x = rc.rec[k];
        x.full_hash = x.full_ok ? seam(x.path, 1, x.full_hash) : 0;
    }
    if (fp.merge[t]) {
        r = merge_batches(scan, px, rc, w.tmp.p, w.roots.p, w.mark.p);
        if (r != 0) return r;
    }

    for (int32_t k = 0; k < n; k++) w.keys[k] = rc.rec[k].full_hash;
    if (exchange_order(w.keys.p, n, w.perm.p) != 0) return -1;
    apply_order(rc.rec, w.perm.p, n);

    for (int32_t c = 0; c < n;) {
        if (!rc.rec[c].full_ok) {
            c++;
            continue;
        }
        int32_t d = c + 1;
        while (d < n && rc.rec[d].full_ok && rc.rec[d].full_hash == rc.rec[c].full_hash) d++;
        if (d - c >= 2 && group_full_run(scan, rc, w, c, d) != 0) return -1;
        c = d;
    }
    return 0;
}

}  // namespace

int dup_group_files(dup_scan_t *scan) {
    if (!scan || scan->n_files <= 0) return 0;
    dup_file_t *f = scan->files;
    const int32_t n = scan->n_files;
    std::sort(f, f + n, [](const dup_file_t &a, const dup_file_t &b) { return a.size < b.size; });

    int32_t max_run = 0;
    for (int32_t i = 0, j = 1; j <= n; j++) {
        if (j < n && f[j].size == f[i].size) continue;
        if (j - i > max_run) max_run = j - i;
        i = j;
    }
    run_scratch w;
    tmp_array<unsigned char> whole, invalid, done, merge;
    tmp_array<int32_t> parent, task_b, task_e;
    tmp_array<signed char> result;
    int32_t n_tasks = 0;
    if (max_run >= 2) {  // else no file shares its size and none is opened
        const size_t max_tasks = static_cast<size_t>(n) / 2;  // a partial run has two members or more
        if (!w.alloc(static_cast<size_t>(max_run)) || !whole.alloc(static_cast<size_t>(n)) ||
            !invalid.alloc(static_cast<size_t>(n)) || !parent.alloc(static_cast<size_t>(n)) ||
            !task_b.alloc(max_tasks) || !task_e.alloc(max_tasks) || !done.alloc(max_tasks) ||
            !merge.alloc(max_tasks) || !result.alloc(max_tasks))
            return -1;
        if (take_partials_ahead(scan, whole.p) != 0) return -1;
        if (dup_cancel_requested(scan)) return 1;
        for (int32_t i = 0, j = 1; j <= n; j++) {
            if (j < n && f[j].size == f[i].size) continue;
            if (j - i >= 2) {
                const int r = order_size_run(scan, w, whole.p, i, j, task_b.p, task_e.p, &n_tasks);
                if (r != 0) return r;
            }
            i = j;
        }
    }

    full_pool fp;
    fp.scan = scan;
    fp.f = f;
    fp.parent = parent.p;
    fp.invalid = invalid.p;
    fp.whole = whole.p;
    fp.task_b = task_b.p;
    fp.task_e = task_e.p;
    fp.n_tasks = n_tasks;
    fp.done = done.p;
    fp.result = result.p;
    fp.merge = merge.p;
    fp.back = n_tasks;
    pass_ctx px;  // the worker's: it reads runs too, and joins classes of batches
    if (n_tasks > 0 && !px.ready()) return -1;
    pool_threads threads(&fp);
    // Reading whole runs out of the cache is CPU work, so more threads than
    // processors only add buffers; two still overlap one run's waiting for
    // the disk with another's hashing.
    const int32_t cpus = static_cast<int32_t>(std::thread::hardware_concurrency());
    threads.start(std::min({dup_reader_threads, std::max(cpus, 2), n_tasks}));

    int32_t t = 0;
    for (int32_t i = 0, j = 1; j <= n; j++) {
        if (j < n && f[j].size == f[i].size) continue;
        const double p = 40.0 + static_cast<double>(static_cast<int64_t>(j * 55.0 / n));
        dup_store_progress(scan, p > 95.0 ? 95 : static_cast<int32_t>(p));
        for (; t < n_tasks && task_b[t] < j; t++) {
            const int r = finish_partial_run(scan, fp, px, w, t);
            if (r != 0) return r;
        }
        i = j;
    }
    return 0;
}

// ---- results text ----------------------------------------------------------------

namespace {

bool write_string(dup_json_writer &w, const char *s) {
    if (!s) s = "";
    size_t n = strlen(s);
    // The writer validates too, but reads past the end of a string that
    // stops inside a multi-byte sequence; it only ever sees checked text.
    if (!dup_utf8_valid(s, n)) return false;
    return w.String(s, static_cast<rapidjson::SizeType>(n));
}

// Streams the whole document into w. False when a string is not valid UTF-8.
// An allocation failure throws std::bad_alloc out of the writer.
bool write_results(dup_json_writer &w, const dup_scan_t *scan) {
    bool ok = w.StartObject();
    ok = ok && w.Key("groups") && w.StartArray();
    for (int32_t i = 0; ok && i < scan->n_groups; i++) {
        const dup_group_t &g = scan->groups[i];
        char hex[17];
        snprintf(hex, sizeof hex, "%016" PRIx64, g.hash);
        ok = w.StartObject() && w.Key("hash") && w.String(hex, 16) && w.Key("size") &&
             w.Int64(g.size) && w.Key("files") && w.StartArray();
        for (int32_t k = 0; ok && k < g.n_files; k++)
            if (g.files[k]) ok = write_string(w, g.files[k]);
        ok = ok && w.EndArray() && w.EndObject();
    }
    ok = ok && w.EndArray();
    ok = ok && w.Key("wasted_bytes") && w.Int64(scan->wasted_bytes);
    ok = ok && w.Key("scanned_files") && w.Int64(scan->scanned_files);
    ok = ok && w.Key("skipped") && w.StartArray();
    for (int32_t i = 0; ok && i < scan->n_skipped; i++) {
        const dup_skip_t &s = scan->skipped[i];
        ok = w.StartObject() && w.Key("path") && write_string(w, s.path) && w.Key("reason") &&
             write_string(w, s.reason) && w.EndObject();
    }
    ok = ok && w.EndArray() && w.EndObject();
    return ok;
}

}  // namespace

int dup_build_results_json(dup_scan_t *scan) {
    // The text is written whole or not at all: a results text that silently
    // lacks a group or a path because memory ran out would be a wrong answer
    // reported as success.
    char *text = nullptr;
    try {
        dup_json_buffer buf;
        dup_json_writer w(buf);
        if (!write_results(w, scan) || !w.IsComplete()) return -1;
        size_t n = buf.GetSize();
        text = static_cast<char *>(malloc(n + 1));
        if (!text) return -1;
        memcpy(text, buf.GetString(), n);
        text[n] = '\0';
    } catch (const std::bad_alloc &) {
        free(text);
        return -1;
    }
    free(scan->results_json);
    scan->results_json = text;
    return 0;
}
