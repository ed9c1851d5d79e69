// SPDX-License-Identifier: MIT
// The malloc family of the fault-test process, with a countdown that makes
// one chosen allocation fail.
//
// A plain build forwards to the C library's own allocator (__libc_malloc and
// friends). Under AddressSanitizer the functions forward to the sanitizer's
// allocator instead, so LeakSanitizer still sees every block and can tell
// whether a failure path lost one.
#include "alloc_hook.h"

#include <malloc.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#  define HOOK_ASAN 1
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define HOOK_ASAN 1
#  endif
#endif

extern "C" {
#ifdef HOOK_ASAN
void *__interceptor_malloc(size_t);
void *__interceptor_calloc(size_t, size_t);
void *__interceptor_realloc(void *, size_t);
void __interceptor_free(void *);
void *__interceptor_memalign(size_t, size_t);
void *__interceptor_valloc(size_t);
void *__interceptor_pvalloc(size_t);
#  define REAL(name) __interceptor_##name
#else
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
void *__libc_valloc(size_t);
void *__libc_pvalloc(size_t);
#  define REAL(name) __libc_##name
#endif
}

// The functions below run from the first allocation of the process on,
// before the sanitizer's shadow memory exists, so they must not be
// instrumented.
#ifdef HOOK_ASAN
#  define HOOK_UNINSTRUMENTED __attribute__((no_sanitize_address))
#else
#  define HOOK_UNINSTRUMENTED
#endif

namespace {

struct hook_state {
    long target;
    long seen;
    bool armed;
    bool hit;
    int32_t at_hit;
};

// Initial-exec TLS needs no allocation to reach, which matters inside malloc.
thread_local hook_state t_state __attribute__((tls_model("initial-exec")));
std::atomic<const std::atomic<int32_t> *> g_watch{nullptr};

HOOK_UNINSTRUMENTED bool fail_this_one() {
    hook_state &s = t_state;
    if (!s.armed) return false;
    s.seen++;
    if (s.hit || s.seen != s.target) return false;
    s.hit = true;
    const std::atomic<int32_t> *w = g_watch.load(std::memory_order_relaxed);
    s.at_hit = w ? w->load(std::memory_order_relaxed) : 0;
    errno = ENOMEM;
    return true;
}

bool valid_alignment(size_t a) { return a != 0 && (a & (a - 1)) == 0; }

}  // namespace

namespace allochook {

void arm(long n) { t_state = hook_state{n, 0, true, false, 0}; }
void disarm() { t_state.armed = false; }
long count() { return t_state.seen; }
bool hit() { return t_state.hit; }
void watch(const std::atomic<int32_t> *value) { g_watch.store(value, std::memory_order_relaxed); }
int32_t watched_at_hit() { return t_state.at_hit; }

}  // namespace allochook

extern "C" {

HOOK_UNINSTRUMENTED void *malloc(size_t n) noexcept { return fail_this_one() ? nullptr : REAL(malloc)(n); }

HOOK_UNINSTRUMENTED void *calloc(size_t n, size_t size) noexcept {
    return fail_this_one() ? nullptr : REAL(calloc)(n, size);
}

HOOK_UNINSTRUMENTED void *realloc(void *p, size_t n) noexcept {
    // A resize to zero frees; failing it would leave the caller unsure
    // whether the block still exists, so it is never chosen.
    if (n != 0 && fail_this_one()) return nullptr;
    return REAL(realloc)(p, n);
}

HOOK_UNINSTRUMENTED void free(void *p) noexcept { REAL(free)(p); }

HOOK_UNINSTRUMENTED void *memalign(size_t align, size_t n) noexcept {
    return fail_this_one() ? nullptr : REAL(memalign)(align, n);
}

HOOK_UNINSTRUMENTED void *aligned_alloc(size_t align, size_t n) noexcept {
    return fail_this_one() ? nullptr : REAL(memalign)(align, n);
}

HOOK_UNINSTRUMENTED int posix_memalign(void **out, size_t align, size_t n) noexcept {
    if (!valid_alignment(align) || align % sizeof(void *) != 0) return EINVAL;
    if (fail_this_one()) return ENOMEM;
    void *p = REAL(memalign)(align, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

HOOK_UNINSTRUMENTED void *valloc(size_t n) noexcept { return fail_this_one() ? nullptr : REAL(valloc)(n); }

HOOK_UNINSTRUMENTED void *pvalloc(size_t n) noexcept { return fail_this_one() ? nullptr : REAL(pvalloc)(n); }

}  // extern "C"
