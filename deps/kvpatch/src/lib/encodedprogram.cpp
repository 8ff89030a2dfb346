#include "encodedprogram.h"

#include "allocation.h"
#include "armbranch.h"
#include "logline.h"
#include "radixsort.h"
#include "streamset.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kvpatch {

namespace {

constexpr uint32_t kUnsetRva = 0xFFFFFFFFu;
constexpr uint32_t kPeEntriesPerBlock = 4096;
constexpr uint32_t kPeHighLowEntry = 3;
constexpr uint32_t kPeDir64Entry = 10;
constexpr uint32_t kElfRelative386 = 8;
constexpr uint32_t kElfRelativeArm = 23;

// Stream numbers of the encoded form.
enum : uint32_t
{
    kStreamBaseAndOrigins = 0,
    kStreamOps = 1,
    kStreamCopyBytes = 2,
    kStreamAbs32Indexes = 3,
    kStreamRel32Indexes = 4,
    kStreamAbs32Rvas = 5,
    kStreamRel32Rvas = 6,
    kStreamCopyCounts = 7,
    kStreamUnused = 8,
    kMinStreams = 8,
};

bool writeU16(SinkStream* out, uint32_t value)
{
    const uint8_t bytes[2] = {uint8_t(value), uint8_t(value >> 8)};
    return out->Write(bytes, 2);
}

bool writeU32(SinkStream* out, uint32_t value)
{
    const uint8_t bytes[4]
        = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return out->Write(bytes, 4);
}

bool setRva(FallibleBuffer<uint32_t>& table, uint32_t index, uint32_t rva)
{
    if (index >= table.size()) {
        if (index == 0xFFFFFFFFu)
            return false;
        const uint32_t size = index + 1;
        // Labels arrive in ascending index order, so growing to exactly the
        // new size every time would copy the table once per label.
        const uint64_t doubled = std::min<uint64_t>(
            uint64_t(table.capacity()) * 2, FallibleBuffer<uint32_t>::kLargestCapacity);
        if (table.capacity() < size && !table.reserve(std::max<uint64_t>(size, doubled)))
            return false;
        for (uint32_t i = table.size(); i < size; ++i)
            table.data()[i] = kUnsetRva;
        table.grow(size - table.size());
    }
    table[index] = rva;
    return true;
}

void fillGaps(FallibleBuffer<uint32_t>& table)
{
    for (uint32_t i = 0; i < table.size(); ++i) {
        if (table[i] == kUnsetRva)
            table[i] = i == 0 ? 0 : table[i - 1];
    }
}

SinkStream* sinkAt(SinkStreamSet* streams, uint32_t index)
{
    return index < streams->Count() ? streams->Stream(index) : nullptr;
}

bool writeVector(SinkStream* out, const FallibleBuffer<uint32_t>& items)
{
    if (!out || !out->WriteSizeVarint32(items.size()))
        return false;
    for (uint32_t i = 0; i < items.size(); ++i) {
        if (!out->WriteVarint32(items[i]))
            return false;
    }
    return true;
}

// `bytes` behind the count `count`. Consumed into an empty stream, the
// bytes move into it behind their count instead of being copied into fresh
// memory.
bool writeCounted(SinkStream* out, FallibleBuffer<uint8_t>& bytes, uint32_t count, bool consume)
{
    if (!out)
        return false;
    if (!consume || out->Length() != 0 || out->Failed() || bytes.failed())
        return out->Reserve(size_t(bytes.size()) + 5) && out->WriteSizeVarint32(count)
            && out->Write(bytes.data(), bytes.size());
    uint8_t prefix[5];
    const size_t prefixLength = EncodeVarint32(count, prefix);
    const uint32_t size = bytes.size();
    if (!bytes.reserve(size_t(size) + prefixLength) || !bytes.grow(prefixLength))
        return false;
    std::memmove(bytes.data() + prefixLength, bytes.data(), size);
    std::memcpy(bytes.data(), prefix, prefixLength);
    out->Bytes().swap(bytes);
    return true;
}

bool writeList(SinkStream* out, VarintList& items, bool consume)
{
    const bool ok = writeCounted(out, items.bytes(), items.size(), consume);
    if (consume)
        items.release();
    return ok;
}

bool writeDeltas(SinkStream* out, const FallibleBuffer<uint32_t>& rvas)
{
    if (!out || !out->WriteSizeVarint32(rvas.size()))
        return false;
    uint32_t previous = 0;
    for (uint32_t i = 0; i < rvas.size(); ++i) {
        if (!out->WriteVarint32(rvas[i] - previous))
            return false;
        previous = rvas[i];
    }
    return true;
}

// Empties ITEMS and reserves exactly the count the stream announces. Every
// entry takes at least one byte, so a count beyond the stream's remaining
// bytes is refused before it can ask for memory.
bool readCount(SourceStream* in, FallibleBuffer<uint32_t>& items, uint32_t* count)
{
    items.truncate(0);
    return in->ReadVarint32(count) && *count <= in->Remaining() && items.reserve(*count);
}

bool readVector(SourceStream* in, FallibleBuffer<uint32_t>& items)
{
    uint32_t count = 0;
    if (!readCount(in, items, &count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!in->ReadVarint32(&value) || !items.push_back(value))
            return false;
    }
    return true;
}

bool readDeltas(SourceStream* in, FallibleBuffer<uint32_t>& rvas)
{
    uint32_t count = 0;
    if (!readCount(in, rvas, &count))
        return false;
    uint32_t rva = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t delta = 0;
        if (!in->ReadVarint32(&delta))
            return false;
        rva += delta;
        if (!rvas.push_back(rva))
            return false;
    }
    return true;
}

