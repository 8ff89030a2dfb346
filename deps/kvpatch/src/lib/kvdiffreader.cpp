#include "allocation.h"
#include "crc32.h"
#include "kvdiff.h"
#include "logline.h"
#include "lzmaio.h"

#include <cstring>
#include <functional>

namespace kvpatch {

namespace {

struct DiffSections
{
    SourceStream control;
    SourceStream diff;
    SourceStream extra;
};

// Reads three lengths and then the three sections they describe.
bool readRawBody(SourceStream* body, DiffSections* sections)
{
    uint32_t controlLength = 0;
    uint32_t diffLength = 0;
    uint32_t extraLength = 0;
    return body->ReadVarint32(&controlLength) && body->ReadVarint32(&diffLength)
        && body->ReadVarint32(&extraLength)
        && body->ReadSubstream(controlLength, &sections->control)
        && body->ReadSubstream(diffLength, &sections->diff)
        && body->ReadSubstream(extraLength, &sections->extra);
}

// Owns what the compressed methods decode.
struct DecodedBody
{
    SinkStream control;
    SinkStream diff;
    SinkStream extra;
    SinkStream body;
    SourceStream bodySource;
};

// How many bytes of each decoded section of a diff an application can read:
// every diff and every extra byte becomes a new byte, and a triple that
// produces something produces at least one byte, so a writer needs at most
// one such triple (three varints of at most five bytes) per new byte and
// one more. A few hundred bytes of LZMA2 decode to gigabytes: a section
// that announces more holds bytes that nothing reads, and is refused before
// it is decoded.
// Triples that produce nothing and only move in the old data are valid in
// any number, so their bytes cannot be bounded by the new size: the control
// bytes get room beyond that in proportion to the bytes the block was sent
// in. A do-nothing triple then costs memory only as far as data actually
// received pays for it.
constexpr uint64_t kTripleBytes = 15;
constexpr uint64_t kControlBytesPerReceived = 64;

// The diff and the extra section are bounded by the new size itself.
struct SectionLimits
{
    uint32_t control;
    uint32_t body; // the one block of method 2: three lengths and the sections
};

uint32_t capped(uint64_t bytes)
{
    return bytes < UINT32_MAX ? uint32_t(bytes) : UINT32_MAX;
}

uint64_t controlBound(uint32_t newSize, uint64_t received)
{
    return kTripleBytes * (uint64_t(newSize) + 1) + kControlBytesPerReceived * received;
}

SectionLimits sectionLimits(uint32_t newSize, const DiffBounds& bounds, const SourceStream& block)
{
    const uint64_t blockBytes = Lzma2BlockLength(block);
    const uint64_t control
        = controlBound(newSize, blockBytes < bounds.received ? blockBytes : bounds.received);
    return {capped(control), capped(kTripleBytes + control + 2 * uint64_t(newSize))};
}

// Decodes the block at the cursor unless it announces more than `most`
// bytes; `oversized` tells that refusal apart from a damaged block.
bool decodeSection(SourceStream* source, SinkStream* output, uint32_t most, bool* oversized)
{
    // The property byte, then the announced size.
    SourceStream header = *source;
    uint32_t announced = 0;
    if (header.Skip(1) && header.ReadVarint32(&announced) && announced > most)
        *oversized = true;
    return Lzma2DecodeToSink(source, output, most);
}

bool readSections(uint8_t method, SourceStream* source, uint32_t newSize, const DiffBounds& bounds,
    DecodedBody* decoded, DiffSections* sections, bool* oversized)
{
    switch (method) {
    case DiffThreeBlocks:
        if (!decodeSection(source, &decoded->control,
                sectionLimits(newSize, bounds, *source).control, oversized)
            || !decodeSection(source, &decoded->diff, newSize, oversized)
            || !decodeSection(source, &decoded->extra, newSize, oversized))
            return false;
        sections->control.Init(decoded->control);
        sections->diff.Init(decoded->diff);
        sections->extra.Init(decoded->extra);
        return true;
    case DiffOneBlock:
        if (!decodeSection(
                source, &decoded->body, sectionLimits(newSize, bounds, *source).body, oversized))
            return false;
        decoded->bodySource.Init(decoded->body);
        return readRawBody(&decoded->bodySource, sections);
    default:
        return readRawBody(source, sections);
    }
}

// out[i] = diff[i] + old[i], each byte modulo 256. Eight bytes are added
// per step: the low seven bits of every byte are summed without a carry
// leaving the byte, and the top bits are combined by exclusive or.
void addBytes(const uint8_t* diff, const uint8_t* old, size_t length, uint8_t* out)
{
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, diff + i, 8);
        std::memcpy(&b, old + i, 8);
        const uint64_t sum = ((a & kLow7) + (b & kLow7)) ^ ((a ^ b) & kHigh);
        std::memcpy(out + i, &sum, 8);
    }
    for (; i < length; ++i)
        out[i] = uint8_t(diff[i] + old[i]);
}

