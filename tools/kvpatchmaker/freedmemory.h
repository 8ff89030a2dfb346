#pragma once

namespace kvpatchmaker {

// Hands the heap pages that the maker has freed back to the system. Making a
// patch allocates and frees in stages (disassembled programs, encodings, the
// suffix array), and without this the freed pages of one stage stay in the
// process beside the next stage's, which doubles the peak on large files.
void ReturnFreedMemory();

} // namespace kvpatchmaker
