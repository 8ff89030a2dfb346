#pragma once

#include "kvdiff.h"
#include "sinkstream.h"
#include "status.h"
#include "streamset.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kvpatch {

class SourceStream;
class TransformationPatcher;

// One application of an ensemble patch. The operations run in the order
// they are declared; each returns the first failure it meets.
class EnsemblePatchApplier
{
public:
    EnsemblePatchApplier() = default;
    ~EnsemblePatchApplier();
    EnsemblePatchApplier(const EnsemblePatchApplier&) = delete;
    EnsemblePatchApplier& operator=(const EnsemblePatchApplier&) = delete;

    Status ReadHeader(SourceStream* patch);
    // The new file's size known from elsewhere, and the bytes received for
    // the body's block: from then on the body and its diffs are bounded by
    // them. Without this call they are bounded only by their own claims.
    void SetNewSize(uint32_t newSize, uint64_t bodyBytes);
    // The most bytes the body's block may decode to.
    uint32_t BodyLimit() const;
    // Whether the body's first four streams (`lengths`, as its header
    // states them) fit what they can hold for the new file.
    bool LayoutAllowed(const uint32_t* lengths) const;
    // `releasable`: the old file is a read-only mapping whose pages may
    // leave memory while its elements are disassembled.
    Status SetBase(const uint8_t* base, size_t length, bool releasable = false);
    Status CheckBaseCrc();
    // The same with the old file's CRC computed elsewhere.
    Status CheckBaseCrc(uint32_t crc) const;
    Status ReadElementParameters(SourceStream* parameters);
    Status PredictParameters(SinkStreamSet* predicted);
    Status CorrectParameters(
        SinkStreamSet* predicted, SourceStream* diff, SourceStreamSet* corrected);
    Status EncodeElements(SourceStreamSet* correctedParameters, SinkStreamSet* transformed);
    Status CorrectEncodedElements(
        SinkStreamSet* transformed, SourceStream* diff, SourceStreamSet* corrected);
    // The final diff's input is the old file followed by the rebuilt
    // elements; only the elements are written out.
    Status RebuildElements(SourceStreamSet* correctedTransformed, SinkStream* rebuilt);
    Status PatchFinalOutput(SourceStream* rebuilt, SourceStream* diff, SinkStream* output);
    // The same with the output handed to `write` in pieces as it is made;
    // false from `write` stops the application.
    using OutputPieces = std::function<bool(const uint8_t*, size_t)>;
    // With `discardDiff` the diff's pages are given back as they are read.
    Status PatchFinalOutputInPieces(SourceStream* rebuilt, SourceStream* diff,
        const OutputPieces& write, bool discardDiff = false);

    // Serialises `set`, applies `diff` to it into `scratch` and parses the
    // result as a stream set; with `discardDiff` the diff's pages are given
    // back as they are read.
    Status PatchStreamSet(SinkStreamSet* set, SourceStream* diff, SourceStreamSet* corrected,
        SinkStream* scratch, bool discardDiff = false);

private:
    void DeletePatchers();
    // What the diffs of the elements (streams 1 and 2) and the final diff
    // (stream 3) may decode to.
    DiffBounds ElementDiffBounds() const;
    DiffBounds FinalDiffBounds() const;

    const uint8_t* m_base = nullptr;
    size_t m_baseLength = 0;
    bool m_baseReleasable = false;
    uint32_t m_sourceCrc = 0;
    uint32_t m_targetCrc = 0;
    uint32_t m_finalInputSize = 0;
    bool m_newSizeKnown = false;
    uint32_t m_newSize = 0;
    uint64_t m_bodyBytes = 0;
    TransformationPatcher** m_patchers = nullptr;
    uint32_t m_patcherCount = 0;
    SinkStream m_correctedParameters;
    SinkStream m_correctedTransformed;
};

} // namespace kvpatch
