// SPDX-License-Identifier: MIT
// The order of a partial run by full fingerprint: the permutation that an
// exchange sort without tie-break leaves, which decides heads and path
// order, computed without its quadratic cost.
#include "order.h"

#include <algorithm>

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
dup_result dup_exchange_order(const uint64_t *key, int32_t n, int32_t *out) {
    bool sorted = true;
    for (int32_t t = 1; t < n && sorted; t++) sorted = key[t] >= key[t - 1];
    for (int32_t t = 0; t < n; t++) out[t] = t;
    if (sorted) return DUP_OK;  // the sort makes no swap at all

    dup_tmp_array<int32_t> order, fen, nxt, prv;
    if (!order.alloc(n) || !fen.alloc(static_cast<size_t>(n) + 1) || !nxt.alloc(n) || !prv.alloc(n)) return DUP_NOMEM;
    for (int32_t t = 0; t < n; t++) order[t] = t;
    std::sort(order.p, order.p + n, [&](int32_t a, int32_t b) { return key[a] != key[b] ? key[a] < key[b] : a < b; });
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
    return DUP_OK;
}

// Reorders whole records: afterwards rec[t] is the record that was at
// rec[order[t]]. order is restored before returning.
void dup_apply_order(dup_file_t *rec, int32_t *order, int32_t n) {
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
