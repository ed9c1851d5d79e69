// SPDX-License-Identifier: MIT
// The fingerprint cache's file: judging it, reading it in pieces, writing
// a new one. An embedded database was measured against this format and
// lost by six times in saving and thirty in loading and looking up, at the
// same size (the figures are in docs/design.md).
#include "cache_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char MAGIC[8] = {'d', 'u', 'p', 'f', 'c', 'a', 'c', 'h'};
// Entries per piece read or written: a megabyte.
constexpr int64_t PIECE = (int64_t{1} << 20) / static_cast<int64_t>(sizeof(dup_cache_entry));

}  // namespace

dup_cache_found dup_cache_file_open(const char *path, dup_content_t *h, dup_stat_t *st, dup_cache_header *hd) {
    int missing = 0;
    if (dup_file_open_read(path, h, st, &missing) != DUP_OK)
        // A file that is there but cannot be read is not known well enough
        // to be replaced.
        return missing ? dup_cache_found::absent : dup_cache_found::untouchable;
    const int64_t len = st->size;
    if (len == 0) return dup_cache_found::replaceable;
    // Whether the bytes are a cache this version wrote. A file that does
    // not begin as one is someone else's and is never replaced; one of a
    // later version is left to that version.
    unsigned char head[sizeof(dup_cache_header)];
    const int64_t first = len < static_cast<int64_t>(sizeof head) ? len : static_cast<int64_t>(sizeof head);
    if (dup_file_read_at(*h, 0, head, first) != DUP_OK) return dup_cache_found::untouchable;
    if (len < static_cast<int64_t>(sizeof MAGIC) || memcmp(head, MAGIC, sizeof MAGIC) != 0)
        return dup_cache_found::untouchable;
    if (len < static_cast<int64_t>(sizeof head)) return dup_cache_found::replaceable;
    memcpy(hd, head, sizeof *hd);
    if (hd->version > DUP_CACHE_VERSION) return dup_cache_found::untouchable;
    if (hd->version != DUP_CACHE_VERSION || hd->entry_size != sizeof(dup_cache_entry) ||
        hd->header_sum != XXH64(head, offsetof(dup_cache_header, header_sum), 0))
        return dup_cache_found::replaceable;
    const auto body = static_cast<uint64_t>(len) - sizeof head;
    if (body % sizeof(dup_cache_entry) != 0 || body / sizeof(dup_cache_entry) != hd->count)
        return dup_cache_found::replaceable;
    return dup_cache_found::valid;
}

bool dup_cache_reader::start(dup_content_t handle, int64_t count) {
    h = handle;
    n = count;
    next = in_buf = pos = 0;
    failed = false;
    XXH64_reset(&sum, 0);
    return buf.p != nullptr || buf.alloc(static_cast<size_t>(PIECE) * sizeof(dup_cache_entry));
}

bool dup_cache_reader::get(dup_cache_entry *e) {
    if (pos == in_buf) {
        if (failed || next >= n) return false;
        const int64_t m = n - next < PIECE ? n - next : PIECE;  // 1 to PIECE
        const int64_t bytes = m * static_cast<int64_t>(sizeof(dup_cache_entry));
        const auto at = static_cast<int64_t>(sizeof(dup_cache_header)) + next * static_cast<int64_t>(sizeof *e);
        // A file cut short under the read is the bytes of no one file.
        if (dup_file_read_at(h, at, buf.p, bytes) != DUP_OK) {
            failed = true;
            return false;
        }
        XXH64_update(&sum, buf.p, static_cast<size_t>(bytes));
        in_buf = m;
        pos = 0;
    }
    memcpy(e, buf.p + pos * static_cast<int64_t>(sizeof *e), sizeof *e);
    pos++;
    next++;
    return true;
}

bool dup_cache_reader::whole(uint64_t expected) {
    return !failed && next == n && pos == in_buf && XXH64_digest(&sum) == expected;
}

dup_cache_writer::~dup_cache_writer() {
    if (out != DUP_CONTENT_NONE) dup_file_abandon(out, path);
}

dup_result dup_cache_writer::start(const char *at) {
    if (!buf.alloc(static_cast<size_t>(PIECE) * sizeof(dup_cache_entry))) return DUP_NOMEM;
    XXH64_reset(&sum, 0);
    if (dup_file_create(at, &out) != DUP_OK) return DUP_FAILED;
    path = at;
    // Room for the header (zeros, as allocated), written over once the
    // entries are counted.
    used = sizeof(dup_cache_header);
    return DUP_OK;
}

