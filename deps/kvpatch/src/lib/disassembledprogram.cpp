#include "disassembledprogram.h"
#include "allocation.h"

#include "encodedprogram.h"
#include "logline.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace kvpatch {

namespace {

// ARM labels referenced this often or less cost more as labels than as
// literal bytes.
constexpr int32_t kTrimThreshold = 5;

void logUnreachable(const char* detail = "")
{
    KVLOG(LogError) << "REACHED UNREACHABLE" << detail;
}

} // namespace

DisassembledProgram::DisassembledProgram(FileType kind)
    : m_kind(kind)
{
}

DisassembledProgram::DisassembledProgram(FileType kind, EncodedProgram* target)
    : m_kind(kind)
    , m_direct(target)
{
}

DisassembledProgram::~DisassembledProgram() = default;

bool DisassembledProgram::emit(
    uint32_t word, uint32_t value, Label* label, const uint8_t* bytes, uint16_t compressedOp)
{
    Instruction instruction;
    instruction.word = static_cast<uint16_t>(word);
    instruction.compressedOp = compressedOp;
    instruction.value = value;
    instruction.label = label;
    instruction.bytes = bytes;
    if (m_direct) {
        // References come through emitDirectReference here: a label would
        // carry no number yet.
        if (m_directFailed || label || !encodeInstruction(instruction, m_direct)) {
            m_directFailed = true;
            return false;
        }
        return true;
    }
    return m_instructions.push_back(instruction);
}

bool DisassembledProgram::emitReference(
    uint32_t kind, Label* label, const uint8_t* bytes, uint16_t compressedOp, uint16_t operandSize)
{
    if (!label) {
        logUnreachable();
        return false;
    }
    return emit(kind, operandSize, label, bytes, compressedOp);
}

bool DisassembledProgram::EmitOriginInstruction(uint32_t rva)
{
    return emit(INSTR_ORIGIN, rva);
}

bool DisassembledProgram::EmitPeRelocsInstruction()
{
    return emit(INSTR_PE_RELOCS);
}

bool DisassembledProgram::EmitElfRelocationInstruction()
{
    return emit(INSTR_ELF_RELOCS);
}

bool DisassembledProgram::EmitElfARMRelocationInstruction()
{
    return emit(INSTR_ELF_ARM_RELOCS);
}

bool DisassembledProgram::EmitByteInstruction(uint8_t byte)
{
    return emit(INSTR_BYTE + 16u * byte);
}

bool DisassembledProgram::EmitBytesInstruction(const uint8_t* bytes, uint32_t length)
{
    // The byte-wise disassemblers hand over one byte at a time: bytes that
    // continue the previous run join it, so that a literal stretch costs one
    // instruction however it arrives.
    const uint32_t size = m_instructions.size();
    if (!m_direct && size > 0) {
        Instruction& last = m_instructions[size - 1];
        if (last.kind() == INSTR_BYTE_RUN && last.bytes + last.value == bytes
            && length <= UINT32_MAX - last.value) {
            last.value += length;
            return !m_instructions.failed();
        }
    }
    return emit(INSTR_BYTE_RUN, length, nullptr, bytes);
}

bool DisassembledProgram::emitDirectReference(uint32_t kind, uint32_t target)
{
    // The reference carries its target for now; FinishDirectEncoding turns
    // it into its label's number.
    if (m_directFailed
        || !(kind == INSTR_ABS32 ? m_direct->AddAbs32(target) : m_direct->AddRel32(target))) {
        m_directFailed = true;
        return false;
    }
    return true;
}

bool DisassembledProgram::EmitRel32To(uint32_t target)
{
    return m_direct ? emitDirectReference(INSTR_REL32, target) : EmitRel32(LabelForRel32(target));
}

bool DisassembledProgram::EmitAbs32To(uint32_t target)
{
    return m_direct ? emitDirectReference(INSTR_ABS32, target) : EmitAbs32(LabelForAbs32(target));
}

bool DisassembledProgram::EmitRel32(Label* label)
{
    return emitReference(INSTR_REL32, label, nullptr, 0, 0);
}

bool DisassembledProgram::EmitAbs32(Label* label)
{
    return emitReference(INSTR_ABS32, label, nullptr, 0, 0);
}

bool DisassembledProgram::EmitRel32ARM(
    uint16_t compressedOp, Label* label, const uint8_t* bytes, uint16_t operandSize)
{
    return emitReference(INSTR_REL32_ARM, label, bytes, compressedOp, operandSize);
}

Label* DisassembledProgram::labelFor(LabelMap& labels, uint32_t rva)
{
    Label* label = labels.find(rva);
    if (!label) {
        label = m_ownedLabels.make();
        if (!label)
            return nullptr;
        label->rva = rva;
        // On std::bad_alloc the label stays unused in the pool.
        labels.insert(rva, label);
    }
    ++label->count;
    return label;
}

