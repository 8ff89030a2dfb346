// The compressed-file container: a file packed as one LZMA2 block, or, for
// executables, as encoded programs plus a diff from their assembled bytes to
// the file ("dis_and_diff").
#pragma once

#include <cstdint>
#include <string>

namespace kvpatch {

class MappedFile;
class SinkStream;

constexpr uint32_t kCompressedFileMagic = 0x7EA1769;

enum CompressedFileDirective : uint32_t
{
    kDirectivePlain = 1,
    kDirectiveDisAndDiff = 2,
};

// Restores a container file. The output file is written only once the
// restored bytes match the container's CRC, and it replaces an existing
// file of that name only as a whole.
// A container can announce far more than it holds: a few bytes of LZMA2
// stand for megabytes of zeros. Where the container is not yet trusted,
// `restoredLimit` bounds the restored file and, by a few times it, every
// buffer decoded on the way; what would pass its bound is refused before
// it is reserved or decoded.
// With `plainOnly` only the plain form is restored: a file that is text,
// never packed as a program, is refused in any other form before anything
// is decoded (the programs' form costs far more memory than its bytes).
bool DecompressFile(const std::string& inputPath, const std::string& outputPath,
    uint32_t restoredLimit = UINT32_MAX, bool plainOnly = false);

// Writes a container. With `executableAware` set, executables (and the
// slices of a universal Mach-O file) are stored as encoded programs plus a
// diff; anything else, and any executable that cannot be encoded, is stored
// as one LZMA2 block.
bool CompressFile(
    const std::string& inputPath, const std::string& outputPath, uint8_t executableAware);

// Parts of the writer.
bool CompressFilePlain(const MappedFile& input, SinkStream* output, uint32_t crc);
bool WriteCompressedFileHeader(SinkStream* output, uint32_t crc);

} // namespace kvpatch
