// SPDX-License-Identifier: MIT
// The malloc family of the fault-test process (Linux), with the countdown
// of alloc_hook.cpp in front of every allocation.
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

bool valid_alignment(size_t a) { return a != 0 && (a & (a - 1)) == 0; }

using allochook::fail_this_one;

}  // namespace

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
