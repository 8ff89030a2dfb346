#include "ensemblepatchmaker.h"

#include "allocation.h"
#include "compressedsize.h"
#include "crc32.h"
#include "ensemblepatch.h"
#include "executableelements.h"
#include "freedmemory.h"
#include "inputfile.h"
#include "kvdiff.h"
#include "labelmatcher.h"
#include "lzmaio.h"
#include "patcherx86_32.h"
#include "replacingfilewriter.h"
#include "setaside.h"
#include "sharedcontent.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "streamset.h"

#include <climits>
#include <cstring>
#include <functional>
#include <vector>

using namespace kvpatch;

namespace kvpatchmaker {

namespace {

// A copy of the new file is tried when the best patch exceeds this fraction
// of the new file's size.
const size_t kCopyWorthTrying = 16;

// Diffing a large file takes minutes and memory several times its size. When
// less than this fraction of the new file repeats blocks of the old one
// verbatim, the diffs have not come out smaller than the compressed copy
// on real release pairs (a library two major versions apart shares about a
// fifth, point releases 45 to 60 percent), and the copy is made alone.
const double kLittleShared = 0.25;
const size_t kDiffsWorthSkippingFrom = size_t(16) << 20;

// Dictionary of a diff body: its repeats are near each other, and a small
// window spares the maker and every applier the memory of one as large as
// the body. On real release pairs the bodies came out smaller with each
// halving of the window down to 64 KiB (and the encoder's match finder,
// about ten times the window, shrank with it); at 32 KiB one grew by 5
// percent, so the window stays a step above that. A copy of the new file
// keeps the full window, as any compressor of the file would.
const uint32_t kBodyWindow = 128 << 10;

// The strongest compression of a diff body is taken to come out no more
// than a quarter below the quick one (on real release pairs it came out 8
// to 16 percent below).
const size_t kQuickMargin = 4;

// A buffer of the engine's allocator: large ones are mappings of their own,
// whose pages cost nothing until written and can be let go on their own.
class RawBuffer
{
public:
    explicit RawBuffer(size_t length)
        : m_data(static_cast<uint8_t*>(TryAllocate(length)))
    {
    }
    ~RawBuffer() { FreeAllocation(m_data); }
    RawBuffer(const RawBuffer&) = delete;
    RawBuffer& operator=(const RawBuffer&) = delete;

