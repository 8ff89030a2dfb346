// Finds the executable elements of a file: the slices of a universal Mach-O
// file, or the file itself.
#pragma once

#include "filetype.h"
#include "status.h"

#include <cstddef>
#include <cstdint>

namespace kvpatch {

struct ExecutableElement
{
    uint32_t offset; // from the start of the file
    uint32_t length; // what the headers describe, trailing bytes excluded
    FileType type;
};

// A universal file names at most eight slices; the whole-file element may
// follow them when the slice table was cut short.
struct ExecutableElementList
{
    static constexpr uint32_t kMaxElements = 9;
    ExecutableElement items[kMaxElements];
    uint32_t count = 0;
};

// 1 with at least one element listed; 24 when the file holds no executable
// (the list is then empty); any other status of the detection as it came.
Status FindExecutableElements(const uint8_t* data, size_t length, ExecutableElementList* out);

// The kind's name for diagnostics; "UNKNOWN" for 0 and every unknown value.
const char* FileTypeName(FileType type);

} // namespace kvpatch