bool readBytes(SourceStream* in, FallibleBuffer<uint8_t>& bytes)
{
    bytes.truncate(0);
    uint32_t count = 0;
    if (!in->ReadVarint32(&count) || count > in->Remaining() || !bytes.reserve(count))
        return false;
    return in->Read(bytes.data(), count) && bytes.grow(count);
}

// As readBytes, but the bytes stay where they are in the stream.
bool borrowBytes(SourceStream* in, const uint8_t** bytes, uint32_t* size)
{
    uint32_t count = 0;
    if (!in->ReadVarint32(&count) || count > in->Remaining())
        return false;
    *bytes = in->Buffer();
    *size = count;
    return in->Skip(count);
}

// As readVector, but the entries stay where they are in the stream: they
// are only checked, and `items` covers them.
bool checkVector(SourceStream* in, SourceStream* items, uint32_t* count)
{
    if (!in->ReadVarint32(count) || *count > in->Remaining())
        return false;
    const uint8_t* begin = in->Buffer();
    for (uint32_t i = 0; i < *count; ++i) {
        uint32_t value = 0;
        if (!in->ReadVarint32(&value))
            return false;
    }
    *items = SourceStream(begin, size_t(in->Buffer() - begin));
    return true;
}

// The entries of a vector that the ops consume in order: from the vector,
// or decoded from its stream as they are used.
class BufferCursor
{
public:
    explicit BufferCursor(const FallibleBuffer<uint32_t>& items)
        : m_items(items)
    {
    }
    bool next(uint32_t* value)
    {
        if (m_at >= m_items.size())
            return false;
        *value = m_items[m_at++];
        return true;
    }
    uint32_t left() const { return m_items.size() - m_at; }

private:
    const FallibleBuffer<uint32_t>& m_items;
    uint32_t m_at = 0;
};

class VarintCursor
{
public:
    VarintCursor(const SourceStream& items, uint32_t count)
        : m_items(items)
        , m_left(count)
    {
    }
    bool next(uint32_t* value)
    {
        if (m_left == 0)
            return false;
        --m_left;
        return m_items.ReadVarint32(value);
    }
    uint32_t left() const { return m_left; }

private:
    SourceStream m_items;
    uint32_t m_left;
};

template<typename ListCursor, typename Cursor> struct OpInputs
{
    ListCursor ops;
    Cursor origins;
    ListCursor copyCounts;
    Cursor abs32Ix;
    Cursor rel32Ix;
};

// The label index that an op consumes, checked against its rva table.
template<typename Cursor>
bool nextRva(Cursor& indexes, const FallibleBuffer<uint32_t>& rvas, uint32_t* rva)
{
    uint32_t index = 0;
    if (!indexes.next(&index) || index >= rvas.size())
        return false;
    *rva = rvas[index];
    return true;
}

} // namespace

bool EncodedProgram::SetRel32Rva(uint32_t index, uint32_t rva)
{
    return setRva(m_rel32Rvas, index, rva);
}

