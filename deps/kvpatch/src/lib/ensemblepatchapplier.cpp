#include "ensemblepatchapplier.h"

#include "allocation.h"
#include "crc32.h"
#include "encodedprogram.h"
#include "ensemblepatch.h"
#include "filetype.h"
#include "kvdiff.h"
#include "logline.h"
#include "lzmaio.h"
#include "mappedfile.h"
#include "patcherx86_32.h"
#include "replacingfilewriter.h"
#include "sourcestream.h"
#include "streamset.h"

#include <atomic>
#include <new>
#include <system_error>
#include <thread>

namespace kvpatch {

namespace {

// A diff that fails is a general error; one refused because a section of
// it would decode to more than its new data could use is a stream failure
// (the section's block is refused), found before it is decoded.
Status DiffFailure(bool oversized)
{
    return oversized ? C_STREAM_ERROR : C_GENERAL_ERROR;
}

} // namespace

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

void EnsemblePatchApplier::SetNewSize(uint32_t newSize, uint64_t bodyBytes)
{
    m_newSizeKnown = true;
    m_newSize = newSize;
    m_bodyBytes = bodyBytes;
}

DiffBounds EnsemblePatchApplier::ElementDiffBounds() const
{
    if (!m_newSizeKnown)
        return {};
    // The new elements are slices of the new file; their corrected
    // parameters and encoded programs are no larger than programs of that
    // size encode to.
    DiffBounds bounds(EncodedProgramsBound(m_newSize));
    bounds.received = m_bodyBytes;
    return bounds;
}

DiffBounds EnsemblePatchApplier::FinalDiffBounds() const
{
    if (!m_newSizeKnown)
        return {};
    DiffBounds bounds(m_newSize);
    bounds.exact = true;
    bounds.received = m_bodyBytes;
    return bounds;
}

bool EnsemblePatchApplier::LayoutAllowed(const uint32_t* lengths) const
{
    if (!m_newSizeKnown)
        return true;
    const uint32_t elements = EncodedProgramsBound(m_newSize);
    const uint64_t elementDiff = DiffBytesBound(elements, m_bodyBytes);
    return lengths[0] <= elements && lengths[1] <= elementDiff && lengths[2] <= elementDiff
        && lengths[3] <= DiffBytesBound(m_newSize, m_bodyBytes);
}

uint32_t EnsemblePatchApplier::BodyLimit() const
{
    if (!m_newSizeKnown)
        return UINT32_MAX;
    // The set's header (magic, count, ten lengths), the element parameters,
    // the two diffs of the elements and the final diff. Streams beyond the
    // fourth are read by nothing and have no room of their own.
    const uint32_t elements = EncodedProgramsBound(m_newSize);
    const uint64_t limit = 4 + 1 + 5 * uint64_t(kMaxStreams) + elements
        + 2 * DiffBytesBound(elements, m_bodyBytes) + DiffBytesBound(m_newSize, m_bodyBytes);
    return limit < UINT32_MAX ? uint32_t(limit) : UINT32_MAX;
}

Status EnsemblePatchApplier::SetBase(const uint8_t* base, size_t length, bool releasable)
{
    m_base = base;
    m_baseLength = length;
    m_baseReleasable = releasable;
    return C_OK;
}

Status EnsemblePatchApplier::CheckBaseCrc()
{
    return CheckBaseCrc(ComputeCrc32(m_base, m_baseLength));
}

Status EnsemblePatchApplier::CheckBaseCrc(uint32_t crc) const
{
    return crc == m_sourceCrc ? C_OK : C_BAD_ENSEMBLE_CRC;
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
        PatcherX86_32* patcher
            = new (std::nothrow) PatcherX86_32(m_base, m_baseLength, m_baseReleasable);
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

Status EnsemblePatchApplier::PatchStreamSet(SinkStreamSet* set, SourceStream* diff,
    SourceStreamSet* corrected, SinkStream* scratch, bool discardDiff)
{
    // The diff runs over the set as WriteAll would lay it out, read where
    // its header and streams lie instead of joined in a copy.
    SinkStream header;
    if (set->Count() > kMaxStreams || !set->WriteHeader(&header) || header.Failed())
        return C_STREAM_ERROR;
    ByteRange parts[1 + kMaxStreams];
    size_t count = 0;
    parts[count++] = {header.Buffer(), header.Length()};
    for (uint32_t i = 0; i < set->Count(); ++i) {
        // A stream that could not grow lost its bytes.
        if (set->Stream(i)->Failed())
            return C_STREAM_ERROR;
        parts[count++] = {set->Stream(i)->Buffer(), set->Stream(i)->Length()};
    }
    bool oversized = false;
    const bool applied = ApplyDiffToParts(
        parts, count, diff, scratch, false, ElementDiffBounds(), discardDiff, &oversized);
    for (uint32_t i = 0; i < set->Count(); ++i)
        set->Stream(i)->Release();
    if (!applied)
        return DiffFailure(oversized);
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
    // The diff is about as large as the elements and is read once, front to
    // back: its pages go as it is read, not after the correction.
    return PatchStreamSet(transformed, diff, corrected, &m_correctedTransformed, true);
}

Status EnsemblePatchApplier::RebuildElements(
    SourceStreamSet* correctedTransformed, SinkStream* rebuilt)
{
    // The final diff runs over the old file followed by the rebuilt
    // elements; the old file stays where it is mapped. The header's
    // final-input size is a claim; the room reserved at once is at most
    // twice the encoded elements (an element assembles to about its encoded
    // size). Should assembly produce more, the buffer grows as the bytes
    // arrive.
    const uint64_t expected = 2 * uint64_t(m_correctedTransformed.Length());
    const uint64_t claimed
        = m_finalInputSize > m_baseLength ? uint64_t(m_finalInputSize) - m_baseLength : 0;
    if (!rebuilt->Reserve(size_t(expected < claimed ? expected : claimed)))
        return C_STREAM_ERROR;
    for (uint32_t i = 0; i < m_patcherCount; ++i) {
        SourceStreamSet element;
        if (!correctedTransformed->ReadNested(&element))
            return C_STREAM_ERROR;
        const Status status = m_patchers[i]->Rebuild(&element, rebuilt);
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
    SourceStream* rebuilt, SourceStream* diff, SinkStream* output)
{
    const ByteRange parts[2] = {{m_base, m_baseLength}, {rebuilt->Buffer(), rebuilt->Remaining()}};
    bool oversized = false;
    if (!ApplyDiffToParts(parts, 2, diff, output, false, FinalDiffBounds(), false, &oversized))
        return DiffFailure(oversized);
    if (ComputeCrc32(output->Buffer(), output->Length()) != m_targetCrc)
        return C_BAD_ENSEMBLE_CRC;
    return C_OK;
}

Status EnsemblePatchApplier::PatchFinalOutputInPieces(
    SourceStream* rebuilt, SourceStream* diff, const OutputPieces& write, bool discardDiff)
{
    // Small enough to stay in the cache between being made and written.
    constexpr size_t kPiece = 256 << 10;
    const ByteRange parts[2] = {{m_base, m_baseLength}, {rebuilt->Buffer(), rebuilt->Remaining()}};
    Crc32 crc;
    const OutputPieces check = [&crc, &write](const uint8_t* data, size_t length) {
        crc.Add(data, length);
        return write(data, length);
    };
    bool oversized = false;
    if (!ApplyDiffToPartsInPieces(
            parts, 2, diff, kPiece, check, FinalDiffBounds(), discardDiff, &oversized))
        return DiffFailure(oversized);
    if (crc.Value() != m_targetCrc)
        return C_BAD_ENSEMBLE_CRC;
    return C_OK;
}

namespace {

// The first half of an application: the element parameters (stream 0) and
// their correction (stream 1), then the old elements disassembled and
// encoded. It needs only the start of the body.
struct ElementWork
{
    SinkStreamSet predicted;
    SourceStreamSet correctedParameters;
    SinkStreamSet transformed;
};

Status EncodeOldElements(EnsemblePatchApplier* applier, SourceStream* parameters,
    SourceStream* parameterDiff, ElementWork* work)
{
    Status status = applier->ReadElementParameters(parameters);
    if (status == C_OK)
        status = applier->PredictParameters(&work->predicted);
    if (status == C_OK)
        status = applier->CorrectParameters(
            &work->predicted, parameterDiff, &work->correctedParameters);
    if (status == C_OK)
        status = applier->EncodeElements(&work->correctedParameters, &work->transformed);
    return status;
}

// The encoded elements corrected (stream 2) and assembled.
Status CorrectAndRebuild(EnsemblePatchApplier* applier, ElementWork* work,
    SourceStream* elementDiff, SinkStream* rebuilt)
{
    SourceStreamSet correctedTransformed;
    const Status status
        = applier->CorrectEncodedElements(&work->transformed, elementDiff, &correctedTransformed);
    if (status != C_OK)
        return status;
    return applier->RebuildElements(&correctedTransformed, rebuilt);
}

// Where the streams of a body whose first `ready` bytes are decoded lie:
// false while the set's header is not all there (or is no valid one; the
// whole body is judged later).
struct BodyLayout
{
    size_t start = 0;
    uint32_t count = 0;
    uint32_t lengths[kMaxStreams] = {};
    uint64_t total = 0;

    size_t offset(uint32_t stream) const
    {
        size_t at = start;
        for (uint32_t i = 0; i < stream; ++i)
            at += lengths[i];
        return at;
    }
};

bool ReadBodyLayout(const uint8_t* body, size_t ready, BodyLayout* layout)
{
    SourceStream header(body, ready);
    uint32_t magic = 0;
    if (!header.ReadVarint32(&magic) || magic != kStreamSetMagic
        || !header.ReadVarint32(&layout->count) || layout->count > kMaxStreams
        || layout->count < kEnsembleBodyStreams)
        return false;
    layout->total = 0;
    for (uint32_t i = 0; i < layout->count; ++i) {
        if (!header.ReadVarint32(&layout->lengths[i]))
            return false;
        layout->total += layout->lengths[i];
    }
    layout->start = ready - header.Remaining();
    return true;
}

// The body's decoding runs on a thread of its own while this one
// disassembles the old elements, which needs only the body's first two
// streams. The final diff (stream 3, about as large as the new file) is
// needed only at the end: the decoding waits before it (checking the old
// file meanwhile) until the old elements are encoded and corrected, and
// then writes it apart from the rest, which is freed then: the final diff
// is never held beside the old elements' disassembly nor their correction.
// Statuses are those of doing one after the other: an old file that fails
// its check outranks everything, and a body that fails to decode (20) or
// is no set of four streams (7) outranks whatever the elements gave.
// What an application through files adds: the new file is handed over in
// pieces, and the old file's pages may leave memory while it is not read
// (between the first half and the final diff).
struct FileHooks
{
    EnsemblePatchApplier::OutputPieces write;
    // The old file's CRC read from the file rather than through its
    // mapping, which would make every page resident again while the
    // disassembly lets them go.
    std::function<uint32_t()> oldCrc;
    std::function<void()> oldIdle;
};

Status DecodeAndApply(EnsemblePatchApplier* applier, SourceStream* patch, SinkStream* decoded,
    SinkStream* output, const FileHooks* hooks)
{
    const auto checkBase = [applier, hooks] {
        return hooks ? applier->CheckBaseCrc(hooks->oldCrc()) : applier->CheckBaseCrc();
    };
    Lzma2BlockDecoder decoder;
    if (!decoder.Begin(patch, decoded, applier->BodyLimit())) {
        const Status baseCrc = checkBase();
        return baseCrc != C_OK ? baseCrc : C_STREAM_ERROR;
    }
    // The decoding first stops after a few bytes, where this thread decides
    // where it is to stop next (before the final diff), so that it cannot
    // have run past that point by then.
    constexpr size_t kFirstLook = 4096;
    bool looking = decoder.HoldAt(kFirstLook);
    // The old file's check runs on the decoding thread too: that thread has
    // time to spare, this one has the disassembly. It runs while the
    // decoding waits before the final diff, else after the body. Without
    // elements this thread has nothing to do before the final diff, so it
    // claims the check and runs it while the final diff decodes. Whichever
    // thread claims it runs it; a wrong old file is still refused before
    // the elements' result is looked at.
    Status baseCrc = C_OK;
    std::atomic<bool> checkClaimed {false};
    const auto claimCheck = [&checkClaimed] { return !checkClaimed.exchange(true); };
    const auto check = [&baseCrc, &checkBase] { baseCrc = checkBase(); };
    std::atomic<bool> finalHold {false};
    auto decodeAndCheck = [&decoder, &finalHold, &claimCheck, &check] {
        decoder.Run([&] {
            if (finalHold && claimCheck())
                check();
        });
        if (claimCheck())
            check();
    };
    std::thread worker;
    try {
        worker = std::thread(decodeAndCheck);
    } catch (const std::system_error&) {
        decoder.Resume();
        looking = false;
        decodeAndCheck();
    }

    // The stream-set header is a few bytes; the first streams are small.
    ElementWork work;
    BodyLayout layout;
    bool early = false;
    bool held = false;
    bool checkHere = false;
    Status earlyStatus = C_OK;
    bool refused = false;
    const uint8_t* body = decoded->MutableBuffer() + decoded->Length();
    size_t wanted = 64;
    for (;;) {
        const size_t ready = decoder.WaitFor(wanted);
        size_t needed = 0;
        if (ReadBodyLayout(body, ready, &layout)) {
            // Streams that the new file could not use are not decoded.
            if (!applier->LayoutAllowed(layout.lengths)) {
                refused = true;
                decoder.Stop();
                break;
            }
            needed = layout.offset(2);
            if (needed <= ready) {
                // A first stream that starts with a zero count pairs no
                // elements.
                if (layout.lengths[0] && body[layout.start] == 0)
                    checkHere = claimCheck();
                finalHold = true;
                held = decoder.HoldAt(layout.offset(3));
                if (!held)
                    decoder.Resume();
                SourceStream first(body + layout.start, layout.lengths[0]);
                SourceStream second(body + layout.offset(1), layout.lengths[1]);
                early = true;
                earlyStatus = EncodeOldElements(applier, &first, &second, &work);
                break;
            }
        }
        // Not there yet: wait for more unless no more will come.
        if (looking) {
            decoder.Resume();
            looking = false;
        }
        const size_t next = needed > ready ? needed : ready + 64;
        if (decoder.WaitFor(next) <= ready)
            break;
        wanted = next;
    }
    // With the decoding held before the final diff, stream 2 is complete.
    // Once it is applied, nothing before the final diff is read again.
    SinkStream rebuilt;
    SinkStream rest;
    Status elementStatus = C_OK;
    bool rebuiltEarly = false;
    bool split = false;
    if (held && earlyStatus == C_OK && decoder.WaitFor(layout.offset(3)) >= layout.offset(3)) {
        // The old file was checked before the hold was announced; it is
        // read again only by the final diff.
        if (hooks)
            hooks->oldIdle();
        // The final diff decodes apart while the elements are assembled: not
        // while they are corrected, when the old and the new encoded
        // elements are both held (the decoding takes about as long as the
        // assembly alone).
        split = decoder.SplitAtHold(&rest);
        SourceStream elementDiff(body + layout.offset(2), layout.lengths[2]);
        SourceStreamSet correctedTransformed;
        elementStatus = applier->CorrectEncodedElements(
            &work.transformed, &elementDiff, &correctedTransformed);
        decoder.Resume();
        if (split)
            decoded->Release();
        if (elementStatus == C_OK)
            elementStatus = applier->RebuildElements(&correctedTransformed, &rebuilt);
        rebuiltEarly = true;
    }
    decoder.Resume();
    if (checkHere)
        check();
    // Even when the elements failed, the body's own faults come first.
    if (worker.joinable())
        worker.join();
    if (baseCrc != C_OK)
        return baseCrc;
    if (refused || !decoder.Finish())
        return C_STREAM_ERROR;
    SourceStreamSet set;
    SourceStream finalDiff;
    if (split) {
        // The header was read whole before the hold; the streams must fill
        // the body exactly, as a set's do.
        if (layout.total != layout.offset(3) - layout.start + rest.Length())
            return C_BAD_ENSEMBLE_HEADER;
        finalDiff.Init(rest.Buffer(), layout.lengths[3]);
    } else {
        if (!set.Init(decoded->Buffer(), decoded->Length()) || set.Count() < kEnsembleBodyStreams)
            return C_BAD_ENSEMBLE_HEADER;
        finalDiff = *set.Stream(3);
    }
    if (earlyStatus != C_OK)
        return earlyStatus;
    if (!early) {
        const Status status = EncodeOldElements(applier, set.Stream(0), set.Stream(1), &work);
        if (status != C_OK)
            return status;
    }
    if (!rebuiltEarly)
        elementStatus = CorrectAndRebuild(applier, &work, set.Stream(2), &rebuilt);
    if (elementStatus != C_OK)
        return elementStatus;
    SourceStream rebuiltSource;
    rebuiltSource.Init(rebuilt);
    if (hooks) {
        // The final diff is about as large as the new file and is read
        // once, front to back: its pages go as it is read while the old
        // file's come back as they are needed (not all at once ahead).
        return applier->PatchFinalOutputInPieces(&rebuiltSource, &finalDiff, hooks->write, true);
    }
    return applier->PatchFinalOutput(&rebuiltSource, &finalDiff, output);
}

// The CRC of the mapped bytes of `file`, read through a small buffer. A
// read that fails gives a CRC of fewer bytes: the file is then refused as
// a wrong old file.
uint32_t FileCrc(const MappedFile& file)
{
    constexpr size_t kChunk = 64 << 10;
    uint8_t buffer[kChunk];
    Crc32 crc;
    uint64_t at = 0;
    while (at < file.mappedSize()) {
        const uint64_t left = file.mappedSize() - at;
        const size_t wanted = left < kChunk ? size_t(left) : kChunk;
        const size_t got = file.read(at, buffer, wanted);
        if (got == 0)
            break;
        crc.Add(buffer, got);
        at += got;
    }
    return crc.Value();
}

// Applies the patch; the new file goes to `output` or, with `hooks`, is
// handed over in pieces and not kept.
Status ApplyStreams(SourceStream* old, SourceStream* patch, SinkStream* output,
    const FileHooks* hooks, uint64_t newSize)
{
    EnsemblePatchApplier applier;
    Status status = applier.ReadHeader(patch);
    if (status != C_OK)
        return status;
    if (newSize != kNewSizeUnknown) {
        // The engine makes files of less than 4 GiB only.
        if (newSize > UINT32_MAX)
            return C_STREAM_ERROR;
        applier.SetNewSize(uint32_t(newSize), Lzma2BlockLength(*patch));
    }
    // Only a mapped old file (an application through files) may let its
    // pages go.
    if ((status = applier.SetBase(old->Buffer(), old->Remaining(), hooks != nullptr)) != C_OK)
        return status;
    SinkStream decoded;
    return DecodeAndApply(&applier, patch, &decoded, output, hooks);
}

} // namespace

Status ApplyEnsemblePatchStreams(
    SourceStream* old, SourceStream* patch, SinkStream* output, uint64_t newSize)
{
    return ApplyStreams(old, patch, output, nullptr, newSize);
}

Status ApplyEnsemblePatchFiles(const std::string& oldPath, const std::string& patchPath,
    const std::string& newPath, uint64_t newSize)
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
    // The new file goes to disk as it is made rather than being held whole
    // beside the old one and the rebuilt elements. A write that fails is
    // reported only once the application itself succeeded, as when the file
    // was written at the end; until the check passed nothing stands under
    // the new path.
    ReplacingFileWriter file(newPath);
    FileHooks hooks;
    hooks.write = [&file](const uint8_t* data, size_t length) {
        file.Write(data, length);
        return true;
    };
    hooks.oldCrc = [&oldFile] { return FileCrc(oldFile); };
    hooks.oldIdle = [&oldFile] { oldFile.dropResidentPages(); };
    SinkStream unused;
    const Status status = ApplyStreams(&old, &patch, &unused, &hooks, newSize);
    if (status != C_OK)
        return status;
    if (!file.Commit())
        return C_READ_ERROR;
    return C_OK;
}

} // namespace kvpatch
