// SPDX-License-Identifier: MIT
// Grouping by whole content and bytes: the lockstep read.
//
// The whole content and the bytes share one read of the partial run: each
// member is read once, hashed to its end and compared block by block with
// the others of its batch, which partitions the run into classes of equal
// leading `size` bytes. Byte equality over a fixed length is an
// equivalence, so the groups that comparing each member with a head would
// find in a full run are those classes restricted to the run, each headed
// by its first member.
#include "content.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#define XXH_STATIC_LINKING_ONLY  // XXH64_state_t by value
#include <xxhash.h>

#include "first_block.h"
#include "handles.h"
#include "order.h"
#include "platform/platform.h"

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

}  // namespace

dup_read_scratch::~dup_read_scratch() {
    free(buf);
    free(st);
}

bool dup_read_scratch::ready() {
    if (!buf) buf = static_cast<unsigned char *>(dup_malloc(static_cast<size_t>(PASS_FILES * PASS_BLOCK)));
    if (!st) st = static_cast<XXH64_state_t *>(dup_malloc(sizeof(XXH64_state_t) * PASS_FILES));
    return buf && st;
}

bool dup_group_scratch::alloc(size_t m) {
    if (!(perm.alloc(m) && tmp.alloc(m) && roots.alloc(m) && nxt.alloc(m) && last.alloc(m) && ids.alloc(m) &&
          mark.alloc(m) && visited.alloc(m) && keys.alloc(m) && list.alloc(m)))
        return false;
    for (size_t k = 0; k < m; k++) last[k] = -1;
    return true;
}

namespace {

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
    if (a < b) parent[b] = a;
    else if (b < a) parent[a] = b;
}

struct slot {
    dup_content_t h;
    int32_t member;   // index into the run
    int32_t hashing;  // read to the end for the full fingerprint
    int32_t cls;      // class label (the slot that founded it); -1: equals nothing
    int32_t done;
    int32_t failed;      // a read error
    int64_t seen;        // bytes read so far
    int32_t eq;          // slots with equal eq have equal hashing states
    int32_t cut;         // stopped before its end: no fingerprint
    int32_t wrong_size;  // ended before `size`, or went on past it
};

slot new_slot(dup_content_t h, int32_t member, int32_t hashing) {
    slot s{};
    s.h = h;
    s.member = member;
    s.hashing = hashing;
    s.cls = 0;
    s.eq = -1;
    return s;
}

dup_result open_waiting(const dup_scan_t *scan, const dup_file_t &f, int sequential, dup_content_t *h) {
    return dup_retry_for_handle(scan,
                                [&] { return dup_open_counted(f.path, sequential, scan->devs[f.dev], f.ino, h); });
}

bool any_shared_class(const slot *sl, int32_t cnt) {
    int32_t count[PASS_FILES] = {};
    for (int32_t a = 0; a < cnt; a++)
        if (sl[a].cls >= 0 && ++count[sl[a].cls] >= 2) return true;
    return false;
}