bool EncodedProgram::SetAbs32Rva(uint32_t index, uint32_t rva)
{
    return setRva(m_abs32Rvas, index, rva);
}

void EncodedProgram::FillRvaGaps()
{
    fillGaps(m_abs32Rvas);
    fillGaps(m_rel32Rvas);
}

bool EncodedProgram::AddOrigin(uint32_t rva)
{
    return addOp(OP_ORIGIN) && m_origins.push_back(rva);
}

bool EncodedProgram::AddCopy(uint32_t count, const uint8_t* bytes)
{
    // Literal bytes that follow one another become one copy op, however
    // they arrive, so that the ops stream stays short.
    if (!m_ops.empty() && m_ops.back() == OP_COPY1) {
        if (!m_ops.setBack(OP_COPY) || !m_copyCounts.push_back(1))
            return false;
    }
    if (!m_ops.empty() && m_ops.back() == OP_COPY) {
        if (!m_copyCounts.setBack(m_copyCounts.back() + count))
            return false;
        return m_copyBytes.append(bytes, count);
    }
    if (count == 1)
        return addOp(OP_COPY1) && m_copyBytes.append(bytes, 1);
    return addOp(OP_COPY) && m_copyCounts.push_back(count) && m_copyBytes.append(bytes, count);
}

bool EncodedProgram::AddRel32(uint32_t index)
{
    return addOp(OP_REL32) && m_rel32Ix.push_back(index);
}

bool EncodedProgram::AddAbs32(uint32_t index)
{
    return addOp(OP_ABS32) && m_abs32Ix.push_back(index);
}

bool EncodedProgram::AddRel32ARM(uint16_t compressedOp, uint32_t index)
{
    return addOp(compressedOp) && m_rel32Ix.push_back(index);
}

bool EncodedProgram::AddPeRelocTableOp(FileType kind)
{
    return addOp(kind == WIN_32_X86 ? OP_PE32_RELOC_TABLE : OP_PE64_RELOC_TABLE);
}

bool EncodedProgram::AddElfRelocTableOp()
{
    return addOp(OP_ELF_RELOC_TABLE);
}

bool EncodedProgram::AddElfArmRelocTableOp()
{
    return addOp(OP_ELF_ARM_RELOC_TABLE);
}

namespace {

// The labels of one kind from the targets its references carry: numbered
// in address order, each label's address set, and each reference's target
// replaced by its label's number. The distinct targets are sorted apart and
// each reference finds its own among them: that holds four bytes per
// reference at a time, where sorting the references with their positions
// held sixteen, at the peak of an application.
bool labelTargets(FallibleBuffer<uint32_t>& references, FallibleBuffer<uint32_t>& rvas)
{
    const uint32_t n = references.size();
    FallibleBuffer<uint32_t> targets;
    if (!targets.append(references.data(), n))
        return false;
    uint32_t* first = targets.data();
    if (!RadixSortBy32(first, n, [](uint32_t target) { return target; }))
        std::sort(first, first + n);
    const uint32_t labels = uint32_t(std::unique(first, first + n) - first);
    // The table holds exactly one address per label.
    if (!rvas.reserve(uint64_t(rvas.size()) > labels ? rvas.size() : labels))
        return false;
    for (uint32_t label = 0; label < labels; ++label) {
        if (!setRva(rvas, label, first[label]))
            return false;
    }
    if (labels == 0)
        return true;
    // Each reference finds its label through a table of where each slice of
    // the address range starts among the labels, then within its slice: a
    // search over all labels per reference missed the cache at every step.
    constexpr uint32_t kSlices = 1u << 16;
    const uint32_t low = first[0];
    const uint32_t span = first[labels - 1] - low;
    uint32_t shift = 0;
    while ((span >> shift) >= kSlices)
        ++shift;
    const uint32_t slices = (span >> shift) + 1;
    FallibleBuffer<uint32_t> sliceStarts;
    if (!sliceStarts.reserve(size_t(slices) + 1) || !sliceStarts.grow(size_t(slices) + 1))
        return false;
    uint32_t label = 0;
    for (uint32_t slice = 0; slice <= slices; ++slice) {
        while (label < labels && ((first[label] - low) >> shift) < slice)
            ++label;
        sliceStarts[slice] = label;
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t slice = (references[i] - low) >> shift;
        const uint32_t* from = first + sliceStarts[slice];
        const uint32_t* to = first + sliceStarts[slice + 1];
        references[i] = uint32_t(std::lower_bound(from, to, references[i]) - first);
    }
    return true;
}

} // namespace

