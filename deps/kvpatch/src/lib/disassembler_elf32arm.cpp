#include "disassembler_elf32arm.h"

#include "armbranch.h"
#include "disassembledprogram.h"
#include "imagebytes.h"

namespace kvpatch {

namespace {

constexpr uint64_t R_ARM_RELATIVE = 23;
constexpr uint64_t kEntrySize = 8;

// Reads the branch of branch's kind at p, found at rva: its target relative
// to rva and the compressed form of its other bits.
bool ReadArmTarget(const uint8_t* p, uint32_t rva, DisassemblerElf32ARM::ArmBranch* branch)
{
    uint32_t instruction = 0;
    switch (branch->kind) {
    case THUMB_BCOND8:
    case THUMB_B11:
        instruction = ReadU16(p);
        break;
    case ARM_B24:
        instruction = ReadU32(p);
        break;
    case THUMB2_B25:
    case THUMB2_BCOND21:
        instruction = (uint32_t(ReadU16(p)) << 16) | ReadU16(p + 2);
        break;
    default:
        return false;
    }
    uint16_t op = 0;
    uint32_t target = 0;
    if (!ExtractArmTarget(branch->kind, instruction, rva, &op, &target))
        return false;
    branch->compressedOp = op;
    branch->relativeTarget = target;
    return true;
}

} // namespace

bool DisassemblerElf32ARM::EmitRel32Reference(const TypedRVA& typed, DisassembledProgram* program)
{
    const ArmBranch& branch = m_branches[typed.detail()];
    return program->EmitRel32ARM(branch.compressedOp,
        program->LabelForRel32(typed.rva() + branch.relativeTarget), start() + branch.scanOffset,
        OperandSize(branch));
}

uint16_t DisassemblerElf32ARM::Rel32OperandSize(const TypedRVA& typed) const
{
    return OperandSize(m_branches[typed.detail()]);
}

uint16_t DisassemblerElf32ARM::OperandSize(const ArmBranch& branch)
{
    // Never 0: a walk that advances by the size would stall on an unknown
    // kind.
    const uint16_t size = ArmBranchOperandSize(branch.kind);
    return size != 0 ? size : 0xFFFF;
}

DisassemblerElf32ARM::DisassemblerElf32ARM(const void* start, size_t length)
    : DisassemblerElf32(start, length)
{
}

FileType DisassemblerElf32ARM::kind() const
{
    return ELF_32_ARM;
}

bool DisassemblerElf32ARM::RelocationToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const
{
    if (r_info != R_ARM_RELATIVE)
        return false;
    *rva = static_cast<uint32_t>(r_offset);
    return true;
}

bool DisassemblerElf32ARM::ParseRelocationSection(
    const SectionHeader& section, DisassembledProgram* program)
{
    const uint64_t sectionStart = section.sh_offset;
    const uint64_t sectionEnd = section.sh_offset + section.sh_size;
    const size_t n = m_abs32Locations.size();
    if (n == 0)
        return EmitByteRun(sectionStart, sectionEnd, program);

    const uint64_t m = RelocationCount(section);
    uint64_t r_offset = 0, r_info = 0;
    // Entries before the first abs32 location are copied one by one.
    uint64_t entry = 0;
    for (; entry < m; ++entry) {
        ReadRelocation(section, entry, &r_offset, &r_info);
        if (r_offset == m_abs32Locations[0])
            break;
        const uint64_t entryStart = sectionStart + entry * kEntrySize;
        if (!EmitByteRun(entryStart, entryStart + kEntrySize, program))
            return false;
    }
    if (n > m)
        return EmitByteRun(sectionStart + entry * kEntrySize, sectionEnd, program);

    for (size_t i = 0; i < n; ++i) {
        const uint64_t current = entry + i;
        bool matches = false;
        if (current < m) {
            ReadRelocation(section, current, &r_offset, &r_info);
            matches = r_info == R_ARM_RELATIVE && r_offset == m_abs32Locations[i];
        }
        if (!matches) {
            // The matched entries and the mismatching one are left out; the
            // patch's final diff restores them, and patch makers rely on
            // this exact program.
            return EmitByteRun(sectionStart + (current + 1) * kEntrySize, sectionEnd, program);
        }
    }
    if (!program->EmitElfARMRelocationInstruction())
        return false;
    return EmitByteRun(sectionStart + (entry + n) * kEntrySize, sectionEnd, program);
}

bool DisassemblerElf32ARM::ScanSectionForRel32(const SectionHeader& section)
{
    const uint64_t sectionStart = section.sh_offset;
    const uint64_t sectionEnd = section.sh_offset + section.sh_size;
    bool aligned = true;
    uint64_t p = sectionStart;
    while (p < sectionEnd) {
        const uint8_t* bytes = start() + p;
        const uint32_t rva = static_cast<uint32_t>(section.sh_addr + (p - sectionStart));
        int armKind = -1;
        if (p + 3 <= sectionEnd) {
            const uint16_t first = ReadU16(bytes);
            if ((first & 0xF000) == 0xD000)
                armKind = THUMB_BCOND8;
            else if ((first & 0xF800) == 0xE000)
                armKind = THUMB_B11;
        }
        if (armKind < 0 && p + 5 <= sectionEnd) {
            const uint16_t second = ReadU16(bytes + 2);
            const uint32_t word = (uint32_t(ReadU16(bytes)) << 16) | second;
            if ((word & 0xF8008000) == 0xF0008000)
                armKind = (second & 0x5000) != 0 ? THUMB2_B25 : THUMB2_BCOND21;
            else if (aligned && (ReadU32(bytes) & 0x0E000000) == 0x0A000000)
                armKind = ARM_B24;
        }
        if (armKind < 0) {
            aligned = !aligned;
            p += 2;
            continue;
        }
        ArmBranch branch;
        branch.kind = static_cast<uint16_t>(armKind);
        branch.scanOffset = static_cast<uint32_t>(p);
        if (!ReadArmTarget(bytes, rva, &branch))
            return false;
        if (IsLoadedRva(rva + branch.relativeTarget)) {
            p += OperandSize(branch);
            aligned = true;
            TypedRVA typed(rva);
            typed.set_detail(static_cast<uint32_t>(m_branches.size()));
            m_branches.push_back(branch);
            AddRel32Location(typed);
        } else {
            aligned = !aligned;
            p += 2;
        }
    }
    return true;
}

} // namespace kvpatch
