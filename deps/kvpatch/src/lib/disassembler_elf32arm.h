#pragma once

#include "disassembler_elf.h"

namespace kvpatch {

// 32-bit ARM ELF executables and shared objects (FileType 3, machine 40):
// ARM and Thumb branches become rel32 references that keep the branch's
// other bits as a compressed op.
class DisassemblerElf32ARM : public DisassemblerElf32
{
public:
    DisassemblerElf32ARM(const void* start, size_t length);

    FileType kind() const override;
    uint16_t ElfMachine() const override { return 40; }
    // Only R_ARM_RELATIVE without a symbol names an absolute address.
    bool RelocationToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool ParseRelocationSection(
        const SectionHeader& section, DisassembledProgram* program) override;
    bool ScanSectionForRel32(const SectionHeader& section) override;
    bool EmitRel32Reference(const TypedRVA& typed, DisassembledProgram* program) override;
    uint16_t Rel32OperandSize(const TypedRVA& typed) const override;

    // What a branch needs beyond its place: kept apart from the reference
    // list, whose entries are as small as x86's.
    struct ArmBranch
    {
        uint32_t relativeTarget = 0;
        // Where in the image the scan found the instruction.
        uint32_t scanOffset = 0;
        uint16_t kind = 0;
        uint16_t compressedOp = 0;
    };

private:
    static uint16_t OperandSize(const ArmBranch& branch);

    std::vector<ArmBranch> m_branches;
};

} // namespace kvpatch