bool EncodedProgram::LabelReferenceTargets()
{
    if (!labelTargets(m_abs32Ix, m_abs32Rvas) || !labelTargets(m_rel32Ix, m_rel32Rvas))
        return false;
    FillRvaGaps();
    return true;
}

void EncodedProgram::LogSummary() const
{
    KVLOG(LogDebug) << "EncodedProgram Summary"
                    << "\n  image base  " << m_imageBase << "\n  abs32 rvas  " << m_abs32Rvas.size()
                    << "\n  rel32 rvas  " << m_rel32Rvas.size() << "\n  ops         "
                    << m_ops.size() << "\n  origins     " << m_origins.size() << "\n  copy_counts "
                    << m_copyCounts.size() << "\n  copy_bytes  " << m_copyBytes.size()
                    << "\n  abs32_ix    " << m_abs32Ix.size() << "\n  rel32_ix    "
                    << m_rel32Ix.size();
}

bool EncodedProgram::WriteTo(SinkStreamSet* streams)
{
    return writeTo(streams, false);
}

bool EncodedProgram::MoveTo(SinkStreamSet* streams)
{
    return writeTo(streams, true);
}

bool EncodedProgram::writeTo(SinkStreamSet* streams, bool consume)
{
    SinkStream* base = sinkAt(streams, kStreamBaseAndOrigins);
    if (!base || !base->WriteVarint32(static_cast<uint32_t>(m_imageBase)))
        return false;

    // Consumed, each table is freed once written, so that the program and
    // its written form are never both whole.
    auto done = [consume](FallibleBuffer<uint32_t>& items) {
        if (consume)
            items.release();
    };
    bool ok = writeDeltas(sinkAt(streams, kStreamAbs32Rvas), m_abs32Rvas);
    done(m_abs32Rvas);
    ok &= writeDeltas(sinkAt(streams, kStreamRel32Rvas), m_rel32Rvas);
    done(m_rel32Rvas);
    ok &= writeVector(base, m_origins);
    done(m_origins);
    ok &= writeList(sinkAt(streams, kStreamOps), m_ops, consume);
    ok &= writeList(sinkAt(streams, kStreamCopyCounts), m_copyCounts, consume);
    ok &= writeCounted(sinkAt(streams, kStreamCopyBytes), m_copyBytes, m_copyBytes.size(), consume);
    if (consume)
        m_copyBytes.release();
    ok &= writeVector(sinkAt(streams, kStreamAbs32Indexes), m_abs32Ix);
    done(m_abs32Ix);
    ok &= writeVector(sinkAt(streams, kStreamRel32Indexes), m_rel32Ix);
    done(m_rel32Ix);
    return ok;
}

bool EncodedProgram::ReadFrom(SourceStreamSet* streams)
{
    return readFrom(streams, false);
}

bool EncodedProgram::ReadFromBorrowing(SourceStreamSet* streams)
{
    return readFrom(streams, true);
}

bool EncodedProgram::readFrom(SourceStreamSet* streams, bool borrow)
{
    if (streams->Count() < kMinStreams)
        return false;
    uint32_t base = 0;
    if (!streams->Stream(kStreamBaseAndOrigins)->ReadVarint32(&base))
        return false;
    m_imageBase = base;

    // Borrowing, the sequences the ops consume in order are decoded as
    // assembly uses them instead of into tables of their own.
    auto sequence = [borrow, streams](
                        uint32_t stream, FallibleBuffer<uint32_t>& items, Borrowed* borrowed) {
        return borrow ? checkVector(streams->Stream(stream), &borrowed->items, &borrowed->count)
                      : readVector(streams->Stream(stream), items);
    };
    // Lists held in their written form take their bytes once checked.
    auto listSequence = [borrow, streams](uint32_t stream, VarintList& items, Borrowed* borrowed) {
        if (!checkVector(streams->Stream(stream), &borrowed->items, &borrowed->count))
            return false;
        return borrow
            || items.assign(borrowed->items.Buffer(), borrowed->items.Remaining(), borrowed->count);
    };
    if (!readDeltas(streams->Stream(kStreamAbs32Rvas), m_abs32Rvas)
        || !readDeltas(streams->Stream(kStreamRel32Rvas), m_rel32Rvas)
        || !sequence(kStreamBaseAndOrigins, m_origins, &m_borrowedOrigins)
        || !listSequence(kStreamOps, m_ops, &m_borrowedOps)
        || !listSequence(kStreamCopyCounts, m_copyCounts, &m_borrowedCopyCounts)
        || !(borrow
                ? borrowBytes(streams->Stream(kStreamCopyBytes), &m_borrowedBytes, &m_borrowedSize)
                : readBytes(streams->Stream(kStreamCopyBytes), m_copyBytes))
        || !sequence(kStreamAbs32Indexes, m_abs32Ix, &m_borrowedAbs32Ix)
        || !sequence(kStreamRel32Indexes, m_rel32Ix, &m_borrowedRel32Ix))
        return false;

    m_borrowed = borrow;
    // Leftover bytes mean the streams were not made for this format.
    for (uint32_t i = 0; i <= kStreamUnused; ++i) {
        if (!streams->Stream(i)->Empty())
            return false;
    }
    return true;
}

