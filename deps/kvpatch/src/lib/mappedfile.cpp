#include "mappedfile.h"

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvpatch {

namespace {

constexpr uint64_t kLargestView = 0xFFFFFFFFu;

int adviceForHint(uint32_t hint)
{
    switch (hint) {
    case MappedFile::Sequential:
        return MADV_SEQUENTIAL;
    case MappedFile::Random:
        return MADV_RANDOM;
    default:
        return MADV_NORMAL;
    }
}

} // namespace

MappedFile::MappedFile(const std::string& path, uint32_t mappedBytes, uint32_t cacheHint)
{
    openAndMap(path, mappedBytes, cacheHint);
}

MappedFile::~MappedFile()
{
    close();
}

bool MappedFile::open(const std::string& path, uint32_t mappedBytes, uint32_t cacheHint)
{
    if (m_view)
        return false;
    close();
    openAndMap(path, mappedBytes, cacheHint);
    return isValid();
}

void MappedFile::openAndMap(const std::string& path, uint32_t mappedBytes, uint32_t cacheHint)
{
    m_fileSize = 0;
    m_tooLarge = false;
    m_mappedBytes = 0;
    m_view = nullptr;
    m_cacheHint = cacheHint;
    m_descriptor = ::open(path.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (m_descriptor < 0)
        return;
    struct stat64 status;
    if (fstat64(m_descriptor, &status) != 0) {
        close();
        return;
    }
    m_fileSize = uint64_t(status.st_size);
    if (mappedBytes == 0 && m_fileSize > kLargestView) {
        m_tooLarge = true;
        return;
    }
    remap(0, mappedBytes);
}

bool MappedFile::remap(uint64_t offset, uint32_t length)
{
    if (m_descriptor < 0)
        return false;
    unmap();
    if (offset > m_fileSize)
        return false;
    const uint64_t rest = m_fileSize - offset;
    if (length == 0) {
        // "The rest of the file" must fit a view whole, never a cut of it.
        if (rest > kLargestView)
            return false;
        length = uint32_t(rest);
    } else if (length > rest) {
        length = uint32_t(rest);
    }
    // mmap refuses 0 bytes: an empty file or a view at its end has no view.
    void* view = mmap64(nullptr, length, PROT_READ, MAP_SHARED, m_descriptor, off64_t(offset));
    if (view == MAP_FAILED)
        return false;
    m_view = static_cast<const uint8_t*>(view);
    m_mappedBytes = length;
    madvise(view, length, adviceForHint(m_cacheHint));
    return true;
}

void MappedFile::unmap()
{
    if (m_view)
        munmap(const_cast<uint8_t*>(m_view), m_mappedBytes);
    m_view = nullptr;
    m_mappedBytes = 0;
}

void MappedFile::close()
{
    m_fileSize = 0;
    m_tooLarge = false;
    unmap();
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

size_t MappedFile::pageSize()
{
    return size_t(sysconf(_SC_PAGESIZE));
}

void MappedFile::dropResidentPages() const
{
    // The view is shared and read-only: its pages are the file's, read
    // again from the cache when next touched.
    if (m_view)
        madvise(const_cast<uint8_t*>(m_view), m_mappedBytes, MADV_DONTNEED);
}

size_t MappedFile::read(uint64_t offset, uint8_t* buffer, size_t length) const
{
    if (m_descriptor < 0)
        return 0;
    for (;;) {
        const ssize_t got = pread64(m_descriptor, buffer, length, off64_t(offset));
        if (got >= 0)
            return size_t(got);
        if (errno != EINTR)
            return 0;
    }
}

uint8_t MappedFile::at(size_t index) const
{
    if (!m_view)
        throw std::invalid_argument("No view mapped");
    if (index >= m_mappedBytes)
        throw std::out_of_range("View is not large enough");
    return m_view[index];
}

} // namespace kvpatch