    explicit operator bool() const { return m_data != nullptr; }
    uint8_t* get() const { return m_data; }

private:
    uint8_t* m_data;
};

// Old and new element of one pair; the patch transforms the old one and
// corrects its encoding into the new one's.
struct ElementPair
{
    ExecutableElement old;
    ExecutableElement fresh;
};

// Whether an element encodes. Each side's encoding goes before the other is
// made: two at once were the peak of the probe.
bool Encodes(const uint8_t* element, size_t length)
{
    bool encodes = false;
    {
        SinkStreamSet probe;
        encodes = TransformElement(element, length, &probe) == C_OK;
    }
    ReturnFreedMemory();
    return encodes;
}

// Pairs the i-th element of the old file with the i-th of the new one
// and keeps the pairs whose both sides encode.
std::vector<ElementPair> PairElements(
    const uint8_t* oldData, size_t oldLength, const uint8_t* newData, size_t newLength)
{
    std::vector<ElementPair> pairs;
    ExecutableElementList oldElements;
    ExecutableElementList newElements;
    if (FindExecutableElements(oldData, oldLength, &oldElements) != C_OK
        || FindExecutableElements(newData, newLength, &newElements) != C_OK)
        return pairs;
    for (uint32_t i = 0; i < oldElements.count && i < newElements.count; ++i) {
        const ExecutableElement& o = oldElements.items[i];
        const ExecutableElement& n = newElements.items[i];
        if (Encodes(oldData + o.offset, o.length) && Encodes(newData + n.offset, n.length))
            pairs.push_back({o, n});
    }
    return pairs;
}

bool Diff(SinkStream* from, SinkStream* to, SinkStream* out, uint8_t method)
{
    SourceStream old;
    old.Init(*from);
    SourceStream fresh;
    fresh.Init(*to);
    return GenerateDiff(&old, &fresh, out, false, method);
}

// The serialised parameter sets: one empty nested set per element, as
// the patcher predicts none and needs none.
bool SerializeParameters(size_t elements, SinkStream* out)
{
    SinkStreamSet set;
    for (size_t i = 0; i < elements; ++i) {
        SinkStreamSet none;
        if (!set.WriteNested(&none))
            return false;
    }
    return set.WriteAll(out);
}

// The old side is encoded exactly as the applier will; the new side with its
// label indices carried over from the old element.
// `mapped`: the inputs are file mappings, and each old element's pages are
// unmapped once it has been read for the last time.
bool SerializeEncodings(const uint8_t* oldData, const uint8_t* newData,
    const std::vector<ElementPair>& pairs, bool oldSide, bool mapped, SinkStream* out)
{
    SinkStreamSet set;
    for (const ElementPair& pair : pairs) {
        const uint8_t* oldElement = oldData + pair.old.offset;
        const uint8_t* newElement = newData + pair.fresh.offset;
        SinkStreamSet element;
        const Status status = oldSide ? TransformElement(oldElement, pair.old.length, &element)
                                      : TransformElementAfter(oldElement, pair.old.length,
                                          newElement, pair.fresh.length, &element, [&] {
                                              if (mapped)
                                                  ReleaseMappedPages(oldElement, pair.old.length);
                                          });
        if (status != C_OK || !set.WriteNested(&element))
            return false;
    }
    return set.WriteAll(out);
}

// The new elements as the applier assembles them from their encodings; it
// diffs the new file against the old file followed by these bytes.
bool AssembleElements(
    size_t elements, const uint8_t* correctedEncodings, size_t length, SinkStream* assembled)
{
    SourceStreamSet set;
    if (!set.Init(correctedEncodings, length))
        return false;
    for (size_t i = 0; i < elements; ++i) {
        SourceStreamSet element;
        if (!set.ReadNested(&element) || RebuildElement(&element, assembled) != C_OK
            || !element.AllConsumed())
            return false;
    }
    return set.AllConsumed();
}

bool WriteParameterStream(const std::vector<ElementPair>& pairs, SinkStream* out)
{
    bool ok = out->WriteSizeVarint32(pairs.size());
    for (const ElementPair& pair : pairs)
        ok = ok && out->WriteVarint32(pair.old.type);
    for (const ElementPair& pair : pairs)
        ok = ok && out->WriteVarint32(pair.old.offset) && out->WriteVarint32(pair.old.length);
    return ok;
}

// A diff that takes every new byte from its extra section and none from the
// old data: what the patch is where old and new share (almost) nothing, so
// that it comes out no larger than a compressed copy of the new file.
bool WriteCopyDiff(const uint8_t* newData, size_t newLength, SinkStream* out)
{
    SinkStream control;
    const uint8_t method = DiffRaw;
    if (newLength > size_t(INT32_MAX) || !control.WriteVarint32Signed(0)
        || !control.WriteVarint32Signed(int32_t(newLength)) || !control.WriteVarint32Signed(0))
        return false;
    return out->Write(&method, 1) && out->WriteSizeVarint32(newLength)
        && out->WriteSizeVarint32(control.Length()) && out->WriteSizeVarint32(0)
        && out->WriteSizeVarint32(newLength) && out->Write(control.Buffer(), control.Length())
        && out->Write(newData, newLength);
}

// The diff from the final input to the new file where the new file is
// exactly the assembled elements that end the final input (the elements
// cover the whole file, as an ELF or PE file's single element does): move to
// the elements and add them unchanged, the triples a search would find.
// Spares the suffix array of the whole final input, four times its size.
bool WriteTailDiff(size_t oldLength, size_t newLength, SinkStream* out)
{
    SinkStream control;
    const uint8_t method = DiffRaw;
    if (oldLength > size_t(INT32_MAX) || newLength > size_t(INT32_MAX)
        || !control.WriteVarint32Signed(0) || !control.WriteVarint32Signed(0)
        || !control.WriteVarint32Signed(int32_t(oldLength))
        || !control.WriteVarint32Signed(int32_t(newLength)) || !control.WriteVarint32Signed(0)
        || !control.WriteVarint32Signed(-int32_t(newLength)))
        return false;
    if (!out->Write(&method, 1) || !out->WriteSizeVarint32(newLength)
        || !out->WriteSizeVarint32(control.Length()) || !out->WriteSizeVarint32(newLength)
        || !out->WriteSizeVarint32(0) || !out->Write(control.Buffer(), control.Length())
        || !out->Reserve(newLength))
        return false;
    static const uint8_t kZeros[4096] = {};
    for (size_t left = newLength; left > 0;) {
        const size_t chunk = left < sizeof(kZeros) ? left : sizeof(kZeros);
        if (!out->Write(kZeros, chunk))
            return false;
        left -= chunk;
    }
    return true;
}

// Stream 3: the diff from the final input (the old file, then the assembled
// new elements) to the new file. `mapped`: the new file is a file mapping,
// whose pages are not needed while the final input is indexed, and are let
// go behind the search.
bool WriteFinalDiff(const uint8_t* oldData, size_t oldLength, const uint8_t* newData,
    size_t newLength, SinkStream* assembled, uint8_t method, bool mapped, SinkStream* out)
{
    if (method == DiffRaw && newLength > 0 && assembled->Length() == newLength
        && std::memcmp(assembled->Buffer(), newData, newLength) == 0) {
        assembled->Release();
        return WriteTailDiff(oldLength, newLength, out);
    }
    SourceStream newSource(newData, newLength);
    DiffWriterHooks hooks;
    if (mapped) {
        ReleaseMappedPages(newData, newLength);
        hooks.newRead = [newData](size_t done) { ReleaseMappedPages(newData, done); };
    }
    if (assembled->Length() == 0) {
        SourceStream oldSource(oldData, oldLength);
        return GenerateDiff(&oldSource, &newSource, out, false, method, hooks);
    }
    SinkStream finalInput;
    if (!finalInput.Reserve(oldLength + assembled->Length())
        || !finalInput.Write(oldData, oldLength) || !finalInput.Append(assembled))
        return false;
    ReturnFreedMemory();
    SourceStream finalSource;
    finalSource.Init(finalInput);
    return GenerateDiff(&finalSource, &newSource, out, false, method, hooks);
}

bool MakePatch(const uint8_t* oldData, size_t oldLength, const uint8_t* newData, size_t newLength,
    const std::vector<ElementPair>& pairs, const PatchOptions& options, SinkStream* patch,
    bool copy = false, size_t toBeat = 0)
{
    const uint8_t method = options.diffMethod;
    SinkStreamSet body;
    body.Init(kEnsembleBodyStreams);
    if (!WriteParameterStream(pairs, body.Stream(0)))
        return false;

    SinkStream predicted;
    SinkStream corrected;
    if (!SerializeParameters(pairs.size(), &predicted)
        || !SerializeParameters(pairs.size(), &corrected)
        || !Diff(&predicted, &corrected, body.Stream(1), method))
        return false;

    SinkStream transformed;
    SinkStream correctedEncodings;
    // The new side first: its encoding is the step that needs the most
    // memory, and the old side's encoding is not held meanwhile. The new
    // file is read only once the old program is gone, and not at all while
    // the old side is encoded: its pages go meanwhile.
    if (options.inputsMapped)
        ReleaseMappedPages(newData, newLength);
    if (!SerializeEncodings(
            oldData, newData, pairs, false, options.inputsMapped, &correctedEncodings))
        return false;
    if (options.inputsMapped)
        ReleaseMappedPages(newData, newLength);
    if (!SerializeEncodings(oldData, newData, pairs, true, false, &transformed))
        return false;
    // Diffing the encodings needs neither file, and its suffix array is the
    // largest structure of the patch.
    if (options.inputsMapped && !pairs.empty()) {
        ReleaseMappedPages(oldData, oldLength);
        ReleaseMappedPages(newData, newLength);
    }
    // The new side's encoding is first read once the old side's is indexed,
    // then from its start on, and once more by the assembly: it is set aside
    // deflated meanwhile, and its pages go behind the search (so the suffix
    // array is built beside a fraction of it).
    SetAside newSide;
    if (!newSide.keep(correctedEncodings.Buffer(), correctedEncodings.Length()))
        return false;
    correctedEncodings.Release();
    ReturnFreedMemory();
    {
        RawBuffer restored(newSide.length());
        if (!restored)
            return false;
        SourceStream old;
        old.Init(transformed);
        SourceStream fresh(restored.get(), newSide.length());
        DiffWriterHooks hooks;
        hooks.indexed = [&] { return newSide.restore(restored.get()); };
        hooks.newRead = [&](size_t done) { ReleaseMappedPages(restored.get(), done); };
        if (!GenerateDiff(&old, &fresh, body.Stream(2), false, method, hooks))
            return false;
    }
    transformed.Release();
    ReturnFreedMemory();

    SinkStream assembled;
    {
        RawBuffer restored(newSide.length());
        if (!restored || !newSide.restore(restored.get())
            || !AssembleElements(pairs.size(), restored.get(), newSide.length(), &assembled))
            return false;
    }
    newSide.clear();
    ReturnFreedMemory();
    const size_t finalInputLength = oldLength + assembled.Length();
    if (copy ? !WriteCopyDiff(newData, newLength, body.Stream(3))
             : !WriteFinalDiff(oldData, oldLength, newData, newLength, &assembled, method,
                 options.inputsMapped, body.Stream(3)))
        return false;
    assembled.Release();
    ReturnFreedMemory();

    // Writing the set releases its streams.
    SinkStream serializedBody;
    if (!body.WriteAll(&serializedBody))
        return false;
    ReturnFreedMemory();
    const uint32_t window = copy ? 0 : kBodyWindow;
    // Compressing at the strongest preset takes as long as all the rest of
    // the patch. One that would not beat `toBeat` even at a quarter below its
    // quick size is not finished.
    if (toBeat != 0) {
        const size_t quick
            = QuickCompressedSize(serializedBody.Buffer(), serializedBody.Length(), window);
        if (quick - quick / kQuickMargin > toBeat)
            return false;
    }
    const uint32_t oldCrc = ComputeCrc32(oldData, oldLength);
    const uint32_t newCrc = ComputeCrc32(newData, newLength);
    // The body holds all the compressor needs, and its match finder is ten
    // times its window: on a large copy the files' pages are a quarter of
    // the peak.
    if (options.inputsMapped) {
        ReleaseMappedPages(oldData, oldLength);
        ReleaseMappedPages(newData, newLength);
    }
    return patch->WriteVarint32(kEnsemblePatchMagic) && patch->WriteVarint32(kEnsemblePatchVersion)
        && patch->WriteVarint32(oldCrc) && patch->WriteVarint32(newCrc)
        && patch->WriteSizeVarint32(finalInputLength)
        && Lzma2EncodeBuffer(serializedBody.Buffer(), serializedBody.Length(), patch, window);
}

} // namespace

bool MakeEnsemblePatch(const uint8_t* oldData, size_t oldLength, const uint8_t* newData,
    size_t newLength, SinkStream* patch, const PatchOptions& options, PatchSummary* summary)
{
    ReturnFreedMemory();
    const std::vector<ElementPair> none;
    if (options.preferSmaller && newLength >= kDiffsWorthSkippingFrom
        && SharedFraction(oldData, oldLength, newData, newLength) < kLittleShared) {
        SinkStream copy;
        if (MakePatch(oldData, oldLength, newData, newLength, none, options, &copy, true)) {
            if (summary)
                summary->elements = 0;
            return patch->Append(&copy);
        }
    }
    std::vector<ElementPair> pairs;
    if (options.findElements)
        pairs = PairElements(oldData, oldLength, newData, newLength);
    ReturnFreedMemory();

    SinkStream withElements;
    const bool elementsMade = !pairs.empty()
        && MakePatch(oldData, oldLength, newData, newLength, pairs, options, &withElements);
    SinkStream plain;
    // The patch without elements is only finished where it may come out
    // smaller than the one with them.
    const bool plainMade = (!elementsMade || options.preferSmaller)
        && MakePatch(oldData, oldLength, newData, newLength, none, options, &plain, false,
            elementsMade ? withElements.Length() : 0);

    const bool useElements
        = elementsMade && (!plainMade || withElements.Length() <= plain.Length());
    SinkStream* best = useElements ? &withElements : plainMade ? &plain : nullptr;
    if (!best)
        return false;
    // Where old and new share little, diffing costs more than storing the
    // new file. Only then is the copy worth its compression time: executable
    // code does not compress to a small fraction of its size.
    SinkStream copy;
    if (options.preferSmaller && best->Length() > newLength / kCopyWorthTrying
        && MakePatch(oldData, oldLength, newData, newLength, none, options, &copy, true)
        && copy.Length() < best->Length())
        best = &copy;
    if (summary)
        summary->elements = best == &withElements ? uint32_t(pairs.size()) : 0;
    return patch->Append(best);
}

bool MakeEnsemblePatchFile(const std::string& oldPath, const std::string& newPath,
    const std::string& patchPath, const PatchOptions& options, PatchSummary* summary,
    std::string* error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    InputFile oldFile("OLD", oldPath);
    InputFile newFile("NEW", newPath);
    if (!oldFile.open()) {
        *error = oldFile.error();
        return false;
    }
    if (!newFile.open()) {
        *error = newFile.error();
        return false;
    }
    // The applier opens the old file mapped, and an empty file cannot be
    // mapped: such a patch could never be applied.
    if (oldFile.empty()) {
        *error = "OLD '" + oldPath + "' is empty; the updater cannot patch an empty file";
        return false;
    }
    if (oldFile.isSameFileAs(patchPath) || newFile.isSameFileAs(patchPath)) {
        *error = "PATCH '" + patchPath + "' is the same file as "
            + (oldFile.isSameFileAs(patchPath) ? "OLD" : "NEW");
        return false;
    }
    PatchOptions mapped = options;
    mapped.inputsMapped = true;
    SinkStream patch;
    if (!MakeEnsemblePatch(oldFile.data(), oldFile.size(), newFile.data(), newFile.size(), &patch,
            mapped, summary)) {
        *error = "could not make a patch from '" + oldPath + "' to '" + newPath + "'";
        return false;
    }
    if (!WriteFileReplacing(patchPath, patch.Buffer(), patch.Length())) {
        *error = "PATCH '" + patchPath + "' could not be written";
        return false;
    }
    return true;
}

} // namespace kvpatchmaker