void EncodedProgram::orderAbs32Positions()
{
    // The last position collected keeps its place: the tables that patches
    // were made against have it so, and assembly must match them bit for bit.
    if (m_abs32Positions.size() > 1)
        std::sort(m_abs32Positions.data(), m_abs32Positions.data() + m_abs32Positions.size() - 1);
}

bool EncodedProgram::WritePeRelocTable(SinkStream* out, uint32_t entryType)
{
    orderAbs32Positions();
    uint16_t entries[kPeEntriesPerBlock + 1];
    uint32_t count = 0;
    uint32_t page = 0;

    auto closeBlock = [&]() {
        if (count == 0)
            return true;
        if (count % 2)
            entries[count++] = 0; // blocks stay 4-byte aligned
        if (!writeU32(out, page) || !writeU32(out, 8 + 2 * count))
            return false;
        for (uint32_t i = 0; i < count; ++i) {
            if (!writeU16(out, entries[i]))
                return false;
        }
        count = 0;
        return true;
    };

    for (uint32_t i = 0; i < m_abs32Positions.size(); ++i) {
        const uint32_t position = m_abs32Positions[i];
        const uint32_t positionPage = position & ~0xFFFu;
        if (count > 0 && positionPage != page && !closeBlock())
            return false;
        page = positionPage;
        if (count == kPeEntriesPerBlock)
            return false;
        entries[count++] = static_cast<uint16_t>((position & 0xFFFu) | (entryType << 12));
    }
    return closeBlock();
}

void EncodedProgram::storeElfRelocTable(uint32_t entryType, uint8_t* table)
{
    orderAbs32Positions();
    for (uint32_t i = 0; i < m_abs32Positions.size(); ++i) {
        const uint32_t fields[2] = {m_abs32Positions[i], entryType};
        for (uint32_t field = 0; field < 2; ++field) {
            for (uint32_t byte = 0; byte < 4; ++byte)
                *table++ = uint8_t(fields[field] >> (8 * byte));
        }
    }
}

bool EncodedProgram::WriteElfRelocTable(uint32_t entryType, SinkStream* out)
{
    const uint64_t size = 8 * uint64_t(m_abs32Positions.size());
    if (!FitsSize(size) || !out->Reserve(size_t(size)))
        return false;
    storeElfRelocTable(entryType, out->MutableBuffer() + out->Length());
    return out->Bytes().grow(size);
}