// addBytes over old bytes [position, position + length) of old data given
// as parts read one after the other; the range lies inside their total.
void addOldBytes(const uint8_t* diff, const ByteRange* parts, size_t count, size_t position,
    size_t length, uint8_t* out)
{
    size_t part = 0;
    while (length > 0 && part < count) {
        if (position >= parts[part].length) {
            position -= parts[part].length;
            ++part;
            continue;
        }
        const size_t available = parts[part].length - position;
        const size_t here = length < available ? length : available;
        addBytes(diff, parts[part].data + position, here, out);
        diff += here;
        out += here;
        length -= here;
        position = 0;
        ++part;
    }
}

// Where the new bytes go: appended to `output`, or, with a `flush`, handed
// over in pieces of up to `piece` bytes, `output` being only the room for
// one piece.
struct DiffOutput
{
    SinkStream* output;
    size_t piece = 0;
    const std::function<bool(const uint8_t*, size_t)>* flush = nullptr;
};

// How much of the diff section is read between two releases of its pages:
// a release a megabyte keeps the calls few.
constexpr size_t kDiscardStep = size_t(1) << 20;

// Runs the control triples until `newSize` bytes have been produced.
bool applyControls(const ByteRange* parts, size_t count, DiffSections* sections, uint32_t newSize,
    const DiffOutput& target, bool discardRead = false)
{
    const uint8_t* discardFrom = sections->diff.Buffer();
    SinkStream* output = target.output;
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += parts[i].length;
    const int64_t oldSize = int64_t(total);
    const size_t base = output->Length();
    // What one step may add to the output: all of it, or the rest of the
    // piece (handed over when full).
    auto room = [&](size_t wanted) {
        if (!target.flush)
            return wanted;
        const size_t left = target.piece - (output->Length() - base);
        return wanted < left ? wanted : left;
    };
    auto handOver = [&](bool last) {
        const size_t held = output->Length() - base;
        if (!target.flush || held == 0 || (!last && held < target.piece))
            return true;
        const bool handed = (*target.flush)(output->Buffer() + base, held);
        output->Bytes().truncate(uint32_t(base));
        return handed;
    };
    int64_t oldPosition = 0;
    uint32_t produced = 0;
    while (produced < newSize) {
        int32_t addLength = 0;
        int32_t copyLength = 0;
        int32_t seek = 0;
        if (!sections->control.ReadVarint32Signed(&addLength)
            || !sections->control.ReadVarint32Signed(&copyLength)
            || !sections->control.ReadVarint32Signed(&seek)) {
            KVLOG(LogError) << "Corrupt patch reading control";
            return false;
        }
        if (addLength < 0 || copyLength < 0 || oldPosition < 0 || oldPosition + addLength > oldSize
            || size_t(addLength) > sections->diff.Remaining())
            return false;
        if (uint64_t(produced) + uint64_t(addLength) > newSize) {
            KVLOG(LogError) << "Corrupt patch";
            return false;
        }
        // The room was reserved up front, so the sums go straight into it in
        // one pass (no copy of the diff bytes first).
        for (size_t left = size_t(addLength); left > 0;) {
            const size_t here = room(left);
            uint8_t* added = output->MutableBuffer() + output->Length();
            if (!output->Bytes().grow(here))
                return false;
            addOldBytes(sections->diff.Buffer(), parts, count, size_t(oldPosition), here, added);
            sections->diff.Skip(here);
            if (discardRead && size_t(sections->diff.Buffer() - discardFrom) >= kDiscardStep)
                discardFrom = DiscardPages(discardFrom, sections->diff.Buffer());
            oldPosition += int64_t(here);
            left -= here;
            if (!handOver(false))
                return false;
        }
        produced += uint32_t(addLength);

        if (uint64_t(produced) + uint64_t(copyLength) > newSize) {
            KVLOG(LogError) << "Corrupt patch";
            return false;
        }
        if (size_t(copyLength) > sections->extra.Remaining())
            return false;
        for (size_t left = size_t(copyLength); left > 0;) {
            const size_t here = room(left);
            if (!output->Write(sections->extra.Buffer(), here))
                return false;
            sections->extra.Skip(here);
            left -= here;
            if (!handOver(false))
                return false;
        }
        produced += uint32_t(copyLength);

        oldPosition += seek;
    }
    return handOver(true);
}

