#include "ensemblepatchapplier.h"

#include "allocation.h"
#include "crc32.h"
#include "ensemblepatch.h"
#include "filetype.h"
#include "kvdiff.h"
#include "logline.h"
#include "lzmaio.h"
#include "mappedfile.h"
#include "patcherx86_32.h"
#include "replacingfilewriter.h"
#include "sourcestream.h"

#include <new>

namespace kvpatch {

EnsemblePatchApplier::~EnsemblePatchApplier()
{
    DeletePatchers();
}

void EnsemblePatchApplier::DeletePatchers()
{
    for (uint32_t i = 0; i < m_patcherCount; ++i)
        delete m_patchers[i];
    FreeAllocation(m_patchers);
    m_patchers = nullptr;
    m_patcherCount = 0;
}

Status EnsemblePatchApplier::ReadHeader(SourceStream* patch)
{
    uint32_t magic = 0;
    uint32_t version = 0;
    if (!patch->ReadVarint32(&magic) || magic != kEnsemblePatchMagic)
        return C_BAD_ENSEMBLE_MAGIC;
    if (!patch->ReadVarint32(&version) || version != kEnsemblePatchVersion)
        return C_BAD_ENSEMBLE_VERSION;
    if (!patch->ReadVarint32(&m_sourceCrc) || !patch->ReadVarint32(&m_targetCrc)
        || !patch->ReadVarint32(&m_finalInputSize))
        return C_BAD_ENSEMBLE_HEADER;
    return C_OK;
}

Status EnsemblePatchApplier::SetBase(const uint8_t* base, size_t length)
{
    m_base = base;
    m_baseLength = length;
    return C_OK;
}

Status EnsemblePatchApplier::CheckBaseCrc()
{
    return ComputeCrc32(m_base, m_baseLength) == m_sourceCrc ? C_OK : C_BAD_ENSEMBLE_CRC;
}

Status EnsemblePatchApplier::ReadElementParameters(SourceStream* parameters)
{
    uint32_t count = 0;
    if (!parameters->ReadVarint32(&count))
        return C_BAD_ENSEMBLE_HEADER;
    // Every kind takes at least one byte, so a count beyond the bytes left
    // cannot be read.
    if (count > parameters->Remaining())
        return C_BAD_ENSEMBLE_HEADER;
    // Every kind has the same patcher; the kinds are checked before any
    // element is read, and nothing is allocated for them.
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!parameters->ReadVarint32(&kind) || kind < WIN_32_X86 || kind > MACHO_X64)
            return C_BAD_ENSEMBLE_HEADER;
    }
    // Each element's offset and length take at least a byte each; with fewer
    // bytes left some element is unreadable, so the table is never larger
    // than the data (nor its size a product that wraps).
    if (count > parameters->Remaining() / 2)
        return C_BAD_TRANSFORM;
    if (count) {
        m_patchers = static_cast<TransformationPatcher**>(
            TryAllocateArray(count, sizeof(TransformationPatcher*)));
        if (!m_patchers)
            return C_STREAM_ERROR;
    }
    // Real elements are disjoint slices of the old file: together they
    // cannot cover more than it. Without this, one small patch could make
    // every element the whole file and have it encoded over and over.
    uint64_t covered = 0;
    for (uint32_t i = 0; i < count; ++i) {
        PatcherX86_32* patcher = new (std::nothrow) PatcherX86_32(m_base, m_baseLength);
        if (!patcher)
            return C_STREAM_ERROR;
        m_patchers[m_patcherCount++] = patcher;
        const Status status = patcher->Init(parameters);
        if (status != C_OK)
            return status;
        covered += patcher->baseLength();
        if (covered > m_baseLength)
            return C_BAD_TRANSFORM;
    }
    return parameters->Empty() ? C_OK : C_BAD_ENSEMBLE_HEADER;
}

Status EnsemblePatchApplier::PredictParameters(SinkStreamSet* predicted)
{
    for (uint32_t i = 0; i < m_patcherCount; ++i) {
        SinkStreamSet element;
        const Status status = m_patchers[i]->PredictParameters(&element);
        if (status != C_OK)
            return status;
        if (!predicted->WriteNested(&element))
            return C_STREAM_ERROR;
    }
    return C_OK;
}

Status EnsemblePatchApplier::PatchStreamSet(
    SinkStreamSet* set, SourceStream* diff, SourceStreamSet* corrected, SinkStream* scratch)
{
    SinkStream serialized;
    if (!set->WriteAll(&serialized))
        return C_STREAM_ERROR;
    SourceStream old;
    old.Init(serialized);
    if (!ApplyDiff(&old, diff, scratch, false))
        return C_GENERAL_ERROR;
    if (!corrected->Init(scratch->Buffer(), scratch->Length()))
        return C_STREAM_ERROR;
    return C_OK;
}

Status EnsemblePatchApplier::CorrectParameters(
    SinkStreamSet* predicted, SourceStream* diff, SourceStreamSet* corrected)
{
    return PatchStreamSet(predicted, diff, corrected, &m_correctedParameters);
}

Status EnsemblePatchApplier::EncodeElements(
    SourceStreamSet* correctedParameters, SinkStreamSet* transformed)
{
    for (uint32_t i = 0; i < m_patcherCount; ++i) {
        SourceStreamSet parameters;
        if (!correctedParameters->ReadNested(&parameters))
            return C_STREAM_ERROR;
        SinkStreamSet element;
        const Status status = m_patchers[i]->Transform(&parameters, &element);
        if (status != C_OK)
            return status;
        if (!parameters.AllConsumed())
            return C_STREAM_NOT_CONSUMED;
        if (!transformed->WriteNested(&element))
            return C_STREAM_ERROR;
    }
    if (!correctedParameters->AllConsumed())
        return C_STREAM_NOT_CONSUMED;
    return C_OK;
}

