#include "allocation.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace kvpatch {

namespace {

std::atomic<size_t> g_allocationLimit {SIZE_MAX};

// Blocks from this size on are mapped on their own. The C heap keeps large
// freed blocks for reuse once one has been freed, so a patch application,
// whose stages each build and drop buffers the size of a file, would hold
// every stage's buffers at its peak; a mapping gives its pages back the
// moment it is freed.
// Under AddressSanitizer every block comes from the C heap, where the
// sanitizer catches accesses past its end.
#if defined(__SANITIZE_ADDRESS__)
#define KV_ALLOCATION_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_ALLOCATION_CHECKED 1
#endif
#endif
#ifdef KV_ALLOCATION_CHECKED
constexpr size_t kMappedFrom = SIZE_MAX;
#else
constexpr size_t kMappedFrom = size_t(1) << 20;
#endif

// Every block starts with a header: its usable size and whether it is
// mapped. 16 bytes keep the block aligned like malloc's.
struct alignas(16) Header
{
    size_t size;
    size_t mapped;
};

void* userOf(Header* header)
{
    return header + 1;
}

Header* headerOf(void* block)
{
    return static_cast<Header*>(block) - 1;
}

size_t mappedLength(size_t bytes)
{
    return sizeof(Header) + bytes;
}

void* place(size_t bytes)
{
    if (bytes > SIZE_MAX - sizeof(Header))
        return nullptr;
    Header* header = nullptr;
    const bool mapped = bytes >= kMappedFrom;
    if (mapped) {
        void* area = mmap(nullptr, mappedLength(bytes), PROT_READ | PROT_WRITE,
            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        header = area == MAP_FAILED ? nullptr : static_cast<Header*>(area);
    } else {
        header = static_cast<Header*>(std::malloc(sizeof(Header) + bytes));
    }
    if (!header)
        return nullptr;
    header->size = bytes;
    header->mapped = mapped;
    return userOf(header);
}

void release(Header* header)
{
    if (header->mapped)
        munmap(header, mappedLength(header->size));
    else
        std::free(header);
}

} // namespace

void* TryAllocate(size_t bytes)
{
    if (bytes > g_allocationLimit.load(std::memory_order_relaxed))
        return nullptr;
    return place(bytes == 0 ? 1 : bytes);
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
    if (bytes == 0)
        bytes = 1;
    if (!block)
        return place(bytes);
    Header* header = headerOf(block);
    if (bytes > SIZE_MAX - sizeof(Header))
        return nullptr;
    if (header->mapped && bytes >= kMappedFrom) {
        // Grown or shrunk by moving page tables, not bytes.
        void* area
            = mremap(header, mappedLength(header->size), mappedLength(bytes), MREMAP_MAYMOVE);
        if (area == MAP_FAILED)
            return nullptr;
        header = static_cast<Header*>(area);
        header->size = bytes;
        return userOf(header);
    }
    if (!header->mapped && bytes < kMappedFrom) {
        header = static_cast<Header*>(std::realloc(header, sizeof(Header) + bytes));
        if (!header)
            return nullptr;
        header->size = bytes;
        return userOf(header);
    }
    // Crossing the line between the kinds: a new block and one copy.
    void* moved = place(bytes);
    if (!moved)
        return nullptr;
    std::memcpy(moved, block, header->size < bytes ? header->size : bytes);
    release(header);
    return moved;
}

void FreeAllocation(void* block)
{
    if (block)
        release(headerOf(block));
}

const uint8_t* DiscardPages(const uint8_t* begin, const uint8_t* end)
{
    static const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (uintptr_t(begin) + page - 1) & ~(page - 1);
    const uintptr_t last = uintptr_t(end) & ~(page - 1);
    if (first >= last)
        return begin;
    madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    return reinterpret_cast<const uint8_t*>(last);
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
