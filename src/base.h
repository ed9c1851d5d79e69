// The small base every module may use, and which uses nothing of the
// library: the per-thread error text, string copies, UTF-8 decoding, one
// growable array, scoped heap blocks and the result convention.
#ifndef DUP_BASE_H
#define DUP_BASE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

constexpr int DUP_ERR_LEN = 512;  // the error text, its NUL included

// ---- results --------------------------------------------------------------------------

// What the walk, the grouping and the pools report. Stopped means a cancel
// was seen (or, for the walk, the file cap reached); out of memory leaves
// no half-built record behind.
enum dup_result : int {
    DUP_OK = 0,
    DUP_STOPPED = 1,
    DUP_NOMEM = -1,
};

// ---- error text -----------------------------------------------------------------------

// Formats the calling thread's error text (at most DUP_ERR_LEN - 1 bytes;
// longer output is cut). Never allocates.
void dup_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void dup_clear_error(void);
const char *dup_error_text(void);

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
// are zero-filled. False when memory ran out (or the 32-bit capacity would
// overflow); the array is then unchanged.
template <class T>
bool dup_array_reserve(T *&array, int32_t count, int32_t &capacity, int32_t first) {
    if (count < capacity) return true;
    if (capacity > INT32_MAX / 2) return false;
    const int32_t cap = capacity == 0 ? first : capacity * 2;
    void *p = realloc(static_cast<void *>(array), static_cast<size_t>(cap) * sizeof(T));
    if (!p) return false;
    array = static_cast<T *>(p);
    memset(static_cast<void *>(array + capacity), 0, static_cast<size_t>(cap - capacity) * sizeof(T));
    capacity = cap;
    return true;
}

// A zero-filled heap array freed on every way out of its scope.
template <class T>
struct dup_tmp_array {
    T *p = nullptr;
    dup_tmp_array() = default;
    dup_tmp_array(const dup_tmp_array &) = delete;
    dup_tmp_array &operator=(const dup_tmp_array &) = delete;
    ~dup_tmp_array() { free(p); }
    bool alloc(size_t n) {
        free(p);
        p = static_cast<T *>(calloc(n ? n : 1, sizeof(T)));
        return p != nullptr;
    }
    T &operator[](size_t i) const { return p[i]; }
};

// A heap string owned by a scope.
struct dup_heap_str {
    char *p;
    explicit dup_heap_str(char *s) : p(s) {}
    ~dup_heap_str() { free(p); }
    dup_heap_str(const dup_heap_str &) = delete;
    dup_heap_str &operator=(const dup_heap_str &) = delete;
};

#endif  // DUP_BASE_H
