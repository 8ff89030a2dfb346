#pragma once

#include <cstddef>
#include <cstdint>

namespace kvpatchmaker {

// Hands the heap pages that the maker has freed back to the system. Making a
// patch allocates and frees in stages (disassembled programs, encodings, the
// suffix array), and without this the freed pages of one stage stay in the
// process beside the next stage's, which doubles the peak on large files.
void ReturnFreedMemory();

// Unmaps the pages wholly inside the range from the process. For a
// read-only file mapping, while a stage works only on data derived from the
// file: they stay in the page cache and are mapped again when next read.
// Private or heap memory loses its contents: only for bytes that are never
// read again.
void ReleaseMappedPages(const uint8_t* data, size_t length);

} // namespace kvpatchmaker
