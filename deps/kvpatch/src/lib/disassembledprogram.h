#pragma once

#include "falliblebuffer.h"
#include "filetype.h"
#include "labeltable.h"
#include "objectpool.h"
#include "status.h"

#include <cstddef>
#include <cstdint>

namespace kvpatch {

class EncodedProgram;

// A target address that references point at. Numbered so that the encoded
// form can store small indices instead of addresses.
struct Label
{
    uint32_t rva = 0;
    int32_t index = -1;
    int32_t count = 0;
};

enum InstructionKind : uint32_t
{
    INSTR_ORIGIN = 0,
    INSTR_PE_RELOCS = 1,
    INSTR_ELF_RELOCS = 2,
    INSTR_BYTE = 3,
    INSTR_REL32 = 4,
    INSTR_ABS32 = 5,
    INSTR_REL32_ARM = 6,
    INSTR_ELF_ARM_RELOCS = 7,
    INSTR_BYTE_RUN = 8,
};

// One step of the replay that rebuilds an executable. Which operands are
// meaningful depends on the kind (the low 4 bits of the first word). Kept
// inline in one array, 24 bytes each: a program has one per reference and
// one per literal run, hundreds of thousands in a large library.
struct Instruction
{
    uint16_t word = 0; // kind; INSTR_BYTE keeps its byte in bits 4 to 11
    uint16_t compressedOp = 0; // INSTR_REL32_ARM
    // INSTR_ORIGIN: rva; INSTR_BYTE_RUN: length; INSTR_REL32_ARM: operand size
    uint32_t value = 0;
    Label* label = nullptr; // INSTR_REL32, INSTR_ABS32, INSTR_REL32_ARM
    const uint8_t* bytes = nullptr; // INSTR_BYTE_RUN, INSTR_REL32_ARM: in the image

    uint32_t kind() const { return word & 0xFu; }
    uint8_t byte() const { return static_cast<uint8_t>(word >> 4); }
    uint32_t operandSize() const { return value; }
};

// A list of instructions that, replayed in order, reproduces an executable,
// with recognised addresses replaced by labels. Instructions of kinds
// INSTR_BYTE_RUN and INSTR_REL32_ARM point into the parsed image, which must
// outlive the program.
class DisassembledProgram
{
public:
    using LabelMap = LabelTable;

    explicit DisassembledProgram(FileType kind);
    // A program that encodes each instruction into `target` as it is
    // emitted instead of keeping it: FinishDirectEncoding then completes
    // `target` (which the caller owns) and no instruction list is held.
    // For programs whose labels are numbered in address order and never
    // trimmed, where the result is the same as encoding the list.
    DisassembledProgram(FileType kind, EncodedProgram* target);
    ~DisassembledProgram();
    DisassembledProgram(const DisassembledProgram&) = delete;
    DisassembledProgram& operator=(const DisassembledProgram&) = delete;

    FileType kind() const { return m_kind; }
    uint64_t imageBase() const { return m_imageBase; }
    void setImageBase(uint64_t base) { m_imageBase = base; }

    bool EmitOriginInstruction(uint32_t rva);
    bool EmitPeRelocsInstruction();
    bool EmitElfRelocationInstruction();
    bool EmitElfARMRelocationInstruction();
    bool EmitByteInstruction(uint8_t byte);
    bool EmitBytesInstruction(const uint8_t* bytes, uint32_t length);
    bool EmitRel32(Label* label);
    bool EmitAbs32(Label* label);
    // A reference to `target`: with a label (LabelForRel32 or
    // LabelForAbs32) in a program that keeps its list; when encoding as it
    // goes, only the target is noted, and the labels are formed from the
    // targets at the end, without a lookup per reference.
    bool EmitRel32To(uint32_t target);
    bool EmitAbs32To(uint32_t target);
    bool EmitRel32ARM(
        uint16_t compressedOp, Label* label, const uint8_t* bytes, uint16_t operandSize);

    // The label of RVA, created when absent; every call counts one use.
    // Null only when memory runs out.
    Label* LabelForRel32(uint32_t rva);
    Label* LabelForAbs32(uint32_t rva);

    void NumberLabels();
    void ClearLabelIndexes();
    void FillLabelIndexes();

    static Label* Abs32LabelOf(const Instruction* instruction);
    static Label* Rel32LabelOf(const Instruction* instruction);

    static void PrintLabelCounts(const LabelMap& labels);
    void PrintRel32LabelCounts() const;

    bool TrimLabels();
    EncodedProgram* Encode() const;
    // For a program made with a target: completes the target once the
    // labels are numbered. False when anything was lost on the way.
    bool FinishDirectEncoding();
    bool DirectEncodingFailed() const { return m_directFailed; }

    size_t instructionCount() const { return m_instructions.size(); }
    const Instruction* instructionAt(size_t i) const { return &m_instructions[uint32_t(i)]; }
    const LabelMap& rel32Labels() const { return m_rel32Labels; }
    const LabelMap& abs32Labels() const { return m_abs32Labels; }

private:
    bool emit(uint32_t word, uint32_t value = 0, Label* label = nullptr,
        const uint8_t* bytes = nullptr, uint16_t compressedOp = 0);
    bool emitReference(uint32_t kind, Label* label, const uint8_t* bytes, uint16_t compressedOp,
        uint16_t operandSize);
    Label* labelFor(LabelMap& labels, uint32_t rva);
    bool encodeInto(EncodedProgram* encoded) const;
    bool encodeInstruction(const Instruction& instruction, EncodedProgram* encoded) const;
    bool setLabelRvas(EncodedProgram* encoded) const;
    bool emitDirectReference(uint32_t kind, uint32_t target);

    static void numberLabels(LabelMap& labels);
    static void clearLabelIndexes(LabelMap& labels);
    static void fillLabelIndexes(LabelMap& labels);

    FileType m_kind;
    uint64_t m_imageBase = 0;
    // Sticky once growth fails: a program with a hole in it must never be
    // encoded.
    FallibleBuffer<Instruction> m_instructions;
    // Set when encoding as the instructions come; `m_directFailed` is
    // sticky like a failed list.
    EncodedProgram* m_direct = nullptr;
    bool m_directFailed = false;
    LabelMap m_rel32Labels;
    LabelMap m_abs32Labels;
    // Every label the program made, trimmed ones included: instructions may
    // still name a trimmed label.
    ObjectPool<Label> m_ownedLabels;
};

// Entry points used by patch application.
Status TrimLabels(DisassembledProgram* program);
Status Encode(DisassembledProgram* program, EncodedProgram** out);

} // namespace kvpatch
