// SPDX-License-Identifier: MIT
// The countdown that makes one chosen allocation fail, and (unless the
// whole process's malloc family is replaced, alloc_hook_process.cpp) its
// place in the library's replaceable "alloc" entry.
#include "alloc_hook.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "platform/platform.h"

// Under AddressSanitizer with the malloc family replaced, the countdown runs
// from the first allocation of the process on, before the sanitizer's
// shadow memory exists, so it must not be instrumented.
#if defined(__SANITIZE_ADDRESS__)
#  define HOOK_UNINSTRUMENTED __attribute__((no_sanitize_address))
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define HOOK_UNINSTRUMENTED __attribute__((no_sanitize_address))
#  endif
#endif
#ifndef HOOK_UNINSTRUMENTED
#  define HOOK_UNINSTRUMENTED
#endif

// Initial-exec TLS needs no allocation to reach, which matters inside
// malloc. (Windows' thread-local storage is emulated and allocates on a
// thread's first use; there the countdown is never inside malloc.)
#ifdef _WIN32
#  define HOOK_TLS thread_local
#else
#  define HOOK_TLS thread_local __attribute__((tls_model("initial-exec")))
#endif

namespace {

struct hook_state {
    long target;
    long seen;
    bool armed;
    bool hit;
    int32_t at_hit;
};

HOOK_TLS hook_state t_state;
std::atomic<const std::atomic<int32_t> *> g_watch{nullptr};

#ifndef ALLOCHOOK_WHOLE_PROCESS
void *counted_alloc(void *block, size_t size) {
    static const auto system = reinterpret_cast<void *(*)(void *, size_t)>(dup_syscall_default("alloc"));
    return allochook::fail_this_one() ? nullptr : system(block, size);
}

// Installed before any test runs; it counts nothing until a test arms it.
const bool g_installed = dup_syscall_replace("alloc", reinterpret_cast<dup_syscall_ptr>(&counted_alloc));
#endif

}  // namespace

namespace allochook {

void arm(long n) {
#ifndef ALLOCHOOK_WHOLE_PROCESS
    if (!g_installed) std::abort();  // the library has no "alloc" entry to count through
#endif
    t_state = hook_state{n, 0, true, false, 0};
}
void disarm() { t_state.armed = false; }
long count() { return t_state.seen; }
bool hit() { return t_state.hit; }
void watch(const std::atomic<int32_t> *value) { g_watch.store(value, std::memory_order_relaxed); }
int32_t watched_at_hit() { return t_state.at_hit; }

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

}  // namespace allochook
