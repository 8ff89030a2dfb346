#include "allocation.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace kvpatch {

namespace {
std::atomic<size_t> g_allocationLimit {SIZE_MAX};
}

void* TryAllocate(size_t bytes)
{
    if (bytes > g_allocationLimit.load(std::memory_order_relaxed))
        return nullptr;
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void* TryAllocateArray(size_t count, size_t size)
{
    size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes))
        return nullptr;
    return TryAllocate(bytes);
}

void* TryReallocate(void* block, size_t bytes)
{
    if (bytes > g_allocationLimit.load(std::memory_order_relaxed))
        return nullptr;
    return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void FreeAllocation(void* block)
{
    std::free(block);
}

void SetAllocationLimit(size_t bytes)
{
    g_allocationLimit.store(bytes, std::memory_order_relaxed);
}

size_t AllocationLimit()
{
    return g_allocationLimit.load(std::memory_order_relaxed);
}

} // namespace kvpatch
