#include "executableelements.h"

#include "detectexecutable.h"

namespace kvpatch {

namespace {

constexpr size_t kUniversalMinimumSize = 4096;
constexpr uint32_t kUniversalMaxSlices = 8;
constexpr size_t kUniversalHeaderSize = 8;
constexpr size_t kUniversalEntrySize = 20;

uint32_t ReadBigEndian32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

bool Overlaps(const ExecutableElementList& list, uint64_t offset, uint64_t end)
{
    for (uint32_t i = 0; i < list.count; ++i) {
        const ExecutableElement& e = list.items[i];
        if (end > e.offset && offset < uint64_t(e.offset) + e.length)
            return true;
    }
    return false;
}

// Lists the slices of a universal file. Returns false when a slice entry
// is unusable, which cuts the table short: the elements listed until
// then are kept, and the caller looks at the whole file as well.
bool ListUniversalSlices(const uint8_t* data, size_t length, ExecutableElementList* out)
{
    const uint32_t count = ReadBigEndian32(data + 4);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = data + kUniversalHeaderSize + i * kUniversalEntrySize;
        const uint64_t offset = ReadBigEndian32(entry + 8);
        const uint64_t size = ReadBigEndian32(entry + 12);
        const uint64_t end = offset + size;
        if (end > UINT32_MAX || end > length || Overlaps(*out, offset, end))
            return false;
        FileType type = UNKNOWN;
        size_t detected = 0;
        if (DetectFileType(data + offset, size_t(size), &type, &detected) != C_OK)
            continue;
        if (detected > size)
            return false;
        out->items[out->count++] = {uint32_t(offset), uint32_t(detected), type};
    }
    return true;
}

bool IsUniversal(const uint8_t* data, size_t length)
{
    return length >= kUniversalMinimumSize && ReadBigEndian32(data) == 0xCAFEBABEu
        && ReadBigEndian32(data + 4) <= kUniversalMaxSlices;
}

} // namespace

Status FindExecutableElements(const uint8_t* data, size_t length, ExecutableElementList* out)
{
    out->count = 0;
    if (IsUniversal(data, length) && ListUniversalSlices(data, length, out) && out->count > 0)
        return C_OK;

    FileType type = UNKNOWN;
    size_t detected = 0;
    const Status status = DetectFileType(data, length, &type, &detected);
    if (status != C_OK) {
        out->count = 0;
        return status;
    }
    out->items[out->count++] = {0, uint32_t(detected), type};
    return C_OK;
}

const char* FileTypeName(FileType type)
{
    switch (type) {
    case WIN_32_X86:
        return "WIN_32_X86";
    case EXE_ELF_32_X86:
        return "EXE_ELF_32_X86";
    case ELF_32_ARM:
        return "ELF_32_ARM";
    case WIN_32_X64:
        return "WIN_32_X64";
    case ELF_64_X64:
        return "ELF_64_X64";
    case MACHO_X86:
        return "MACHO_X86";
    case MACHO_X64:
        return "MACHO_X64";
    case UNKNOWN:
        break;
    }
    return "UNKNOWN";
}

} // namespace kvpatch
