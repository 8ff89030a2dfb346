#pragma once

namespace kvpatch {

// Result codes of the patch engine's entry points. The numbers are read by
// the updater's patch task, so they must stay as they are.
enum Status
{
    C_OK = 1,
    C_GENERAL_ERROR = 2,
    C_READ_OPEN_ERROR = 3,
    C_READ_ERROR = 4,
    C_BAD_ENSEMBLE_MAGIC = 5,
    C_BAD_ENSEMBLE_VERSION = 6,
    C_BAD_ENSEMBLE_HEADER = 7,
    C_BAD_ENSEMBLE_CRC = 8,
    C_BAD_TRANSFORM = 12,
    C_STREAM_ERROR = 20,
    C_STREAM_NOT_CONSUMED = 21,
    C_DESERIALIZATION_FAILED = 23,
    C_INPUT_NOT_RECOGNIZED = 24,
    C_DISASSEMBLY_FAILED = 25,
    C_ASSEMBLY_FAILED = 26,
    C_TRIM_FAILED = 28,
};

} // namespace kvpatch
