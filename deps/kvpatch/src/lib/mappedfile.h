// Read-only memory-mapped view of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvpatch {

class MappedFile
{
public:
    enum CacheHint : uint32_t
    {
        Normal = 0,
        Sequential = 1,
        Random = 2,
    };

    MappedFile() = default;
    // Opens `path` and maps `mappedBytes` from offset 0 (0: the whole file).
    // Failure leaves an object without a view; test isValid(). A whole file
    // of 4 GiB or more is never mapped (tooLarge()): views are at most
    // 2^32 - 1 bytes long and the engine's formats hold 32-bit sizes, so a
    // shorter view would silently stand for the whole file.
    MappedFile(const std::string& path, uint32_t mappedBytes = 0, uint32_t cacheHint = Normal);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // False when a view is already mapped, else as the constructor.
    bool open(const std::string& path, uint32_t mappedBytes = 0, uint32_t cacheHint = Normal);
    // Maps `length` bytes (0: the whole file) at `offset`, clipped to the end.
    bool remap(uint64_t offset, uint32_t length);
    void close();

    bool isValid() const { return m_view != nullptr; }
    bool tooLarge() const { return m_tooLarge; }
    // Opened, but there is nothing to map: mmap refuses 0 bytes.
    bool isEmptyFile() const { return m_descriptor >= 0 && m_fileSize == 0; }
    const uint8_t* data() const { return m_view; }
    uint64_t size() const { return m_fileSize; }
    uint32_t mappedSize() const { return m_mappedBytes; }
    static size_t pageSize();

    // The view's pages leave this process's memory (they stay in the page
    // cache, the view stays valid): for a file that is not read for a while.
    void dropResidentPages() const;

    // Copies up to `length` bytes from `offset` of the file into `buffer`
    // without touching the view; the bytes read (0 at the end or on error).
    size_t read(uint64_t offset, uint8_t* buffer, size_t length) const;

    uint8_t operator[](size_t index) const { return m_view[index]; }
    // Checked access: throws std::invalid_argument without a view and
    // std::out_of_range past the view.
    uint8_t at(size_t index) const;

private:
    void openAndMap(const std::string& path, uint32_t mappedBytes, uint32_t cacheHint);
    void unmap();

    uint64_t m_fileSize = 0;
    bool m_tooLarge = false;
    uint32_t m_cacheHint = Normal;
    uint32_t m_mappedBytes = 0;
    int m_descriptor = -1;
    const uint8_t* m_view = nullptr;
};

} // namespace kvpatch
