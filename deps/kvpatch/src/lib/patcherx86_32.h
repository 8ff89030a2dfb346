#pragma once

#include "transformationpatcher.h"

#include <cstddef>
#include <cstdint>

namespace kvpatch {

// The patcher of every executable element kind: disassembles the element,
// encodes it, and assembles it again from the corrected encoding.
class PatcherX86_32 : public TransformationPatcher
{
public:
    PatcherX86_32(const uint8_t* ensembleBase, size_t ensembleLength);

    Status Init(SourceStream* parameters) override;
    Status PredictParameters(SinkStreamSet* predicted) override;
    Status Transform(SourceStreamSet* correctedParameters, SinkStreamSet* transformed) override;
    Status Rebuild(SourceStreamSet* correctedTransformed, SinkStream* output) override;

private:
    const uint8_t* m_ensembleBase;
    size_t m_ensembleLength;
    uint32_t m_baseOffset = 0;
    uint32_t m_baseLength = 0;
};

} // namespace kvpatch
