#include "disassembler_macho.h"

#include "disassembledprogram.h"
#include "imagebytes.h"
#include "logline.h"
#include "sortedcursor.h"
#include "x86rel32operand.h"

#include <algorithm>

namespace kvpatch {

namespace {

constexpr uint32_t MH_MAGIC = 0xFEEDFACE;
constexpr uint32_t MH_MAGIC_64 = 0xFEEDFACF;
constexpr uint32_t CPU_TYPE_X86 = 7;
constexpr uint32_t CPU_TYPE_X86_64 = 0x1000007;
constexpr uint32_t LC_SEGMENT = 1;
constexpr uint32_t LC_SEGMENT_64 = 25;
// Pure instructions with the regular section type.
constexpr uint32_t kCodeSectionMask = 0x800000FF;
constexpr uint32_t kCodeSectionFlags = 0x80000000;

bool IsCodeSection(uint32_t flags)
{
    return (flags & kCodeSectionMask) == kCodeSectionFlags;
}

} // namespace

DisassemblerMacho::DisassemblerMacho(const void* start, size_t length)
    : Disassembler(start, length)
    , m_type(UNKNOWN)
{
}

bool DisassemblerMacho::ParseHeader()
{
    m_fileEnd = 0;
    if (length() < 32)
        return SetFailure("Too small");
    const uint8_t* header = start();
    const uint32_t magic = ReadU32(header);
    const uint32_t cpuType = ReadU32(header + 4);
    uint32_t headerSize = 0;
    if (magic == MH_MAGIC_64) {
        if (cpuType != CPU_TYPE_X86_64)
            return SetFailure("unsupported cpu type");
        m_type = MACHO_X64;
        headerSize = 32;
    } else if (magic == MH_MAGIC) {
        if (cpuType != CPU_TYPE_X86)
            return SetFailure("unsupported cpu type");
        m_type = MACHO_X86;
        headerSize = 28;
    } else {
        return SetFailure("Unknown magic type");
    }
    const uint32_t fileType = ReadU32(header + 12);
    if (fileType != 2 && fileType != 5 && fileType != 6 && fileType != 8)
        return SetFailure("Unsupported filetype in header");

    const uint32_t commandCount = ReadU32(header + 16);
    uint64_t command = headerSize;
    for (uint32_t i = 0; i < commandCount; ++i) {
        // A command smaller than its own 8-byte head would let a huge count
        // walk the same bytes forever.
        if (!RangeInside(command, 8, regionSize()))
            return SetFailure("file to small in load commands");
        const uint32_t cmd = ReadU32(start() + command);
        const uint32_t commandSize = ReadU32(start() + command + 4);
        if (commandSize < 8)
            return SetFailure("bad load command size");
        if (!RangeInside(command, commandSize, regionSize()))
            return SetFailure("file to small in load commands");
        if (cmd == LC_SEGMENT && !ParseSegment(start() + command, commandSize))
            return false;
        if (cmd == LC_SEGMENT_64 && !ParseSegment64(start() + command, commandSize))
            return false;
        command += commandSize;
    }

    if (!NormalizeAddresses())
        return false;
    if (m_sections.empty())
        return SetFailure("Resource-only executables are not yet supported");
    std::stable_sort(m_sections.begin(), m_sections.end(),
        [](const Section& a, const Section& b) { return a.offset < b.offset; });
    // Code is read and copied through the sections, so each must lie inside
    // the bytes that the segments claim; and as each is scanned once, their
    // total cannot exceed those bytes unless they overlap.
    uint64_t scanned = 0;
    for (const Section& section : m_sections) {
        if (uint64_t(section.offset) + section.size > m_fileEnd)
            return SetFailure("section outside file");
        scanned += section.size;
    }
    if (scanned > m_fileEnd)
        return SetFailure("Overlapping sections");
    std::vector<IntervalIndex::Interval> rvas, fileRanges;
    for (const Segment& segment : m_segments) {
        rvas.push_back({segment.vmaddr, segment.vmaddr + segment.vmsize});
        fileRanges.push_back({segment.fileoff, uint64_t(segment.fileoff) + segment.filesize});
    }
    m_segmentRvas.build(rvas);
    m_segmentFileRanges.build(fileRanges);
    ClampLength(m_fileEnd);
    return SetSuccess();
}

bool DisassemblerMacho::RecordSegment(const Segment& segment)
{
    const uint64_t segmentEnd = uint64_t(segment.fileoff) + segment.filesize;
    m_fileEnd = static_cast<uint32_t>(
        std::max<uint64_t>(m_fileEnd, std::min<uint64_t>(segmentEnd, UINT32_MAX)));
    if (segmentEnd > length())
        return SetFailure("segment too large");
    m_segments.push_back(segment);
    return true;
}

bool DisassemblerMacho::ParseSegment(const uint8_t* command, uint32_t commandSize)
{
    if (m_type != MACHO_X86)
        return SetFailure("LC_SEGMENT not supported");
    if (commandSize < 56)
        return SetFailure("bad LC_SEGMENT");
    Segment segment;
    segment.vmaddr = ReadU32(command + 24);
    segment.vmsize = ReadU32(command + 28);
    segment.fileoff = ReadU32(command + 32);
    segment.filesize = ReadU32(command + 36);
    if (!RecordSegment(segment))
        return false;
    const uint32_t count = ReadU32(command + 48);
    if (56 + 68 * uint64_t(count) > commandSize)
        return SetFailure("sections too small");
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* header = command + 56 + 68 * i;
        if (!IsCodeSection(ReadU32(header + 56)))
            continue;
        Section section;
        section.addr = ReadU32(header + 32);
        section.size = ReadU32(header + 36);
        section.offset = ReadU32(header + 40);
        if (section.addr < segment.vmaddr
            || section.addr + section.size - segment.vmaddr > segment.vmsize)
            return SetFailure("section larger than segment");
        m_sections.push_back(section);
    }
    return true;
}