Status EnsemblePatchApplier::CorrectEncodedElements(
    SinkStreamSet* transformed, SourceStream* diff, SourceStreamSet* corrected)
{
    return PatchStreamSet(transformed, diff, corrected, &m_correctedTransformed);
}

Status EnsemblePatchApplier::RebuildElements(
    SourceStreamSet* correctedTransformed, SinkStream* finalInput)
{
    // The header's final-input size is a claim; the room reserved at once is
    // at most the old file and twice the encoded elements (an element
    // assembles to about its encoded size). Should assembly produce more,
    // the buffer grows as the bytes arrive.
    const uint64_t expected
        = uint64_t(m_baseLength) + 2 * uint64_t(m_correctedTransformed.Length());
    const size_t reserved
        = expected < m_finalInputSize ? size_t(expected) : size_t(m_finalInputSize);
    if (!finalInput->Reserve(reserved) || !finalInput->Write(m_base, m_baseLength))
        return C_STREAM_ERROR;
    for (uint32_t i = 0; i < m_patcherCount; ++i) {
        SourceStreamSet element;
        if (!correctedTransformed->ReadNested(&element))
            return C_STREAM_ERROR;
        const Status status = m_patchers[i]->Rebuild(&element, finalInput);
        if (status != C_OK)
            return status;
        if (!element.AllConsumed())
            return C_STREAM_NOT_CONSUMED;
    }
    if (!correctedTransformed->AllConsumed())
        return C_STREAM_NOT_CONSUMED;
    m_correctedTransformed.Release();
    return C_OK;
}

Status EnsemblePatchApplier::PatchFinalOutput(
    SourceStream* finalInput, SourceStream* diff, SinkStream* output)
{
    if (!ApplyDiff(finalInput, diff, output, false))
        return C_GENERAL_ERROR;
    if (ComputeCrc32(output->Buffer(), output->Length()) != m_targetCrc)
        return C_BAD_ENSEMBLE_CRC;
    return C_OK;
}

namespace {

Status ApplyBody(EnsemblePatchApplier* applier, SourceStreamSet* body, SinkStream* output)
{
    Status status = applier->ReadElementParameters(body->Stream(0));
    if (status != C_OK)
        return status;

    SinkStreamSet predicted;
    SourceStreamSet correctedParameters;
    if ((status = applier->PredictParameters(&predicted)) != C_OK
        || (status = applier->CorrectParameters(&predicted, body->Stream(1), &correctedParameters))
            != C_OK)
        return status;

    SinkStreamSet transformed;
    SourceStreamSet correctedTransformed;
    if ((status = applier->EncodeElements(&correctedParameters, &transformed)) != C_OK
        || (status = applier->CorrectEncodedElements(
                &transformed, body->Stream(2), &correctedTransformed))
            != C_OK)
        return status;

    SinkStream finalInput;
    if ((status = applier->RebuildElements(&correctedTransformed, &finalInput)) != C_OK)
        return status;
    SourceStream finalSource;
    finalSource.Init(finalInput);
    return applier->PatchFinalOutput(&finalSource, body->Stream(3), output);
}

} // namespace

Status ApplyEnsemblePatchStreams(SourceStream* old, SourceStream* patch, SinkStream* output)
{
    EnsemblePatchApplier applier;
    Status status = applier.ReadHeader(patch);
    if (status != C_OK)
        return status;
    if ((status = applier.SetBase(old->Buffer(), old->Remaining())) != C_OK
        || (status = applier.CheckBaseCrc()) != C_OK)
        return status;

    SinkStream decoded;
    if (!Lzma2DecodeToSink(patch, &decoded))
        return C_STREAM_ERROR;
    SourceStream decodedSource;
    decodedSource.Init(decoded);
    SourceStreamSet body;
    if (!body.InitFromStream(decodedSource) || body.Count() < kEnsembleBodyStreams)
        return C_BAD_ENSEMBLE_HEADER;
    return ApplyBody(&applier, &body, output);
}

Status ApplyEnsemblePatchFiles(
    const std::string& oldPath, const std::string& patchPath, const std::string& newPath)
{
    MappedFile patchFile(patchPath);
    if (patchFile.tooLarge())
        KVLOG(LogError) << "patch file too large (4 GiB or more)";
    if (!patchFile.isValid())
        return C_READ_OPEN_ERROR;
    {
        // A patch of the wrong kind is refused before the old file is touched.
        EnsemblePatchApplier probe;
        SourceStream header(patchFile.data(), patchFile.mappedSize());
        const Status status = probe.ReadHeader(&header);
        if (status != C_OK)
            return status;
    }
    MappedFile oldFile(oldPath);
    if (oldFile.tooLarge())
        KVLOG(LogError) << "old file too large (4 GiB or more)";
    if (!oldFile.isValid())
        return C_READ_ERROR;

    SourceStream old(oldFile.data(), oldFile.mappedSize());
    SourceStream patch(patchFile.data(), patchFile.mappedSize());
    SinkStream output;
    const Status status = ApplyEnsemblePatchStreams(&old, &patch, &output);
    if (status != C_OK)
        return status;
    if (!WriteFileReplacing(newPath, output.Buffer(), output.Length()))
        return C_READ_ERROR;
    return C_OK;
}

} // namespace kvpatch
