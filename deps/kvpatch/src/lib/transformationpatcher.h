#pragma once

#include "status.h"

namespace kvpatch {

class SinkStream;
class SinkStreamSet;
class SourceStream;
class SourceStreamSet;

// Turns one element of an ensemble patch's base into its patchable form and
// back.
class TransformationPatcher
{
public:
    TransformationPatcher() = default;
    virtual ~TransformationPatcher() = default;
    TransformationPatcher(const TransformationPatcher&) = delete;
    TransformationPatcher& operator=(const TransformationPatcher&) = delete;

    // Reads the element's parameters from the patch.
    virtual Status Init(SourceStream* parameters) = 0;
    // Writes the parameters the patcher expects, before correction.
    virtual Status PredictParameters(SinkStreamSet* predicted) = 0;
    // Writes the element's patchable form, given the corrected parameters.
    virtual Status Transform(SourceStreamSet* correctedParameters, SinkStreamSet* transformed) = 0;
    // Appends the element's new bytes, rebuilt from its corrected form.
    virtual Status Rebuild(SourceStreamSet* correctedTransformed, SinkStream* output) = 0;
};

} // namespace kvpatch
