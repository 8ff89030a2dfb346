#include "patcherx86_32.h"

#include "detectexecutable.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "sourcestream.h"
#include "streamset.h"

namespace kvpatch {

Status TransformElement(const uint8_t* data, size_t length, SinkStreamSet* out, bool releasable)
{
    EncodedProgram* encoded = nullptr;
    Status status = ParseAndEncodeExecutable(data, length, &encoded, releasable);
    if (status != C_OK)
        return status;
    status = MoveEncodedProgram(encoded, out);
    DeleteEncodedProgram(encoded);
    return status;
}

Status WriteProgramEncoded(DisassembledProgram* program, SinkStreamSet* out)
{
    EncodedProgram* encoded = nullptr;
    Status status = Encode(program, &encoded);
    if (status != C_OK)
        return status;
    status = MoveEncodedProgram(encoded, out);
    DeleteEncodedProgram(encoded);
    return status;
}

PatcherX86_32::PatcherX86_32(const uint8_t* ensembleBase, size_t ensembleLength, bool releasable)
    : m_ensembleBase(ensembleBase)
    , m_ensembleLength(ensembleLength)
    , m_releasable(releasable)
{
}

Status PatcherX86_32::Init(SourceStream* parameters)
{
    if (!parameters->ReadVarint32(&m_baseOffset) || !parameters->ReadVarint32(&m_baseLength))
        return C_BAD_TRANSFORM;
    if (m_baseOffset > m_ensembleLength || m_baseLength > m_ensembleLength - m_baseOffset)
        return C_BAD_TRANSFORM;
    return C_OK;
}

Status PatcherX86_32::PredictParameters(SinkStreamSet*)
{
    // The element has no parameters to predict.
    return C_OK;
}

Status PatcherX86_32::Transform(SourceStreamSet* correctedParameters, SinkStreamSet* transformed)
{
    // This patcher has no parameters.
    if (!correctedParameters->AllConsumed())
        return C_GENERAL_ERROR;
    return TransformElement(m_ensembleBase + m_baseOffset, m_baseLength, transformed, m_releasable);
}

Status PatcherX86_32::Rebuild(SourceStreamSet* correctedTransformed, SinkStream* output)
{
    // The corrected elements are the applier's own and go once assembled.
    return RebuildElement(correctedTransformed, output, true);
}

Status RebuildElement(SourceStreamSet* encodedStreams, SinkStream* output, bool releasable)
{
    // The streams outlive the assembly below: the literal bytes are used
    // where they lie.
    EncodedProgram* encoded = nullptr;
    Status status = ReadEncodedProgramBorrowing(encodedStreams, &encoded);
    if (status != C_OK)
        return status;
    if (releasable)
        encoded->releaseBorrowedBytes();
    status = Assemble(encoded, output);
    DeleteEncodedProgram(encoded);
    return status;
}

} // namespace kvpatch
