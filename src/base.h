// SPDX-License-Identifier: MIT
// The small base every module may use, and which uses nothing of the
// library: the per-thread error text, the allocator, string copies, UTF-8
// decoding, one growable array, heap owners and the result convention.
#ifndef DUP_BASE_H
#define DUP_BASE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

constexpr int DUP_ERR_LEN = 512;  // the error text, its NUL included

// ---- results --------------------------------------------------------------------------

// The outcome of every operation of the library, from a system call of the
// platform layer to an exported function: one enum, so that no caller has
// to know which of several conventions a callee follows. A value that must
// travel besides the outcome (a handle, a count) goes to an out-parameter.
// The fixed messages hosts see are the names of the outcomes from DUP_NOMEM
// on (dup_result_message).
enum [[nodiscard]] dup_result : int{
    DUP_OK = 0,
    // Stages: a cancel was seen (or, for the walk, the file cap reached).
    DUP_STOPPED,
    // Operations on one object.
    DUP_FAILED,         // missing, no permission, not what was expected
    DUP_NO_HANDLE,      // the process (or system) has no file handle free
    DUP_NAME_TOO_LONG,  // a name the system refuses as too long
    DUP_CANCELLED,      // a cancel ended a wait
    // Out of memory: no half-built record is left behind.
    DUP_NOMEM,
    // The start's failures.
    DUP_E_NULL_DIRS_JSON, DUP_E_TOO_MANY_SCANS, DUP_E_INVALID_OPTIONS, DUP_E_OPTIONS_NOT_OBJECT, DUP_E_DIRS_REQUIRED,
    DUP_E_INVALID_DIRS, DUP_E_DIRS_NOT_ARRAY, DUP_E_DIRS_EMPTY, DUP_E_NO_VALID_DIRS, DUP_E_THREAD,
    // How a scan ends when it does not finish.
    DUP_E_SCAN_CANCELLED, DUP_E_WALK, DUP_E_GROUPING, DUP_E_RESULTS_TEXT,
    // The queries' failures.
    DUP_E_INVALID_ID, DUP_E_NOT_READY,
    // The delete's outcomes: errors, and refusals (DUP_REFUSED_*).
    DUP_E_EMPTY_PATH, DUP_E_NOT_FOUND, DUP_E_UNLINK, DUP_REFUSED_DOTDOT, DUP_REFUSED_SYMLINK, DUP_REFUSED_DIRECTORY,
    DUP_REFUSED_NOT_REGULAR, DUP_REFUSED_OUTSIDE, DUP_RESULT_COUNT};

// The fixed text of an outcome, as the error text shows it ("" for DUP_OK).
// Never null.
const char *dup_result_message(dup_result r);
// Whether the delete refused (rather than failed).
inline bool dup_result_refused(dup_result r) { return r >= DUP_REFUSED_DOTDOT && r < DUP_RESULT_COUNT; }

// ---- error text -----------------------------------------------------------------------

// Formats the calling thread's error text (at most DUP_ERR_LEN - 1 bytes;
// longer output is cut). Never allocates.
void dup_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void dup_clear_error(void);
const char *dup_error_text(void);

// ---- memory ---------------------------------------------------------------------------

// Every block the library allocates comes from these three, and is
// released with free(). They reach the C library's allocator through one
// replaceable function, the "alloc" entry of the platform layer's table of
// replaceable calls (platform.h), so that a test can make any one
// allocation fail on every system without replacing the process's malloc.
void *dup_malloc(size_t n);
void *dup_calloc(size_t n, size_t size);  // zero-filled; null when n * size overflows
void *dup_realloc(void *p, size_t n);     // n > 0: a resize, never a release

// The allocation function: a resize of block to size bytes, or a fresh
// block of size bytes when block is null (realloc's contract otherwise).
using dup_alloc_fn = void *(*)(void *block, size_t size);
// The C library's, which the entry holds unless a test replaced it.
void *dup_alloc_system(void *block, size_t size);
// The entry: a dup_alloc_fn stored under the table's common type, or null
// for dup_alloc_system.
extern std::atomic<void (*)(void)> dup_alloc_entry;

// ---- strings --------------------------------------------------------------------------

// A heap copy of s, or null when s is null or memory runs out.
char *dup_strdup(const char *s);

// Length of the well-formed UTF-8 sequence that starts at p (p < end), or 0
// when none does: no overlong forms, no surrogates, nothing above U+10FFFF.
// Never reads at or beyond end.
size_t dup_utf8_sequence_length(const char *p, const char *end);
// Whether s[0..n) is well-formed UTF-8.
bool dup_utf8_valid(const char *s, size_t n);

// ---- growable arrays ------------------------------------------------------------------

// Makes room in an array of records for one more: when count has reached
// capacity, the array grows to `first` records, or doubles. Records gained
// are zero-filled unless `zero` is false: an array of millions of records
// that the caller writes whole as it appends them then keeps the pages of
// its unused half untouched, which the system does not have to back. False
// when memory ran out (or the 32-bit capacity would overflow); the array is
// then unchanged.
template <class T>
bool dup_array_reserve(T *&array, int32_t count, int32_t &capacity, int32_t first, bool zero = true) {
    // realloc moves the records bytewise, and zero bytes must be a valid record.
    static_assert(std::is_trivially_copyable<T>::value, "records are moved by realloc");
    if (count < capacity) return true;
    if (capacity > INT32_MAX / 2) return false;
    const int32_t cap = capacity == 0 ? first : capacity * 2;
    void *p = dup_realloc(static_cast<void *>(array), static_cast<size_t>(cap) * sizeof(T));
    if (!p) return false;
    array = static_cast<T *>(p);
    if (zero) memset(static_cast<void *>(array + capacity), 0, static_cast<size_t>(cap - capacity) * sizeof(T));
    capacity = cap;
    return true;
}