// Reads the slots of one batch together, round by round, until all are done.
// Hashing slots are read to their end and fingerprinted; the others stop
// after `size` bytes, or as soon as no other slot can still equal them.
// Either way a slot whose file does not end at `size` equals nothing
// (wrong_size): the others confirm the end in their last read, by asking
// for one byte more, so a file that grew after its first block was read
// cannot pass for a copy of its old content.
// Slots start in one class, which every round splits by that round's bytes
// below `size`. Afterwards two verified slots (see slot_verified) have
// equal leading `size` bytes exactly when their labels are equal.
// When the batch holds every member of its run that could be opened
// (whole_run), the run has no group once no two slots share a class, and
// then, without a cache, no fingerprint matters either: every slot stops
// there, and the hashing ones are cut (they have no fingerprint).
// DUP_OK, or DUP_STOPPED when a cancel was seen between two rounds.
dup_result run_batch(const dup_scan_t *scan, dup_read_scratch &px, const dup_partial_run &rc, slot *sl, int32_t cnt,
                     bool whole_run) {
    const int64_t S = rc.size;
    int32_t count[PASS_FILES], newc[PASS_FILES], reps[PASS_FILES], same[PASS_FILES], eq0[PASS_FILES];
    int64_t got[PASS_FILES];
    const int64_t blk = batch_block(cnt);
    for (int64_t off = 0;; off += blk) {
        bool any = false;
        for (int32_t a = 0; a < cnt; a++) any = any || !sl[a].done;
        if (!any) return DUP_OK;
        if (off > 0 && dup_cancel_requested(scan)) return DUP_STOPPED;

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
            if (!x.hashing && (x.cls < 0 || count[x.cls] < 2)) {
                x.done = 1;
                continue;
            }
            const int64_t want = x.hashing ? blk : L;
            const bool last = !x.hashing && off + L >= S;
            // The byte past `size` fits the slot's block unless `size` fills it.
            int64_t r = 0;
            const dup_result read = last ? dup_content_read_end(x.h, px.buf + a * blk, want, want < blk, &r)
                                         : dup_content_read(x.h, px.buf + a * blk, want, &r);
            if (read != DUP_OK) {
                x.failed = x.done = 1;
                x.cls = -1;
                continue;
            }
            if (r > want) {  // goes on past `size`
                x.wrong_size = x.done = 1;
                x.cls = -1;
                continue;
            }
            got[a] = r;
            x.seen += r;
            if (r < want || last) x.done = 1;
            if (r < L || (x.done && x.seen > S)) {  // shorter than `size`, or read to an end past it
                x.wrong_size = 1;
                x.cls = -1;
            }
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
                    if (sl[y].cls == sl[a].cls && memcmp(px.buf + y * blk, b, static_cast<size_t>(L)) == 0) to = y;
                }
                if (to < 0) to = reps[n_reps++] = a;  // founds a class of its own
                else same[a] = to;
                newc[a] = to;
            }
            for (int32_t a = 0; a < cnt; a++) sl[a].cls = newc[a];
            // A scan that keeps a cache reads on: the whole fingerprints it
            // stores let later scans settle the run without reading it,
            // where a run cut here would be read again by every one.
            if (whole_run && !scan->cache_path && !any_shared_class(sl, cnt)) {
                for (int32_t a = 0; a < cnt; a++) {
                    sl[a].cut = sl[a].hashing;  // this round is not hashed
                    sl[a].done = 1;
                }
                return DUP_OK;
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
void unite_batch(const dup_partial_run &rc, const slot *sl, int32_t cnt) {
    int32_t first[PASS_FILES];
    for (int32_t a = 0; a < cnt; a++) first[a] = -1;
    for (int32_t a = 0; a < cnt; a++) {
        if (!slot_verified(sl[a], rc.size)) continue;
        int32_t &f = first[sl[a].cls];
        if (f < 0) f = a;
        else unite(rc.parent, sl[f].member, sl[a].member);
    }
}

}  // namespace

// The whole-content read of one partial run: every member once, a batch at
// a time, taking its full fingerprint (before the test seam) and its class
// among the members of its batch. A member that cannot be opened or read as
// recorded is marked read_failed and equals nothing. *batches counts the
// batches. DUP_OK, DUP_STOPPED or DUP_NOMEM.
dup_result dup_read_run(const dup_scan_t *scan, dup_read_scratch &scratch, const dup_partial_run &run,
                        int32_t *batches) {
    if (!scratch.ready()) return DUP_NOMEM;
    slot sl[PASS_FILES];
    int32_t next = 0;
    *batches = 0;
    while (next < run.n) {
        int32_t cnt = 0;
        while (next < run.n && cnt < PASS_FILES) {
            if (dup_cancel_requested(scan)) {  // before every full fingerprint
                for (int32_t a = 0; a < cnt; a++) dup_close_counted(sl[a].h);
                return DUP_STOPPED;
            }
            if (cnt >= 2 && dup_handle_waiters() > 0) break;
            const int32_t k = next;
            const int32_t hashing = !run.whole[k];
            // Only the first of a batch waits for a handle: the others are
            // read in the next batch, once this one's are closed.
            dup_content_t h = DUP_CONTENT_NONE;
            const dup_result opened = cnt == 0 ? open_waiting(scan, run.rec[k], hashing, &h)
                                               : dup_open_counted(run.rec[k].path, hashing, scan->devs[run.rec[k].dev],
                                                                  run.rec[k].ino, &h);
            if (opened == DUP_NO_HANDLE) break;
            if (opened == DUP_CANCELLED) return DUP_STOPPED;  // none open
            next++;
            if (opened != DUP_OK) {
                run.rec[k].full_ok = 0;
                run.rec[k].read_failed = 1;
                run.invalid[k] = 1;
                continue;
            }
            sl[cnt] = new_slot(h, k, hashing);
            if (hashing) XXH64_reset(&scratch.st[cnt], 0);
            cnt++;
        }
        const bool whole_run = *batches == 0 && next == run.n;
        (*batches)++;
        const dup_result r = run_batch(scan, scratch, run, sl, cnt, whole_run);
        for (int32_t a = 0; a < cnt; a++) dup_close_counted(sl[a].h);
        if (r != DUP_OK) return r;
        for (int32_t a = 0; a < cnt; a++) {
            const slot &x = sl[a];
            dup_file_t &f = run.rec[x.member];
            // A one-block file whose block cannot be read again has no full
            // fingerprint either. A file read to an end other than `size`
            // keeps the fingerprint of what was read, which places it in the
            // run's order, but equals nothing.
            if (x.failed || x.cut || (!x.hashing && x.cls < 0)) {
                f.full_ok = 0;
            } else {
                if (x.hashing) f.full_hash = XXH64_digest(&scratch.st[a]);
                f.full_ok = 1;
            }
            if (x.failed || x.cut || x.cls < 0) run.invalid[x.member] = 1;
            if (x.failed || x.wrong_size) f.read_failed = 1;
        }
        unite_batch(run, sl, cnt);
    }
    return DUP_OK;
}

