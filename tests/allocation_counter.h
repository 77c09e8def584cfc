// Counts every allocation the process makes while `counting` is on: the test
// program that includes this header (in one of its files) replaces malloc,
// calloc, realloc and aligned_alloc with versions that count, then call the
// C library's own.
#pragma once

#include <atomic>
#include <cstddef>

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
} // namespace

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_memalign(size_t, size_t);

extern "C" void *malloc(size_t n)
{
    if (counting)
        ++allocations;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m)
{
    if (counting)
        ++allocations;
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n)
{
    if (counting)
        ++allocations;
    return __libc_realloc(p, n);
}
extern "C" void *aligned_alloc(size_t a, size_t n)
{
    if (counting)
        ++allocations;
    return __libc_memalign(a, n);
}