bool dup_cache_writer::add(const dup_cache_entry &e) {
    if (failed) return false;
    const auto cap = PIECE * static_cast<int64_t>(sizeof e);
    if (used + static_cast<int64_t>(sizeof e) > cap) {
        if (dup_file_write(out, buf.p, used) != DUP_OK) {
            failed = true;
            return false;
        }
        used = 0;
    }
    memcpy(buf.p + used, &e, sizeof e);
    used += static_cast<int64_t>(sizeof e);
    XXH64_update(&sum, &e, sizeof e);
    count++;
    return true;
}

dup_result dup_cache_writer::commit(const char *to, uint64_t generation, uint64_t next_proof) {
    dup_cache_header h{};
    memcpy(h.magic, MAGIC, sizeof MAGIC);
    h.version = DUP_CACHE_VERSION;
    h.entry_size = sizeof(dup_cache_entry);
    h.count = count;
    h.generation = generation;
    h.next_proof = next_proof;
    h.entries_sum = XXH64_digest(&sum);
    h.header_sum = XXH64(&h, offsetof(dup_cache_header, header_sum), 0);
    if (failed || dup_file_write(out, buf.p, used) != DUP_OK || dup_file_rewind(out) != DUP_OK ||
        dup_file_write(out, &h, sizeof h) != DUP_OK)
        return DUP_FAILED;  // the destructor removes the file
    const dup_content_t done = out;
    out = DUP_CONTENT_NONE;
    return dup_file_commit(done, path, to);
}

dup_result dup_cache_read_keys(dup_content_t h, int64_t n, uint64_t sum, dup_cache_keys *keys, bool *unreadable) {
    *unreadable = false;
    dup_cache_reader rd;
    if (!rd.start(h, n)) return DUP_NOMEM;
    keys->inos = static_cast<uint64_t *>(dup_malloc(static_cast<size_t>(n > 0 ? n : 1) * sizeof(uint64_t)));
    if (!keys->inos) return DUP_NOMEM;
    dup_cache_entry prev{}, e{};
    for (int64_t i = 0; rd.get(&e); i++) {
        if (i > 0 && !dup_cache_key_less(prev, e)) return DUP_FAILED;  // lookups need strict order
        if (i == 0 || e.dev != prev.dev) {
            if (!dup_array_reserve(keys->runs, keys->n_runs, keys->cap_runs, 4)) return DUP_NOMEM;
            keys->runs[keys->n_runs++] = dup_cache_dev_run{e.dev, i, i};
        }
        keys->runs[keys->n_runs - 1].end = i + 1;
        keys->inos[i] = e.ino;
        prev = e;
    }
    *unreadable = rd.failed;
    return rd.whole(sum) ? DUP_OK : DUP_FAILED;
}

// The position of the first entry not below (dev, ino), searched from
// the previous answer. The walk lists a directory's files in the order of
// their names' hashes, but their inode numbers lie close together (on a
// tree of a million files written directory by directory, half of the
// steps from one file to the next were over 60 entries, one in a hundred
// over 180), so galloping from there finds most within a few hundred
// entries, in lines of the table that the directory's other files have
// brought into the processor's cache. Farther, the rest of the device's
// entries is searched by halves.
int64_t dup_cache_find(dup_cache_keys *keys, uint64_t dev, uint64_t ino) {
    constexpr int64_t NEAR = 512;
    const dup_cache_dev_run *runs = keys->runs;
    if (keys->run >= keys->n_runs || runs[keys->run].dev != dev) {
        const dup_cache_dev_run *r = std::lower_bound(runs, runs + keys->n_runs, dev,
                                                      [](const dup_cache_dev_run &x, uint64_t d) { return x.dev < d; });
        if (r == runs + keys->n_runs || r->dev != dev) return -1;
        keys->run = static_cast<int32_t>(r - runs);
        keys->at = r->begin;
    }
    const int64_t b = runs[keys->run].begin, e = runs[keys->run].end;
    const uint64_t *k = keys->inos;
    const int64_t h = std::clamp(keys->at, b, e);
    int64_t lo = b, hi = e;  // the position lies in [lo, hi]
    if (h < e && k[h] < ino) {
        lo = h + 1;
        for (int64_t step = 1; step <= NEAR && h + step < e; step *= 2) {
            if (k[h + step] >= ino) {
                hi = h + step;
                break;
            }
            lo = h + step + 1;
        }
    } else {
        hi = h;
        for (int64_t step = 1; step <= NEAR && h - step >= b; step *= 2) {
            if (k[h - step] < ino) {
                lo = h - step + 1;
                break;
            }
            hi = h - step;
        }
    }
    keys->at = std::lower_bound(k + lo, k + hi, ino) - k;
    return keys->at < e && k[keys->at] == ino ? keys->at : -1;
}

void dup_cache_keys_free(dup_cache_keys *keys) {
    free(keys->inos);
    free(keys->runs);
    *keys = dup_cache_keys{};
}