// Reads the diff's method, size and sections, refusing a new size that
// the bounds do not allow or sections larger than it could use.
bool readDiff(SourceStream* diff, const DiffBounds& bounds, DecodedBody* decoded,
    DiffSections* sections, uint32_t* newSize, bool* oversized)
{
    bool ignored = false;
    if (!oversized)
        oversized = &ignored;
    uint8_t method = 0;
    if (!diff->Read(&method, 1))
        return false;
    if (method > DiffOneBlock) {
        KVLOG(LogError) << "Invalid compression method";
        return false;
    }
    if (!diff->ReadVarint32(newSize))
        return false;
    if (bounds.exact && *newSize != bounds.newSize) {
        KVLOG(LogError) << "diff output size " << *newSize << " is not the expected "
                        << bounds.newSize;
        *oversized = true;
        return false;
    }
    if (*newSize > bounds.newSize) {
        KVLOG(LogError) << "diff output size " << *newSize << " above limit " << bounds.newSize;
        *oversized = true;
        return false;
    }
    return readSections(method, diff, *newSize, bounds, decoded, sections, oversized);
}

} // namespace

uint64_t DiffBytesBound(uint32_t newSize, uint64_t received)
{
    // Method and new size, three lengths, the sections.
    return 6 + kTripleBytes + controlBound(newSize, received) + 2 * uint64_t(newSize);
}

bool ApplyDiff(SourceStream* oldData, SourceStream* diff, SinkStream* output, bool header,
    const DiffBounds& bounds)
{
    const ByteRange old = {oldData->Buffer(), oldData->Remaining()};
    return ApplyDiffToParts(&old, 1, diff, output, header, bounds);
}

bool ApplyDiffToParts(const ByteRange* parts, size_t count, SourceStream* diff, SinkStream* output,
    bool header, const DiffBounds& bounds, bool discardRead, bool* oversized)
{
    uint32_t storedCrc = 0;
    if (header) {
        char magic[sizeof(kDiffMagic)];
        if (!diff->Read(magic, sizeof(magic)))
            return false;
        if (std::memcmp(magic, kDiffMagic, sizeof(kDiffMagic)) != 0) {
            KVLOG(LogError) << "Corrupt patch header";
            return false;
        }
        if (!diff->ReadVarint32(&storedCrc)) {
            KVLOG(LogError) << "Could not read crc";
            return false;
        }
    }

    uint32_t newSize = 0;
    DecodedBody decoded;
    DiffSections sections;
    if (!readDiff(diff, bounds, &decoded, &sections, &newSize, oversized))
        return false;
    // Every output byte comes from a diff or an extra byte, so those bound
    // the room; the new size is only a claim.
    const uint64_t producible = uint64_t(sections.diff.Remaining()) + sections.extra.Remaining();
    if (!output->Reserve(producible < newSize ? size_t(producible) : size_t(newSize)))
        return false;
    const size_t base = output->Length();
    if (!applyControls(parts, count, &sections, newSize, {output}, discardRead))
        return false;

    if (header && ComputeCrc32(output->Buffer() + base, newSize) != storedCrc) {
        KVLOG(LogError) << "crc mismatch";
        return false;
    }
    return true;
}

bool ApplyDiffToPartsInPieces(const ByteRange* parts, size_t count, SourceStream* diff,
    size_t piece, const std::function<bool(const uint8_t*, size_t)>& flush,
    const DiffBounds& bounds, bool discardRead, bool* oversized)
{
    uint32_t newSize = 0;
    DecodedBody decoded;
    DiffSections sections;
    if (piece == 0 || !readDiff(diff, bounds, &decoded, &sections, &newSize, oversized))
        return false;
    SinkStream buffer;
    if (!buffer.Reserve(newSize < piece ? newSize : piece))
        return false;
    return applyControls(parts, count, &sections, newSize, {&buffer, piece, &flush}, discardRead);
}

} // namespace kvpatch
