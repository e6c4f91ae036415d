#include "alloc_counter.h"

#include <cstddef>

std::atomic<long> Allocations{0};
thread_local bool Counting = false;

namespace {

void CountOne()
{
    if (Counting)
        Allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (sanitizer/allocator_interface.h, which not every compiler ships).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
namespace {
void MallocHook(const volatile void*, size_t) { CountOne(); }
void FreeHook(const volatile void*) {}
}  // namespace
void InstallCounter() { __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook); }
#else
void InstallCounter() {}

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t n)
{
    CountOne();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size)
{
    CountOne();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n)
{
    CountOne();
    return __libc_realloc(p, n);
}
}
#endif