Label* DisassembledProgram::LabelForRel32(uint32_t rva)
{
    try {
        return labelFor(m_rel32Labels, rva);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

Label* DisassembledProgram::LabelForAbs32(uint32_t rva)
{
    try {
        return labelFor(m_abs32Labels, rva);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void DisassembledProgram::numberLabels(LabelMap& labels)
{
    int32_t index = 0;
    for (auto& entry : labels) {
        if (entry.second->index != -1)
            logUnreachable();
        entry.second->index = index++;
    }
}

void DisassembledProgram::NumberLabels()
{
    numberLabels(m_abs32Labels);
    numberLabels(m_rel32Labels);
}

void DisassembledProgram::clearLabelIndexes(LabelMap& labels)
{
    for (auto& entry : labels)
        entry.second->index = -1;
}

void DisassembledProgram::ClearLabelIndexes()
{
    clearLabelIndexes(m_abs32Labels);
    clearLabelIndexes(m_rel32Labels);
}

void DisassembledProgram::fillLabelIndexes(LabelMap& labels)
{
    std::vector<bool> free(labels.size(), true);
    size_t preassigned = 0;
    for (auto& entry : labels) {
        const int32_t index = entry.second->index;
        if (index == -1)
            continue;
        if (index < 0) // only -1 means "not numbered"; anything else is left alone
            continue;
        if (free.size() <= static_cast<size_t>(index))
            free.resize(static_cast<size_t>(index) + 1, true);
        free[static_cast<size_t>(index)] = false;
        ++preassigned;
    }
    KVLOG(LogDebug) << preassigned << " of " << labels.size() << " labels pre-assigned";

    auto take = [&free](int64_t candidate) {
        if (candidate < 0 || static_cast<uint64_t>(candidate) >= free.size()
            || !free[static_cast<size_t>(candidate)])
            return false;
        free[static_cast<size_t>(candidate)] = false;
        return true;
    };

    size_t forward = 0;
    const Label* previous = nullptr;
    for (auto& entry : labels) {
        Label* label = entry.second;
        if (label->index == -1) {
            const int64_t candidate = previous ? int64_t(previous->index) + 1 : 0;
            if (take(candidate)) {
                label->index = static_cast<int32_t>(candidate);
                ++forward;
            }
        }
        previous = label;
    }

    size_t backward = 0;
    previous = nullptr;
    for (size_t i = labels.size(); i-- > 0;) {
        Label* label = labels[i].second;
        if (label->index == -1) {
            const int64_t base = previous ? previous->index : int64_t(free.size());
            if (base != 0 && base != -1 && take(base - 1)) {
                label->index = static_cast<int32_t>(base - 1);
                ++backward;
            }
        }
        previous = label;
    }

    size_t infill = 0;
    size_t position = 0;
    for (auto& entry : labels) {
        Label* label = entry.second;
        if (label->index != -1)
            continue;
        while (position < free.size() && !free[position])
            ++position;
        if (position < free.size())
            free[position] = false;
        label->index = static_cast<int32_t>(position);
        ++position;
        ++infill;
    }

    KVLOG(LogDebug) << "  fill forward " << forward << "  backward " << backward << "  infill "
                    << infill;
}

void DisassembledProgram::FillLabelIndexes()
{
    try {
        fillLabelIndexes(m_abs32Labels);
        fillLabelIndexes(m_rel32Labels);
    } catch (const std::bad_alloc&) {
        // A diagnostic aid only; leave the indices as far as they got.
    }
}

Label* DisassembledProgram::Abs32LabelOf(const Instruction* instruction)
{
    return instruction && instruction->kind() == INSTR_ABS32 ? instruction->label : nullptr;
}

Label* DisassembledProgram::Rel32LabelOf(const Instruction* instruction)
{
    if (!instruction)
        return nullptr;
    const uint32_t kind = instruction->kind();
    return kind == INSTR_REL32 || kind == INSTR_REL32_ARM ? instruction->label : nullptr;
}

void DisassembledProgram::PrintLabelCounts(const LabelMap& labels)
{
    for (const auto& entry : labels) {
        if (entry.second->index != -1)
            std::printf("%d\n", entry.second->count);
    }
}

void DisassembledProgram::PrintRel32LabelCounts() const
{
    PrintLabelCounts(m_rel32Labels);
}

bool DisassembledProgram::TrimLabels()
{
    if (m_kind != ELF_32_ARM)
        return true;
    KVLOG(LogDebug) << "TrimLabels: threshold " << kTrimThreshold;
    // Trimmed labels stay in the pool: instructions may still name them.
    m_rel32Labels.removeIf([](const Label* label) { return label->count <= kTrimThreshold; });
    for (uint32_t i = 0; i < m_instructions.size(); ++i) {
        Instruction& instruction = m_instructions[i];
        if (instruction.kind() != INSTR_REL32_ARM || instruction.label->count > kTrimThreshold)
            continue;
        if (instruction.operandSize() == 0)
            return false;
        // The operand size stays in value, now the run's length.
        instruction.word = INSTR_BYTE_RUN;
        instruction.compressedOp = 0;
        instruction.label = nullptr;
    }
    return true;
}

EncodedProgram* DisassembledProgram::Encode() const
{
    // A program encoded as it went is finished with FinishDirectEncoding.
    if (m_direct)
        return nullptr;
    EncodedProgram* encoded = new (std::nothrow) EncodedProgram;
    if (!encoded)
        return nullptr;
    if (!encodeInto(encoded)) {
        delete encoded;
        return nullptr;
    }
    return encoded;
}

bool DisassembledProgram::setLabelRvas(EncodedProgram* encoded) const
{
    encoded->setImageBase(m_imageBase);
    // An unnumbered label has no slot in the rva tables.
    for (const auto* labels : {&m_abs32Labels, &m_rel32Labels}) {
        for (const auto& entry : *labels) {
            if (entry.second->index < 0)
                return false;
        }
    }
    for (const auto& entry : m_abs32Labels) {
        if (!encoded->SetAbs32Rva(entry.second->index, entry.second->rva))
            return false;
    }
    for (const auto& entry : m_rel32Labels) {
        if (!encoded->SetRel32Rva(entry.second->index, entry.second->rva))
            return false;
    }
    encoded->FillRvaGaps();
    return true;
}

bool DisassembledProgram::FinishDirectEncoding()
{
    // Labels made for references that bypassed the targets would be
    // missing from the numbering.
    if (!m_direct || m_directFailed || m_kind == ELF_32_ARM || !m_abs32Labels.empty()
        || !m_rel32Labels.empty())
        return false;
    m_direct->setImageBase(m_imageBase);
    return m_direct->LabelReferenceTargets();
}

bool DisassembledProgram::encodeInstruction(
    const Instruction& instruction, EncodedProgram* encoded) const
{
    auto indexOf = [](const Label* label) { return static_cast<uint32_t>(label->index); };
    switch (instruction.kind()) {
    case INSTR_ORIGIN:
        return encoded->AddOrigin(instruction.value);
    case INSTR_PE_RELOCS:
        return encoded->AddPeRelocTableOp(m_kind);
    case INSTR_ELF_RELOCS:
        return encoded->AddElfRelocTableOp();
    case INSTR_BYTE: {
        const uint8_t byte = instruction.byte();
        return encoded->AddCopy(1, &byte);
    }
    case INSTR_REL32:
        return encoded->AddRel32(indexOf(instruction.label));
    case INSTR_ABS32:
        return encoded->AddAbs32(indexOf(instruction.label));
    case INSTR_REL32_ARM:
        return encoded->AddRel32ARM(instruction.compressedOp, indexOf(instruction.label));
    case INSTR_ELF_ARM_RELOCS:
        return encoded->AddElfArmRelocTableOp();
    case INSTR_BYTE_RUN:
        return encoded->AddCopy(instruction.value, instruction.bytes);
    default:
        logUnreachable("Unknown Insn OP kind");
        return true;
    }
}

bool DisassembledProgram::encodeInto(EncodedProgram* encoded) const
{
    if (m_instructions.failed() || !setLabelRvas(encoded))
        return false;
    const uint32_t size = m_instructions.size();
    for (uint32_t i = 0; i < size; ++i) {
        const Instruction& instruction = m_instructions[i];
        if (instruction.kind() != INSTR_BYTE) {
            if (!encodeInstruction(instruction, encoded))
                return false;
            continue;
        }
        // Copies merge anyway, so a run of single bytes is handed over in
        // blocks: the same streams for far fewer calls.
        uint8_t block[256];
        uint32_t count = 0;
        block[count++] = instruction.byte();
        while (count < sizeof(block) && i + 1 < size && m_instructions[i + 1].kind() == INSTR_BYTE)
            block[count++] = m_instructions[++i].byte();
        if (!encoded->AddCopy(count, block))
            return false;
    }
    return true;
}

Status TrimLabels(DisassembledProgram* program)
{
    return program->TrimLabels() ? C_OK : C_TRIM_FAILED;
}

Status Encode(DisassembledProgram* program, EncodedProgram** out)
{
    *out = program->Encode();
    return *out ? C_OK : C_GENERAL_ERROR;
}

} // namespace kvpatch
