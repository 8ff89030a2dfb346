#pragma once

#include "disassembler_elf.h"

namespace kvpatch {

// 32-bit ARM ELF executables and shared objects (FileType 3, machine 40):
// ARM and Thumb branches become rel32 references that keep the branch's
// other bits as a compressed op.
class DisassemblerElf32ARM : public DisassemblerElf32
{
public:
    class TypedRVAARM : public TypedRVA
    {
    public:
        TypedRVAARM(uint32_t rva, uint32_t armKind)
            : TypedRVA(rva)
            , m_armKind(armKind)
        {
        }
        bool ReadTarget(const uint8_t* p) override;
        bool EmitInstruction(DisassembledProgram* program, uint32_t targetRva) override;
        uint16_t operandSize() const override;

        uint32_t armKind() const { return m_armKind; }
        uint16_t compressedOp() const { return m_compressedOp; }

    private:
        uint32_t m_armKind;
        uint16_t m_compressedOp = 0;
        const uint8_t* m_instruction = nullptr;
    };

    DisassemblerElf32ARM(const void* start, size_t length);

    FileType kind() const override;
    uint16_t ElfMachine() const override { return 40; }
    // Only R_ARM_RELATIVE without a symbol names an absolute address.
    bool RelocationToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool ParseRelocationSection(
        const SectionHeader& section, DisassembledProgram* program) override;
    bool ScanSectionForRel32(const SectionHeader& section) override;
};

} // namespace kvpatch
