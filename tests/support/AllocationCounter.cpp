#include "AllocationCounter.h"

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVANTA_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORVANTA_TEST_SANITIZED 1
#endif
#endif

namespace {
thread_local bool active = false;
thread_local std::uint64_t count = 0;

inline void note() { count += active; }
} // namespace

namespace alloccount {
void begin() {
    count = 0;
    active = true;
}
std::uint64_t end() {
    active = false;
    return count;
}
#ifdef ORVANTA_TEST_SANITIZED
bool countsMalloc() { return false; }
#else
bool countsMalloc() { return true; }
#endif
} // namespace alloccount

void* operator new(std::size_t size) {
    note();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return note(), std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#ifndef ORVANTA_TEST_SANITIZED
// glibc's own entry points, so that the wrappers below count and forward;
// being defined in the executable they also catch calls from shared
// libraries such as libsoxr.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t size) { return note(), __libc_malloc(size); }
void* calloc(std::size_t n, std::size_t size) { return note(), __libc_calloc(n, size); }
void* realloc(void* p, std::size_t size) { return note(), __libc_realloc(p, size); }
void* memalign(std::size_t alignment, std::size_t size) { return note(), __libc_memalign(alignment, size); }
void* aligned_alloc(std::size_t alignment, std::size_t size) { return note(), __libc_memalign(alignment, size); }
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    note();
    void* p = __libc_memalign(alignment, size);
    *out = p ? p : *out;
    return p ? 0 : 12; // ENOMEM
}
}
#endif