template<typename Inputs>
bool EncodedProgram::assembleOps(Inputs& in, SinkStream* out, SinkStream* deferred, bool* pePending,
    uint32_t* peEntryType, uint32_t* elfEntryType, ElfTableHole* hole)
{
    uint32_t rva = 0;
    uint32_t copyByteAt = 0;
    const uint8_t* copyBytes = m_borrowed ? m_borrowedBytes : m_copyBytes.data();
    const uint32_t copySize = m_borrowed ? m_borrowedSize : m_copyBytes.size();
    SinkStream* destination = out;
    // A quarter megabyte at a time: few calls, little held.
    constexpr uint32_t kReleaseStretch = 256 << 10;
    const uint8_t* released = copyBytes;

    uint32_t op = 0;
    while (in.ops.next(&op)) {
        switch (op) {
        case OP_ORIGIN:
            if (!in.origins.next(&rva))
                return false;
            break;
        case OP_COPY:
        case OP_COPY1: {
            uint32_t count = 1;
            if (op == OP_COPY && !in.copyCounts.next(&count))
                return false;
            if (count > copySize - copyByteAt || !destination->Write(copyBytes + copyByteAt, count))
                return false;
            copyByteAt += count;
            rva += count;
            if (m_releasing && size_t(copyBytes + copyByteAt - released) >= kReleaseStretch)
                released = DiscardPages(released, copyBytes + copyByteAt);
            break;
        }
        case OP_REL32: {
            uint32_t target = 0;
            if (!nextRva(in.rel32Ix, m_rel32Rvas, &target)
                || !writeU32(destination, target - (rva + 4)))
                return false;
            rva += 4;
            break;
        }
        case OP_ABS32: {
            uint32_t target = 0;
            if (!nextRva(in.abs32Ix, m_abs32Rvas, &target) || !m_abs32Positions.push_back(rva)
                || !writeU32(destination, target + static_cast<uint32_t>(m_imageBase)))
                return false;
            rva += 4;
            break;
        }
        case OP_PE32_RELOC_TABLE:
        case OP_PE64_RELOC_TABLE:
            if (*pePending)
                return false;
            // A PE table after an ELF one moves the ELF table behind the
            // PE one; only the deferred form lays that out.
            if (hole && hole->reserved) {
                hole->mustRedo = true;
                return false;
            }
            *pePending = true;
            if (op == OP_PE64_RELOC_TABLE)
                *peEntryType = kPeDir64Entry;
            destination = deferred;
            break;
        case OP_ELF_RELOC_TABLE:
        case OP_ELF_ARM_RELOC_TABLE:
            if (*elfEntryType != 0)
                return false;
            *elfEntryType = op == OP_ELF_RELOC_TABLE ? kElfRelative386 : kElfRelativeArm;
            if (hole && destination == out) {
                // Every abs32 op that follows adds one entry, so the table's
                // size is known now: leave room for it instead of holding
                // back the rest of the program.
                if (!reserveElfTableHole(out, in.abs32Ix.left(), hole))
                    return false;
                break;
            }
            destination = deferred;
            break;
        default: {
            const uint32_t family = op & 0xF000u;
            if (family < 0x1000u || family > 0x5000u)
                return false;
            const uint32_t kind = (family >> 12) - 1;
            uint32_t target = 0;
            uint32_t instruction = 0;
            if (!nextRva(in.rel32Ix, m_rel32Rvas, &target)
                || !BuildArmInstruction(
                    kind, static_cast<uint16_t>(op), target - rva, &instruction))
                return false;
            bool written = false;
            switch (kind) {
            case THUMB_BCOND8:
            case THUMB_B11:
                written = writeU16(destination, instruction);
                break;
            case ARM_B24:
                written = writeU32(destination, instruction);
                break;
            default:
                written = writeU16(destination, instruction >> 16)
                    && writeU16(destination, instruction);
                break;
            }
            if (!written)
                return false;
            rva += ArmBranchOperandSize(kind);
            break;
        }
        }
    }
    // Origins may be left over; everything else must be used up exactly.
    return in.copyCounts.left() == 0 && copyByteAt == copySize && in.abs32Ix.left() == 0
        && in.rel32Ix.left() == 0;
}

bool EncodedProgram::reserveElfTableHole(SinkStream* out, uint32_t abs32Left, ElfTableHole* hole)
{
    const uint64_t entries = uint64_t(m_abs32Positions.size()) + abs32Left;
    hole->at = out->Length();
    hole->size = 8 * entries;
    if (entries > FallibleBuffer<uint32_t>::kLargestCapacity || !FitsSize(hole->size)
        || !out->Reserve(size_t(hole->size)))
        return false;
    std::fill_n(out->MutableBuffer() + hole->at, hole->size, uint8_t(0));
    hole->reserved = true;
    return out->Bytes().grow(hole->size);
}

bool EncodedProgram::mayAssembleTwice() const
{
    // A PE table after an ELF one has the program assembled again from its
    // start (see assembleOps), which needs every literal byte once more.
    // Real programs have tables of one kind only.
    VarintCursor ops(m_borrowedOps.items, m_borrowedOps.count);
    bool elfTable = false;
    uint32_t op = 0;
    while (ops.next(&op)) {
        if (op == OP_ELF_RELOC_TABLE || op == OP_ELF_ARM_RELOC_TABLE)
            elfTable = true;
        else if (elfTable && (op == OP_PE32_RELOC_TABLE || op == OP_PE64_RELOC_TABLE))
            return true;
    }
    return false;
}