// An open-addressing index over records the caller keeps in an array of
// its own: slots hold record positions (or -1), probed linearly, at a load
// of at most one half. The caller supplies each record's hash and the test
// of equality, so one index serves keys of any form (the walk's directory
// identities, the registry's root texts).
struct dup_index_t {
    int32_t *slots = nullptr;
    size_t cap = 0;  // a power of two, or 0
    size_t used = 0;
};

// Whether a record for which same(k) holds is indexed under hash; *found
// is then its position.
template <class Same>
bool dup_index_find(const dup_index_t &ix, uint64_t hash, Same same, int32_t *found) {
    if (ix.cap == 0) return false;
    for (size_t at = static_cast<size_t>(hash) & (ix.cap - 1);; at = (at + 1) & (ix.cap - 1)) {
        const int32_t k = ix.slots[at];
        if (k < 0) return false;
        if (same(k)) {
            *found = k;
            return true;
        }
    }
}

// Indexes record k under hash; dup_index_reserve made room for it.
inline void dup_index_put(dup_index_t &ix, uint64_t hash, int32_t k) {
    size_t at = static_cast<size_t>(hash) & (ix.cap - 1);
    while (ix.slots[at] >= 0) at = (at + 1) & (ix.cap - 1);
    ix.slots[at] = k;
    ix.used++;
}

// Room for one more record; hash_of(k) gives the hash of an indexed record
// when the table grows. False when memory ran out: the index is unchanged.
template <class HashOf>
bool dup_index_reserve(dup_index_t &ix, HashOf hash_of) {
    if ((ix.used + 1) * 2 <= ix.cap) return true;
    dup_index_t grown;
    grown.cap = ix.cap == 0 ? 16 : ix.cap * 2;
    grown.slots = static_cast<int32_t *>(dup_malloc(grown.cap * sizeof(int32_t)));
    if (!grown.slots) return false;
    for (size_t i = 0; i < grown.cap; i++) grown.slots[i] = -1;
    for (size_t i = 0; i < ix.cap; i++)
        if (ix.slots[i] >= 0) dup_index_put(grown, hash_of(ix.slots[i]), ix.slots[i]);
    free(ix.slots);
    ix = grown;
    return true;
}

// ---- waiting ---------------------------------------------------------------------------

// The steps of a wait for file handles that others hold: 1 ms, doubling up
// to 50 ms, until about 2 s have been spent. A shortage that lasts longer
// is taken as lasting.
struct dup_backoff {
    static constexpr int64_t FIRST_NS = 1000000;      // 1 ms
    static constexpr int64_t STEP_MAX_NS = 50000000;  // 50 ms
    static constexpr int64_t TOTAL_NS = 2000000000;   // 2 s
    int64_t step_ns = FIRST_NS;                       // the next wait
    int64_t spent_ns = 0;                             // waited so far, as the caller counts it

    bool exhausted() const { return spent_ns >= TOTAL_NS; }
    // The wait to take now; the following one is twice as long, up to the cap.
    int64_t take() {
        const int64_t s = step_ns;
        step_ns = step_ns * 2 < STEP_MAX_NS ? step_ns * 2 : STEP_MAX_NS;
        return s;
    }
};

// ---- scoped heap arrays ------------------------------------------------------------------

// A zero-filled heap array freed on every way out of its scope.
template <class T>
struct dup_tmp_array {
    T *p = nullptr;
    dup_tmp_array() = default;
    dup_tmp_array(const dup_tmp_array &) = delete;
    dup_tmp_array &operator=(const dup_tmp_array &) = delete;
    ~dup_tmp_array() { free(p); }
    // Room for n records (n >= 0; record counts are int32_t, sizes size_t).
    template <class N>
    bool alloc(N n) {
        static_assert(std::is_integral<N>::value, "a count of records");
        free(p);
        p = static_cast<T *>(dup_calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(T)));
        return p != nullptr;
    }
    // Indexed by record position, of whichever integer type the caller counts in.
    template <class I>
    T &operator[](I i) const {
        static_assert(std::is_integral<I>::value, "a record position");
        return p[i];
    }
};

// ---- owners ------------------------------------------------------------------------------
//
// Whatever must be released on every way out of a scope is held by a
// std::unique_ptr with one of these deleters: free for a heap block, the
// release function of its kind for a handle.

// The deleter of a heap block.
struct dup_free_deleter {
    void operator()(void *p) const { free(p); }
};

// The deleter of a pointer handle released by Close (an open directory, an
// entry's directory).
template <auto Close>
struct dup_closer {
    template <class T>
    void operator()(T *p) const {
        Close(p);
    }
};

// The deleter of a handle that is not a pointer (an integer, with None for
// "no handle"): it makes the handle the nullable pointer type that
// std::unique_ptr<H, dup_handle_closer<H, None, Close>> holds, so that
// handle gets the same owner as every block.
template <class H, H None, void (*Close)(H)>
struct dup_handle_closer {
    struct pointer {
        H h = None;
        pointer() = default;
        pointer(std::nullptr_t) {}  // unique_ptr's empty state
        pointer(H v) : h(v) {}      // taking a handle
        explicit operator bool() const { return h != None; }
        friend bool operator==(pointer a, pointer b) { return a.h == b.h; }
        friend bool operator==(pointer a, std::nullptr_t) { return a.h == None; }
    };
    void operator()(pointer p) const { Close(p.h); }
};

#endif  // DUP_BASE_H
