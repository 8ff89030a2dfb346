// Writes ensemble patches in the layout the updater's patch engine applies.
// For tests, benchmarks and release preparation only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvpatch {
class SinkStream;
}

namespace kvpatchmaker {

struct PatchOptions
{
    // Look for executable elements in both files; without this the patch is
    // a plain diff over the whole file (zero elements).
    bool findElements = true;
    // Also make the patch without elements and keep whichever is smaller:
    // where the disassemblers recognise little of an executable, encoding it
    // costs more than it saves. Where old and new share little, a copy of
    // the new file is tried as well.
    bool preferSmaller = true;
    // Method of the three inner diffs. The patch body is compressed as a
    // whole, so raw diffs (0) are the default.
    uint8_t diffMethod = 0;
    // The inputs are read-only shared file mappings (MakeEnsemblePatchFile
    // sets this): their pages are unmapped while a stage needs only data
    // derived from them, which lowers the peak by the files' size.
    bool inputsMapped = false;
};

struct PatchSummary
{
    uint32_t elements = 0; // element pairs the patch carries
};

// Appends a patch from old to new to `patch`. When encoding the elements
// fails, the maker falls back to a patch without elements.
bool MakeEnsemblePatch(const uint8_t* oldData, size_t oldLength, const uint8_t* newData,
    size_t newLength, kvpatch::SinkStream* patch, const PatchOptions& options = {},
    PatchSummary* summary = nullptr);

// Writes the patch beside `patchPath` and renames it over that path, so that
// an existing patch is never left half written. On failure `error` says what
// went wrong (reading, making or writing) and nothing existing changed.
bool MakeEnsemblePatchFile(const std::string& oldPath, const std::string& newPath,
    const std::string& patchPath, const PatchOptions& options = {}, PatchSummary* summary = nullptr,
    std::string* error = nullptr);

} // namespace kvpatchmaker