namespace {

// Compares member `head` with each of others[0..cnt) over `size` bytes,
// reading the head once per batch, and unites the members found equal (to
// the head or to each other). A member that cannot be opened or read as
// recorded is lost: marked read_failed, it equals nothing; *lost counts
// them, and a lost head ends the comparison. DUP_OK, DUP_STOPPED (cancel)
// or DUP_NOMEM.
dup_result compare_with_head(dup_scan_t *scan, dup_read_scratch &px, const dup_partial_run &rc, int32_t head,
                             const int32_t *others, int32_t cnt, int32_t *lost) {
    if (!px.ready()) return DUP_NOMEM;
    auto lose = [&](int32_t k) {
        rc.invalid[k] = 1;
        rc.rec[k].read_failed = 1;
        (*lost)++;
    };
    auto open_member = [&](int32_t k, dup_content_t *h) {
        const dup_file_t &f = rc.rec[k];
        return dup_open_counted(f.path, 1, scan->devs[f.dev], f.ino, h);
    };
    slot sl[PASS_FILES];
    int32_t next = 0;
    while (next < cnt) {
        // The head and the first other are opened together or not at all: a
        // reader that held one handle while it waited for a second could
        // keep another reader doing the same waiting for ever.
        dup_content_t hh = DUP_CONTENT_NONE, h1 = DUP_CONTENT_NONE;
        int32_t blame = head;  // whose open failed last
        const dup_result r = dup_retry_for_handle(scan, [&] {
            blame = head;
            const dup_result rh = open_member(head, &hh);
            if (rh != DUP_OK) return rh;
            blame = others[next];
            if (open_member(others[next], &h1) != DUP_NO_HANDLE) return DUP_OK;
            dup_close_counted(hh);
            hh = DUP_CONTENT_NONE;
            return DUP_NO_HANDLE;
        });
        if (r == DUP_CANCELLED) return DUP_STOPPED;
        if (r != DUP_OK) {
            lose(blame);
            if (blame == head) return DUP_OK;
            next++;
            continue;
        }
        sl[0] = new_slot(hh, head, 0);
        int32_t n = 1;
        if (h1 == DUP_CONTENT_NONE) lose(others[next]);
        else sl[n++] = new_slot(h1, others[next], 0);
        next++;
        while (next < cnt && n < PASS_FILES) {
            if (n >= 2 && dup_handle_waiters() > 0) break;
            dup_content_t h = DUP_CONTENT_NONE;
            const dup_result opened = open_member(others[next], &h);
            if (opened == DUP_NO_HANDLE) break;  // out of handles: in the next batch
            next++;
            if (opened != DUP_OK) {
                lose(others[next - 1]);
                continue;
            }
            sl[n++] = new_slot(h, others[next - 1], 0);
        }
        const dup_result rb = run_batch(scan, px, rc, sl, n, false);
        for (int32_t a = 0; a < n; a++) dup_close_counted(sl[a].h);
        if (rb != DUP_OK) return rb;
        unite_batch(rc, sl, n);
        for (int32_t a = 0; a < n; a++)
            if (sl[a].failed || sl[a].wrong_size) lose(sl[a].member);
        if (rc.invalid[head]) return DUP_OK;
    }
    return DUP_OK;
}

// Joins classes found in different batches. Only members with one full
// fingerprint can meet in a full run, so only the classes inside one
// fingerprint are compared: the first with all the others, then the first
// of those still apart with the rest, and so on. When all are equal (the
// usual case) that is one read of each class and one of the first per batch.
// A class is read through its first member that is not lost; a class that
// has been compared with every other one of its fingerprint is settled
// (mark 2) and takes no further part. A comparison that loses a member
// settles nothing: the lost member's class is then read through another
// one, and compared again with all those still apart.
dup_result merge_batches(dup_scan_t *scan, dup_read_scratch &px, const dup_partial_run &rc, int32_t *tmp, int32_t *reps,
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
        for (;;) {
            int32_t nr = 0;
            for (int32_t k = s; k < t; k++) {
                const int32_t x = tmp[k];
                if (rc.invalid[x]) continue;
                const int32_t root = find_root(rc.parent, x);
                if (mark[root]) continue;
                mark[root] = 1;
                reps[nr++] = x;
            }
            for (int32_t q = 0; q < nr; q++) mark[find_root(rc.parent, reps[q])] = 0;
            if (nr < 2) break;
            int32_t lost = 0;
            const dup_result r = compare_with_head(scan, px, rc, reps[0], reps + 1, nr - 1, &lost);
            if (r != DUP_OK) return r;
            if (lost == 0) mark[find_root(rc.parent, reps[0])] = 2;
        }
        for (int32_t k = s; k < t; k++) mark[find_root(rc.parent, tmp[k])] = 0;
        s = t;
    }
    return DUP_OK;
}

