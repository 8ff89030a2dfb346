#pragma once

#include "transformationpatcher.h"

#include <cstddef>
#include <cstdint>

namespace kvpatch {

class DisassembledProgram;

// Disassembles the executable in [data, data + length), encodes it and
// writes its encoded program into `out`: an element's patchable form.
// `releasable`: the bytes lie in a read-only file mapping whose pages may
// leave memory once read.
Status TransformElement(
    const uint8_t* data, size_t length, SinkStreamSet* out, bool releasable = false);
// Encodes a disassembled (and trimmed) program and writes it into `out`.
Status WriteProgramEncoded(DisassembledProgram* program, SinkStreamSet* out);
// Reads an element's encoded program and appends its assembled bytes.
// `releasable`: the streams' buffer is owned memory not read afterwards;
// the literal bytes' pages go as assembly passes them.
Status RebuildElement(SourceStreamSet* encoded, SinkStream* output, bool releasable = false);

// The patcher of every executable element kind: disassembles the element,
// encodes it, and assembles it again from the corrected encoding.
class PatcherX86_32 : public TransformationPatcher
{
public:
    // `releasable`: as for TransformElement.
    PatcherX86_32(const uint8_t* ensembleBase, size_t ensembleLength, bool releasable = false);

    Status Init(SourceStream* parameters) override;
    Status PredictParameters(SinkStreamSet* predicted) override;
    Status Transform(SourceStreamSet* correctedParameters, SinkStreamSet* transformed) override;
    Status Rebuild(SourceStreamSet* correctedTransformed, SinkStream* output) override;

    // Bytes of the old file that the element covers (after Init).
    uint32_t baseLength() const { return m_baseLength; }

private:
    const uint8_t* m_ensembleBase;
    size_t m_ensembleLength;
    bool m_releasable;
    uint32_t m_baseOffset = 0;
    uint32_t m_baseLength = 0;
};

} // namespace kvpatch