bool EncodedProgram::assembleWithTables(SinkStream* out, ElfTableHole* hole)
{
    // Relocation tables are written where their op stands, but they list
    // positions collected over the whole program, so the bytes after the op
    // wait in a buffer until the end (unless the ELF table's room is held).
    SinkStream deferred;
    bool pePending = false;
    uint32_t peEntryType = kPeHighLowEntry;
    uint32_t elfEntryType = 0;
    bool assembled = false;
    if (m_borrowed) {
        auto cursor
            = [](const Borrowed& borrowed) { return VarintCursor(borrowed.items, borrowed.count); };
        OpInputs<VarintCursor, VarintCursor> in {cursor(m_borrowedOps), cursor(m_borrowedOrigins),
            cursor(m_borrowedCopyCounts), cursor(m_borrowedAbs32Ix), cursor(m_borrowedRel32Ix)};
        assembled = assembleOps(in, out, &deferred, &pePending, &peEntryType, &elfEntryType, hole);
    } else {
        auto list
            = [](const VarintList& items) { return VarintCursor(items.items(), items.size()); };
        OpInputs<VarintCursor, BufferCursor> in {list(m_ops), BufferCursor(m_origins),
            list(m_copyCounts), BufferCursor(m_abs32Ix), BufferCursor(m_rel32Ix)};
        assembled = assembleOps(in, out, &deferred, &pePending, &peEntryType, &elfEntryType, hole);
    }
    if (!assembled)
        return false;
    if (hole && hole->reserved) {
        // The abs32 ops all ran, so the positions fill the room exactly.
        if (8 * uint64_t(m_abs32Positions.size()) != hole->size)
            return false;
        storeElfRelocTable(elfEntryType, out->MutableBuffer() + hole->at);
        return true;
    }
    if (pePending && (!WritePeRelocTable(out, peEntryType) || !out->Append(&deferred)))
        return false;
    if (elfEntryType != 0 && (!WriteElfRelocTable(elfEntryType, out) || !out->Append(&deferred)))
        return false;
    return true;
}

bool EncodedProgram::AssembleTo(SinkStream* out)
{
    m_releasing = m_borrowed && m_releaseBorrowed && !mayAssembleTwice();
    const uint32_t start = uint32_t(out->Length());
    const uint32_t positionsBefore = m_abs32Positions.size();
    ElfTableHole hole;
    if (assembleWithTables(out, &hole))
        return true;
    if (!hole.mustRedo)
        return false;
    out->Bytes().truncate(start);
    m_abs32Positions.truncate(positionsBefore);
    return assembleWithTables(out, nullptr);
}

Status WriteEncodedProgram(EncodedProgram* program, SinkStreamSet* streams)
{
    return program->WriteTo(streams) ? C_OK : C_STREAM_ERROR;
}

Status MoveEncodedProgram(EncodedProgram* program, SinkStreamSet* streams)
{
    return program->MoveTo(streams) ? C_OK : C_STREAM_ERROR;
}

namespace {

Status readEncodedProgram(SourceStreamSet* streams, EncodedProgram** out, bool borrow)
{
    EncodedProgram* program = new (std::nothrow) EncodedProgram;
    if (!program)
        return C_DESERIALIZATION_FAILED;
    if (!(borrow ? program->ReadFromBorrowing(streams) : program->ReadFrom(streams))) {
        delete program;
        return C_DESERIALIZATION_FAILED;
    }
    *out = program;
    return C_OK;
}

} // namespace

Status ReadEncodedProgram(SourceStreamSet* streams, EncodedProgram** out)
{
    return readEncodedProgram(streams, out, false);
}

Status ReadEncodedProgramBorrowing(SourceStreamSet* streams, EncodedProgram** out)
{
    return readEncodedProgram(streams, out, true);
}

Status Assemble(EncodedProgram* program, SinkStream* out)
{
    return program->AssembleTo(out) ? C_OK : C_ASSEMBLY_FAILED;
}

void DeleteEncodedProgram(EncodedProgram* program)
{
    delete program;
}

} // namespace kvpatch
