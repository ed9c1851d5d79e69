// SPDX-License-Identifier: MIT
// The base: error text, the allocator, string copies, UTF-8 decoding.
#include "base.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Each thread's own text, empty until that thread's first failure; fixed
// size, so setting it never allocates.
thread_local char g_err[DUP_ERR_LEN];

}  // namespace

namespace {

// The one table of fixed texts, in the order of the enum. The texts from
// "oom" on are those the header promises; the others never reach a host.
struct message_row {
    dup_result result;
    const char *text;
};
constexpr message_row MESSAGES[] = {
    {DUP_OK, ""},
    {DUP_STOPPED, "stopped"},
    {DUP_FAILED, "failed"},
    {DUP_NO_HANDLE, "no file handle free"},
    {DUP_NAME_TOO_LONG, "name too long"},
    {DUP_CANCELLED, "wait cancelled"},
    {DUP_NOMEM, "oom"},
    {DUP_E_NULL_DIRS_JSON, "NULL dirs_json"},
    {DUP_E_TOO_MANY_SCANS, "too many concurrent scans"},
    {DUP_E_INVALID_OPTIONS, "invalid options_json"},
    {DUP_E_OPTIONS_NOT_OBJECT, "options_json must be object"},
    {DUP_E_DIRS_REQUIRED, "dirs_json required"},
    {DUP_E_INVALID_DIRS, "invalid dirs_json"},
    {DUP_E_DIRS_NOT_ARRAY, "dirs_json must be array"},
    {DUP_E_DIRS_EMPTY, "dirs_json empty"},
    {DUP_E_NO_VALID_DIRS, "no valid directories"},
    {DUP_E_THREAD, "pthread_create failed"},
    {DUP_E_SCAN_CANCELLED, "cancelled"},
    {DUP_E_WALK, "walk failed"},
    {DUP_E_GROUPING, "grouping failed"},
    {DUP_E_RESULTS_TEXT, "results json failed"},
    {DUP_E_INVALID_ID, "invalid scan_id"},
    {DUP_E_NOT_READY, "results not ready (progress must be 100)"},
    {DUP_E_EMPTY_PATH, "NULL or empty path"},
    {DUP_E_NOT_FOUND, "path not found"},
    {DUP_E_UNLINK, "unlink failed"},
    {DUP_REFUSED_DOTDOT, "refused: path contains .."},
    {DUP_REFUSED_SYMLINK, "refused: symlink"},
    {DUP_REFUSED_DIRECTORY, "refused: directory"},
    {DUP_REFUSED_NOT_REGULAR, "refused: not a regular file"},
    {DUP_REFUSED_OUTSIDE, "refused: outside scanned roots"},
};
static_assert(sizeof MESSAGES / sizeof MESSAGES[0] == DUP_RESULT_COUNT, "an outcome without a text");

constexpr bool messages_in_order() {
    for (int i = 0; i < DUP_RESULT_COUNT; i++)
        if (MESSAGES[i].result != i) return false;
    return true;
}
static_assert(messages_in_order(), "the message table is out of the enum's order");

}  // namespace

const char *dup_result_message(dup_result r) {
    return r >= DUP_OK && r < DUP_RESULT_COUNT ? MESSAGES[r].text : "unknown outcome";
}

void dup_set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

void dup_clear_error(void) { g_err[0] = '\0'; }

const char *dup_error_text(void) { return g_err; }

constinit std::atomic<void (*)(void)> dup_alloc_entry{nullptr};

void *dup_alloc_system(void *block, size_t size) { return block ? realloc(block, size) : malloc(size); }

namespace {

void *alloc_through_entry(void *block, size_t size) {
    void (*const f)(void) = dup_alloc_entry.load(std::memory_order_acquire);
    return f ? reinterpret_cast<dup_alloc_fn>(f)(block, size) : dup_alloc_system(block, size);
}

}  // namespace

void *dup_malloc(size_t n) { return alloc_through_entry(nullptr, n); }

void *dup_realloc(void *p, size_t n) { return alloc_through_entry(p, n); }

void *dup_calloc(size_t n, size_t size) {
    if (size != 0 && n > SIZE_MAX / size) return nullptr;
    void *p = alloc_through_entry(nullptr, n * size);
    if (p) memset(p, 0, n * size);
    return p;
}

char *dup_strdup(const char *s) {
    if (!s) return nullptr;
    const size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(dup_malloc(n));
    if (p) memcpy(p, s, n);
    return p;
}

size_t dup_utf8_sequence_length(const char *p, const char *end) {
    const auto *s = reinterpret_cast<const unsigned char *>(p);
    const size_t avail = static_cast<size_t>(end - p);
    const unsigned c = s[0];
    if (c < 0x80) return 1;
    size_t n;
    unsigned min, cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, min = 0x80, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, min = 0x800, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF (F5..FF)
    }
    if (avail < n) return 0;
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool dup_utf8_valid(const char *s, size_t n) {
    for (const char *p = s, *end = s + n; p < end;) {
        const size_t k = dup_utf8_sequence_length(p, end);
        if (k == 0) return false;
        p += k;
    }
    return true;
}
