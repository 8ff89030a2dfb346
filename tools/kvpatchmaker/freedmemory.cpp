#include "freedmemory.h"

// Any C library header tells which C library this is.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <unistd.h>

namespace kvpatchmaker {

namespace {

// Blocks from this size on get mappings of their own, which go back to the
// system as soon as they are freed. glibc otherwise raises the limit after
// the first large free, and the stages' large buffers then stay in the heap.
const int kOwnMappingFrom = 256 * 1024;

} // namespace

void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
    malloc_trim(0);
#endif
}

void ReleaseMappedPages(const uint8_t* data, size_t length)
{
    const long page = sysconf(_SC_PAGESIZE);
    if (!data || page <= 0)
        return;
    // A mapping starts on a page; only whole pages inside the range go.
    const uintptr_t start = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~uintptr_t(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + length) & ~uintptr_t(page - 1);
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

} // namespace kvpatchmaker
