// KVDIFF10: the engine's byte-level difference between an old and a new
// byte string. Control triples (add, copy, seek) say how many new bytes are
// old bytes plus stored difference bytes, how many are copied verbatim from
// an extra section, and how far to move in the old data.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kvpatch {

// Leads a diff written with the header flag.
constexpr char kDiffMagic[8] = {'K', 'V', 'D', 'I', 'F', 'F', '1', '0'};

enum DiffMethod : uint8_t
{
    DiffRaw = 0, // lengths and the three sections as they are
    DiffThreeBlocks = 1, // control, diff and extra as three LZMA2 blocks
    DiffOneBlock = 2, // a raw body inside one LZMA2 block
};

// What the caller knows of a diff before it is read. A diff whose new data
// would pass `newSize` bytes (or, with `exact`, is of another size), or
// whose section would decode to more than its new data could use, is
// refused before that is reserved or decoded.
struct DiffBounds
{
    DiffBounds(uint32_t most = UINT32_MAX)
        : newSize(most)
    {
    }

    uint32_t newSize;
    bool exact = false;
    // For a diff taken out of a decoded block: the bytes received for that
    // block. A compressed section is allowed some room beyond what its new
    // data needs for the bytes it was sent in (see kvdiffreader), and a
    // section inside a decoded block was not sent in more than these.
    uint64_t received = UINT64_MAX;
};

// The most bytes a diff of `newSize` new bytes, sent in `received` bytes,
// may take in its raw form (method 0) and still be applied.
uint64_t DiffBytesBound(uint32_t newSize, uint64_t received);

// Applies the diff at the cursor of `diff` to the unread bytes of `oldData`
// (which does not move) and appends the new data to `output`. With `header`
// the diff starts with the magic "KVDIFF10" and the CRC of the new data.
bool ApplyDiff(SourceStream* oldData, SourceStream* diff, SinkStream* output, bool header,
    const DiffBounds& bounds = {});
// Bytes that lie elsewhere, not owned.
struct ByteRange
{
    const uint8_t* data;
    size_t length;
};
// The same over old data in `count` parts read one after the other: an
// ensemble's diffs run over data held in pieces (the old file and the
// rebuilt elements, a stream set's header and streams) without a copy that
// joins them. With `discardRead` the pages of the diff's difference bytes
// go back to the system as they are read: the caller reads them no more.
// `oversized` (when given) is set when the new data or a section was
// refused for its size.
bool ApplyDiffToParts(const ByteRange* parts, size_t count, SourceStream* diff, SinkStream* output,
    bool header, const DiffBounds& bounds = {}, bool discardRead = false,
    bool* oversized = nullptr);

// As ApplyDiffToParts without a header, but the new data is not kept: it
// is handed to `flush` in pieces of at most `piece` bytes as it is made
// (false from `flush` stops the application). For results too large to
// hold beside their inputs. `discardRead` and `oversized` as for
// ApplyDiffToParts.
bool ApplyDiffToPartsInPieces(const ByteRange* parts, size_t count, SourceStream* diff,
    size_t piece, const std::function<bool(const uint8_t*, size_t)>& flush,
    const DiffBounds& bounds = {}, bool discardRead = false, bool* oversized = nullptr);

// What a caller of GenerateDiff may do while the diff is made, for data too
// large to hold whole at every step.
struct DiffWriterHooks
{
    // Called once the old data is indexed, before the new data is first
    // read (its bytes may be filled in only then); false stops the diff.
    std::function<bool()> indexed;
    // Told now and then how many leading new bytes the search is done with
    // (a caller whose new data is a file mapping can let their pages go).
    std::function<void(size_t)> newRead;
};

// Appends the diff from the unread bytes of `oldData` to those of `newData`
// (both are read to their ends) to `diff`. The search reads the new data
// from its start on, after the old data has been indexed.
bool GenerateDiff(SourceStream* oldData, SourceStream* newData, SinkStream* diff, bool header,
    uint8_t method, const DiffWriterHooks& hooks = {});

} // namespace kvpatch