bool DisassemblerMacho::ParseSegment64(const uint8_t* command, uint32_t commandSize)
{
    if (m_type != MACHO_X64)
        return SetFailure("LC_SEGMENT_64 not supported");
    if (commandSize < 72)
        return SetFailure("bad LC_SEGMENT_64");
    const uint32_t count = ReadU32(command + 64);
    if (count == 0)
        return true;
    Segment segment;
    segment.vmaddr = ReadU64(command + 24);
    if (!CheckedNarrow(ReadU32(command + 32), ReadU32(command + 36), &segment.vmsize)
        || !CheckedNarrow(ReadU32(command + 40), ReadU32(command + 44), &segment.fileoff)
        || !CheckedNarrow(ReadU32(command + 48), ReadU32(command + 52), &segment.filesize))
        return false;
    if (!RecordSegment(segment))
        return false;
    if (72 + 80 * uint64_t(count) > commandSize)
        return SetFailure("sections too small");
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* header = command + 72 + 80 * i;
        if (!IsCodeSection(ReadU32(header + 64)))
            continue;
        Section section;
        section.addr = ReadU64(header + 32);
        if (!CheckedNarrow(ReadU32(header + 40), ReadU32(header + 44), &section.size))
            return false;
        section.offset = ReadU32(header + 48);
        // Written so that no 64-bit address can wrap the sum.
        if (section.addr < segment.vmaddr || section.addr - segment.vmaddr > segment.vmsize
            || section.size > segment.vmsize - (section.addr - segment.vmaddr))
            return SetFailure("section larger than segment");
        m_sections.push_back(section);
    }
    return true;
}

bool DisassemblerMacho::CheckedNarrow(uint32_t low, uint32_t high, uint32_t* out)
{
    if (high != 0)
        return SetFailure("overflow");
    *out = low;
    return true;
}

bool DisassemblerMacho::NormalizeAddresses()
{
    if (m_segments.empty())
        return true;
    uint64_t lowest = UINT64_MAX;
    for (const Segment& segment : m_segments)
        lowest = std::min(lowest, segment.vmaddr);
    for (Segment& segment : m_segments) {
        segment.vmaddr -= lowest;
        if (segment.vmaddr + segment.vmsize > UINT32_MAX)
            return SetFailure("overflow");
    }
    for (Section& section : m_sections)
        section.addr -= lowest;
    return true;
}

bool DisassemblerMacho::Disassemble(DisassembledProgram* program)
{
    if (failureReason() != nullptr)
        return false;
    program->setImageBase(0);
    ScanSectionsForRel32();
    if (!ParseFile(program))
        return false;
    program->NumberLabels();
    return true;
}

void DisassemblerMacho::ScanSectionsForRel32()
{
    m_rel32Locations.clear();
    for (const Section& section : m_sections)
        ScanSectionForRel32(section);
    std::sort(m_rel32Locations.begin(), m_rel32Locations.end());
}

