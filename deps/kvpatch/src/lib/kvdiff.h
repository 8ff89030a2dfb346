// KVDIFF10: the engine's byte-level difference between an old and a new
// byte string. Control triples (add, copy, seek) say how many new bytes are
// old bytes plus stored difference bytes, how many are copied verbatim from
// an extra section, and how far to move in the old data.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <cstdint>

namespace kvpatch {

// Leads a diff written with the header flag.
constexpr char kDiffMagic[8] = {'K', 'V', 'D', 'I', 'F', 'F', '1', '0'};

enum DiffMethod : uint8_t
{
    DiffRaw = 0, // lengths and the three sections as they are
    DiffThreeBlocks = 1, // control, diff and extra as three LZMA2 blocks
    DiffOneBlock = 2, // a raw body inside one LZMA2 block
};

// Applies the diff at the cursor of `diff` to the unread bytes of `oldData`
// (which does not move) and appends the new data to `output`. With `header`
// the diff starts with the magic "KVDIFF10" and the CRC of the new data.
// A diff whose new data, or any section it decodes, would pass `limit`
// bytes is refused before that is reserved or decoded.
bool ApplyDiff(SourceStream* oldData, SourceStream* diff, SinkStream* output, bool header,
    uint32_t limit = UINT32_MAX);

// Appends the diff from the unread bytes of `oldData` to those of `newData`
// (both are read to their ends) to `diff`.
bool GenerateDiff(
    SourceStream* oldData, SourceStream* newData, SinkStream* diff, bool header, uint8_t method);

} // namespace kvpatch
