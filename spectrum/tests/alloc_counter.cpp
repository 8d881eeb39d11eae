// Wraps glibc's allocator entry points so that every allocation of the
// process is counted. Sanitizers bring their own allocator, so there the
// counter reports itself unavailable instead.
#include "alloc_counter.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || !defined(__GLIBC__)
#define QN_ALLOC_COUNTER_ENABLED 0
#else
#define QN_ALLOC_COUNTER_ENABLED 1
#endif

namespace {
std::atomic<uint64_t> allocations{0};
}

namespace alloc_counter {

bool available() { return QN_ALLOC_COUNTER_ENABLED != 0; }
uint64_t count() { return allocations.load(std::memory_order_relaxed); }
void reset() { allocations.store(0, std::memory_order_relaxed); }

}  // namespace alloc_counter

#if QN_ALLOC_COUNTER_ENABLED
#include <cerrno>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);

static void *counted(void *block)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void *malloc(size_t size) { return counted(__libc_malloc(size)); }
void *calloc(size_t count, size_t size) { return counted(__libc_calloc(count, size)); }
void *realloc(void *block, size_t size) { return counted(__libc_realloc(block, size)); }
void *memalign(size_t alignment, size_t size) { return counted(__libc_memalign(alignment, size)); }
void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **block, size_t alignment, size_t size)
{
    void *allocated = memalign(alignment, size);
    if (allocated == nullptr)
        return ENOMEM;
    *block = allocated;
    return 0;
}
}
#endif