void DisassemblerMacho::ScanSectionForRel32(const Section& section)
{
    if (section.size == 0 || (section.size & 0x80000000u) != 0)
        return;
    const uint64_t sectionStart = section.offset;
    const uint64_t sectionEnd = sectionStart + section.size;
    const uint32_t startRva = FileOffsetToRVA(section.offset);
    const bool withRipRelative = m_type == MACHO_X64;
    ScanX86Rel32Operands(start(), sectionStart, sectionEnd, withRipRelative, [&](uint64_t operand) {
        const uint32_t operandRva = startRva + static_cast<uint32_t>(operand - sectionStart);
        const uint32_t target = operandRva + 4 + ReadU32(start() + operand);
        if (!IsValidTargetRVA(target))
            return X86ScanVerdict::Skip;
        m_rel32Locations.push_back(operandRva);
        return X86ScanVerdict::Take;
    });
}

bool DisassemblerMacho::ParseFile(DisassembledProgram* program)
{
    // Sections are taken in offset order by position in the sorted list, so
    // that an empty section is visited once instead of being found again at
    // the same offset.
    uint64_t fileOffset = 0;
    size_t next = 0;
    while (fileOffset < length()) {
        while (next < m_sections.size() && m_sections[next].offset < fileOffset)
            ++next;
        if (next == m_sections.size())
            return EmitRawRegion(static_cast<uint32_t>(fileOffset), length(), program);
        const Section& section = m_sections[next++];
        if (fileOffset < section.offset) {
            if (!EmitRawRegion(static_cast<uint32_t>(fileOffset), section.offset, program))
                return false;
            fileOffset = section.offset;
        }
        const uint64_t sectionEnd = fileOffset + section.size;
        if (!EmitSectionRegion(section, static_cast<uint32_t>(fileOffset),
                static_cast<uint32_t>(sectionEnd), program))
            return false;
        fileOffset = sectionEnd;
    }
    return true;
}

bool DisassemblerMacho::EmitSectionRegion(const Section& /*section*/, uint32_t startOffset,
    uint32_t endOffset, DisassembledProgram* program)
{
    const uint32_t startRva = FileOffsetToRVA(startOffset);
    if (!program->EmitOriginInstruction(startRva))
        return false;
    SortedCursor rel32(m_rel32Locations);
    uint64_t p = startOffset;
    while (p < endOffset) {
        const uint32_t rva = startRva + static_cast<uint32_t>(p - startOffset);
        rel32.SkipBelow(rva);
        // A reference at the section's last bytes takes its four bytes from
        // beyond the end (the walk then goes on from the section's end, so
        // those bytes come out again); only the end of the image stops it.
        if (!rel32.AtEnd() && rel32.Value() == rva && p + 4 <= regionSize()) {
            const uint32_t target = rva + 4 + ReadU32(start() + p);
            if (!program->EmitRel32To(target))
                return false;
            p += 4;
            continue;
        }
        if (!program->EmitBytesInstruction(start() + p, 1))
            return false;
        ++p;
    }
    return true;
}

const DisassemblerMacho::Section* DisassemblerMacho::FindNextSection(uint32_t offset) const
{
    for (const Section& section : m_sections) {
        if (section.offset >= offset)
            return &section;
    }
    return nullptr;
}

int64_t DisassemblerMacho::RVAToFileOffset(uint32_t rva) const
{
    const Segment* segment = RVAToSegment(rva);
    if (segment == nullptr) {
        KVLOG(LogWarning) << "RVAToFileOffset reached invalid point";
        return -1;
    }
    const uint64_t delta = rva - segment->vmaddr;
    if (delta >= segment->filesize)
        return -1;
    return int64_t(segment->fileoff) + int64_t(delta);
}

const uint8_t* DisassemblerMacho::RVAToPointer(uint32_t rva) const
{
    return RegionPointer(RVAToFileOffset(rva));
}

uint32_t DisassemblerMacho::FileOffsetToRVA(uint32_t offset) const
{
    const size_t i = m_segmentFileRanges.firstContaining(offset);
    if (i == IntervalIndex::npos)
        return 0;
    const Segment& segment = m_segments[i];
    return static_cast<uint32_t>(segment.vmaddr + (offset - segment.fileoff));
}

const DisassemblerMacho::Segment* DisassemblerMacho::RVAToSegment(uint32_t rva) const
{
    const size_t i = m_segmentRvas.firstContaining(rva);
    return i == IntervalIndex::npos ? nullptr : &m_segments[i];
}

bool DisassemblerMacho::IsValidTargetRVA(uint32_t rva) const
{
    return RVAToSegment(rva) != nullptr;
}

} // namespace kvpatch