int32_t distinct_files(const dup_file_t *rec, int32_t *ids, int32_t cnt) {
    std::sort(ids, ids + cnt, [&](int32_t a, int32_t b) {
        return rec[a].dev != rec[b].dev ? rec[a].dev < rec[b].dev : rec[a].ino < rec[b].ino;
    });
    int32_t files = 1;
    for (int32_t k = 1; k < cnt; k++)
        files += rec[ids[k]].dev != rec[ids[k - 1]].dev || rec[ids[k]].ino != rec[ids[k - 1]].ino;
    return files;
}

dup_result group_full_run(dup_scan_t *scan, const dup_partial_run &rc, dup_group_scratch &w, int32_t c, int32_t d) {
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
    dup_result rc_out = DUP_OK;
    for (int32_t u = c; u < d && rc_out == DUP_OK; u++) {
        if (w.visited[u] || cls(u) < 0) continue;
        int32_t cnt = 0;
        for (int32_t v = u; v >= 0; v = w.nxt[v]) {
            w.visited[v] = 1;
            w.ids[cnt] = v;
            w.list[cnt++] = rc.rec[v].path;
        }
        if (cnt >= 2) {
            rc_out = dup_append_group(scan, rc.rec[u].full_hash, rc.rec[u].size, w.list.p, cnt,
                                      distinct_files(rc.rec, w.ids.p, cnt));
            // The cache records which files were found byte-identical.
            if (scan->states)
                for (int32_t q = 0; q < cnt && rc_out == DUP_OK; q++)
                    scan->states[rc.rec[w.ids[q]].state].proof = scan->n_groups;
        }
    }
    for (int32_t u = c; u < d; u++) {
        const int32_t x = cls(u);
        if (x >= 0) w.last[x] = -1;
    }
    return rc_out;
}

}  // namespace

dup_result dup_group_run(dup_scan_t *scan, dup_read_scratch &scratch, const dup_partial_run &run, dup_group_scratch &w,
                         bool several_batches) {
    const int32_t n = run.n;
    for (int32_t k = 0; k < n; k++) {
        dup_file_t &x = run.rec[k];
        x.full_hash = x.full_ok ? dup_seam(x.path, 1, x.full_hash) : 0;
    }
    if (several_batches) {
        const dup_result r = merge_batches(scan, scratch, run, w.tmp.p, w.roots.p, w.mark.p);
        if (r != DUP_OK) return r;
    }

    for (int32_t k = 0; k < n; k++) w.keys[k] = run.rec[k].full_hash;
    if (dup_exchange_order(w.keys.p, n, w.perm.p) != DUP_OK) return DUP_NOMEM;
    dup_apply_order(run.rec, w.perm.p, n);

    for (int32_t c = 0; c < n;) {
        if (!run.rec[c].full_ok) {
            c++;
            continue;
        }
        int32_t d = c + 1;
        while (d < n && run.rec[d].full_ok && run.rec[d].full_hash == run.rec[c].full_hash) d++;
        if (d - c >= 2 && group_full_run(scan, run, w, c, d) != DUP_OK) return DUP_NOMEM;
        c = d;
    }
    return DUP_OK;
}
