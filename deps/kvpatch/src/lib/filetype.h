#pragma once

#include <cstdint>

namespace kvpatch {

// The kind of an executable element. Stored in ensemble patches as the
// element kind, so the values are fixed.
enum FileType : uint32_t
{
    UNKNOWN = 0,
    WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    ELF_32_ARM = 3,
    WIN_32_X64 = 4,
    ELF_64_X64 = 5,
    MACHO_X86 = 6,
    MACHO_X64 = 7,
};

} // namespace kvpatch
