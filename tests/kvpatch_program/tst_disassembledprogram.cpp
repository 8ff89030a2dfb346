#include "programbuilder.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace kvpatch;
using namespace kvtest;

namespace {

EncodedPtr encode(DisassembledProgram& program)
{
    EncodedProgram* encoded = nullptr;
    EXPECT_EQ(Encode(&program, &encoded), C_OK);
    return EncodedPtr(encoded);
}

// An ARM program with three rel32 labels (indices 0, 1, 2) whose middle one
// is referenced MIDDLE_USES times and the others six times each.
struct ArmProgram
{
    explicit ArmProgram(int middleUses)
        : program(ELF_32_ARM)
    {
        const uint32_t targets[] = {0x100, 0x200, 0x300};
        const int uses[] = {6, middleUses, 6};
        EXPECT_TRUE(program.EmitOriginInstruction(0));
        for (int label = 0; label < 3; ++label) {
            for (int n = 0; n < uses[label]; ++n) {
                Label* target = program.LabelForRel32(targets[label]);
                EXPECT_TRUE(program.EmitRel32ARM(0x3000 | 0xEB, target, branch, 4));
            }
        }
        program.NumberLabels();
    }

    const uint8_t branch[4] = {0x10, 0x20, 0x30, 0xEB};
    DisassembledProgram program;
};

} // namespace

TEST(DisassembledProgram, ReferencesToOneRvaShareALabel)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* first = program.LabelForRel32(0x1234);
    Label* second = program.LabelForRel32(0x1234);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->count, 2);
    EXPECT_EQ(first->index, -1);
    // The abs32 labels are a map of their own.
    EXPECT_NE(program.LabelForAbs32(0x1234), first);
    EXPECT_EQ(program.rel32Labels().size(), 1u);
    EXPECT_EQ(program.abs32Labels().size(), 1u);
}

TEST(DisassembledProgram, LabelsAreNumberedInAscendingRvaPerMap)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* high = program.LabelForRel32(0x9000);
    Label* low = program.LabelForRel32(0x100);
    Label* mid = program.LabelForRel32(0x5000);
    Label* abs = program.LabelForAbs32(0x7000);
    program.NumberLabels();
    EXPECT_EQ(low->index, 0);
    EXPECT_EQ(mid->index, 1);
    EXPECT_EQ(high->index, 2);
    EXPECT_EQ(abs->index, 0);

    program.ClearLabelIndexes();
    EXPECT_EQ(low->index, -1);
    EXPECT_EQ(abs->index, -1);
}

TEST(DisassembledProgram, FillLabelIndexesCompletesPartialNumbering)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* labels[5];
    for (int i = 0; i < 5; ++i)
        labels[i] = program.LabelForRel32(10 * (i + 1));
    labels[1]->index = 3;
    labels[3]->index = 0;
    program.FillLabelIndexes();
    // Forward from a neighbour's index + 1, backward from index - 1.
    EXPECT_EQ(labels[0]->index, 2);
    EXPECT_EQ(labels[1]->index, 3);
    EXPECT_EQ(labels[2]->index, 4);
    EXPECT_EQ(labels[3]->index, 0);
    EXPECT_EQ(labels[4]->index, 1);
}

TEST(DisassembledProgram, FillLabelIndexesInfillsWhatNeighboursCannotGive)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* a = program.LabelForAbs32(1);
    Label* b = program.LabelForAbs32(2);
    Label* c = program.LabelForAbs32(3);
    a->index = 1;
    c->index = 2;
    program.FillLabelIndexes();
    EXPECT_EQ(b->index, 0);
}

TEST(DisassembledProgram, ReferenceWithoutLabelFails)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    EXPECT_FALSE(program.EmitRel32(nullptr));
    EXPECT_FALSE(program.EmitAbs32(nullptr));
    EXPECT_FALSE(program.EmitRel32ARM(0x3000, nullptr, nullptr, 4));
    EXPECT_EQ(program.instructionCount(), 0u);
}

TEST(DisassembledProgram, ByteInstructionsKeepTheirByte)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.EmitByteInstruction(0x41));
    ASSERT_TRUE(program.EmitByteInstruction(0xFF));
    ASSERT_EQ(program.instructionCount(), 2u);
    EXPECT_EQ(program.instructionAt(0)->kind(), INSTR_BYTE);
    EXPECT_EQ(program.instructionAt(0)->byte(), 0x41);
    EXPECT_EQ(program.instructionAt(1)->word, 3u + 16u * 0xFF);
}

TEST(DisassembledProgram, ByteRunsThatContinueOneAnotherJoin)
{
    const uint8_t image[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.EmitBytesInstruction(image, 1));
    ASSERT_TRUE(program.EmitBytesInstruction(image + 1, 3));
    // Not adjacent in the image: a run of its own.
    ASSERT_TRUE(program.EmitBytesInstruction(image + 5, 1));
    ASSERT_EQ(program.instructionCount(), 2u);
    EXPECT_EQ(program.instructionAt(0)->bytes, image);
    EXPECT_EQ(program.instructionAt(0)->value, 4u);
    EXPECT_EQ(program.instructionAt(1)->bytes, image + 5);
    EXPECT_EQ(program.instructionAt(1)->value, 1u);
}

TEST(DisassembledProgram, LabelOfAskedByKind)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* rel = program.LabelForRel32(0x10);
    Label* abs = program.LabelForAbs32(0x20);
    ASSERT_TRUE(program.EmitRel32(rel));
    ASSERT_TRUE(program.EmitAbs32(abs));
    ASSERT_TRUE(program.EmitOriginInstruction(5));
    EXPECT_EQ(DisassembledProgram::Rel32LabelOf(program.instructionAt(0)), rel);
    EXPECT_EQ(DisassembledProgram::Abs32LabelOf(program.instructionAt(0)), nullptr);
    EXPECT_EQ(DisassembledProgram::Abs32LabelOf(program.instructionAt(1)), abs);
    EXPECT_EQ(DisassembledProgram::Rel32LabelOf(program.instructionAt(2)), nullptr);
}

TEST(DisassembledProgram, ProgramWithoutLabelsEncodesToEmptyRvaTables)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    const uint8_t bytes[] = {1, 2, 3};
    ASSERT_TRUE(program.EmitOriginInstruction(0x1000));
    ASSERT_TRUE(program.EmitBytesInstruction(bytes, 3));
    program.NumberLabels();
    EncodedPtr encoded = encode(program);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->abs32Rvas().size(), 0u);
    EXPECT_EQ(encoded->rel32Rvas().size(), 0u);
    EXPECT_EQ(valuesOf(encoded->ops()), (std::vector<uint32_t> {OP_ORIGIN, OP_COPY}));
}

TEST(DisassembledProgram, EncodeMapsEveryInstructionKind)
{
    DisassembledProgram program(WIN_32_X64);
    program.setImageBase(0x140000000ull);
    const uint8_t run[] = {9, 8};
    const uint8_t branch[4] = {0, 0, 0, 0xEB};
    ASSERT_TRUE(program.EmitOriginInstruction(0x1000));
    ASSERT_TRUE(program.EmitByteInstruction(0x41));
    ASSERT_TRUE(program.EmitBytesInstruction(run, 2));
    ASSERT_TRUE(program.EmitRel32(program.LabelForRel32(0x2000)));
    ASSERT_TRUE(program.EmitAbs32(program.LabelForAbs32(0x3000)));
    ASSERT_TRUE(program.EmitRel32ARM(0x30EB, program.LabelForRel32(0x4000), branch, 4));
    ASSERT_TRUE(program.EmitPeRelocsInstruction());
    ASSERT_TRUE(program.EmitElfRelocationInstruction());
    ASSERT_TRUE(program.EmitElfARMRelocationInstruction());
    program.NumberLabels();

    EncodedPtr encoded = encode(program);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->imageBase(), 0x140000000ull);
    EXPECT_EQ(valuesOf(encoded->ops()),
        (std::vector<uint32_t> {OP_ORIGIN, OP_COPY, OP_REL32, OP_ABS32, 0x30EB, OP_PE64_RELOC_TABLE,
            OP_ELF_RELOC_TABLE, OP_ELF_ARM_RELOC_TABLE}));
    EXPECT_EQ(valuesOf(encoded->copyCounts()), (std::vector<uint32_t> {3}));
    EXPECT_EQ(valuesOf(encoded->copyBytes()), (std::vector<uint8_t> {0x41, 9, 8}));
    EXPECT_EQ(valuesOf(encoded->rel32Indexes()), (std::vector<uint32_t> {0, 1}));
    EXPECT_EQ(valuesOf(encoded->abs32Indexes()), (std::vector<uint32_t> {0}));
    EXPECT_EQ(valuesOf(encoded->rel32Rvas()), (std::vector<uint32_t> {0x2000, 0x4000}));
    EXPECT_EQ(valuesOf(encoded->abs32Rvas()), (std::vector<uint32_t> {0x3000}));
    EXPECT_EQ(valuesOf(encoded->origins()), (std::vector<uint32_t> {0x1000}));
}

TEST(DisassembledProgram, Pe32ProgramGetsThePe32TableOp)
{
    DisassembledProgram program(WIN_32_X86);
    ASSERT_TRUE(program.EmitPeRelocsInstruction());
    EncodedPtr encoded = encode(program);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(valuesOf(encoded->ops()), (std::vector<uint32_t> {OP_PE32_RELOC_TABLE}));
}

// Labels are found by address and walked in address order, whatever order
// they came in, across the table's growth and after labels were dropped.
TEST(DisassembledProgram, LabelsAreWalkedInAddressOrder)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    std::vector<uint32_t> addresses;
    for (uint32_t i = 0; i < 5000; ++i)
        addresses.push_back((i * 2654435761u) ^ (i << 20));
    for (uint32_t rva : addresses)
        ASSERT_NE(program.LabelForRel32(rva), nullptr);
    // A second use finds the same label.
    EXPECT_EQ(program.LabelForRel32(addresses[7]), program.rel32Labels().find(addresses[7]));
    EXPECT_EQ(program.rel32Labels().find(addresses[7])->count, 2);
    std::sort(addresses.begin(), addresses.end());
    ASSERT_EQ(program.rel32Labels().size(), addresses.size());
    size_t i = 0;
    for (const auto& entry : program.rel32Labels()) {
        EXPECT_EQ(entry.first, addresses[i]);
        EXPECT_EQ(entry.second->rva, addresses[i]);
        ++i;
    }
    // Labels added after a walk join it in order.
    ASSERT_NE(program.LabelForRel32(addresses[0] + 1), nullptr);
    EXPECT_EQ(program.rel32Labels()[1].first, addresses[0] + 1);
    EXPECT_EQ(program.rel32Labels().find(addresses[0] + 2), nullptr);
}

TEST(DisassembledProgram, UnnumberedLabelsCannotBeEncoded)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.EmitRel32(program.LabelForRel32(0x10)));
    EncodedProgram* encoded = reinterpret_cast<EncodedProgram*>(1);
    EXPECT_EQ(Encode(&program, &encoded), C_GENERAL_ERROR);
    EXPECT_EQ(encoded, nullptr);
}

TEST(DisassembledProgram, TrimmingKeepsIndicesAndTurnsRareBranchesIntoBytes)
{
    ArmProgram arm(5);
    ASSERT_EQ(TrimLabels(&arm.program), C_OK);
    EXPECT_EQ(arm.program.rel32Labels().size(), 2u);
    EXPECT_EQ(arm.program.rel32Labels().find(0x200), nullptr);
    ASSERT_NE(arm.program.rel32Labels().find(0x300), nullptr);
    EXPECT_EQ(arm.program.rel32Labels().find(0x300)->index, 2);

    size_t runs = 0;
    for (size_t i = 0; i < arm.program.instructionCount(); ++i) {
        const Instruction* instruction = arm.program.instructionAt(i);
        if (instruction->kind() == INSTR_BYTE_RUN) {
            ++runs;
            EXPECT_EQ(instruction->bytes, arm.branch);
            EXPECT_EQ(instruction->value, 4u);
        }
    }
    EXPECT_EQ(runs, 5u);

    EncodedPtr encoded = encode(arm.program);
    ASSERT_TRUE(encoded);
    // The gap left by the trimmed label repeats the rva before it.
    EXPECT_EQ(valuesOf(encoded->rel32Rvas()), (std::vector<uint32_t> {0x100, 0x100, 0x300}));
    EXPECT_EQ(valuesOf(encoded->copyCounts()), (std::vector<uint32_t> {20}));
    EXPECT_EQ(encoded->rel32Indexes().size(), 12u);
}

TEST(DisassembledProgram, LabelUsedSixTimesSurvivesTrimming)
{
    ArmProgram arm(6);
    ASSERT_EQ(TrimLabels(&arm.program), C_OK);
    EXPECT_EQ(arm.program.rel32Labels().size(), 3u);
    for (size_t i = 0; i < arm.program.instructionCount(); ++i)
        EXPECT_NE(arm.program.instructionAt(i)->kind(), INSTR_BYTE_RUN);
}

TEST(DisassembledProgram, TrimmingLeavesOtherKindsAlone)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* rare = program.LabelForRel32(0x10);
    ASSERT_TRUE(program.EmitRel32(rare));
    program.NumberLabels();
    ASSERT_EQ(TrimLabels(&program), C_OK);
    EXPECT_EQ(program.rel32Labels().size(), 1u);
    EXPECT_EQ(program.instructionAt(0)->kind(), INSTR_REL32);
}

TEST(DisassembledProgram, TrimmingFailsOnABranchWithoutOperandBytes)
{
    DisassembledProgram program(ELF_32_ARM);
    ASSERT_TRUE(program.EmitRel32ARM(0x30EB, program.LabelForRel32(0x10), nullptr, 0));
    program.NumberLabels();
    EXPECT_EQ(TrimLabels(&program), C_TRIM_FAILED);
}

TEST(DisassembledProgram, LongRunsOfSingleBytesEncodeAsOneCopy)
{
    DisassembledProgram program(WIN_32_X86);
    Bytes expected;
    ASSERT_TRUE(program.EmitOriginInstruction(0));
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_TRUE(program.EmitByteInstruction(uint8_t(i * 7)));
        expected.push_back(uint8_t(i * 7));
    }
    ASSERT_TRUE(program.EmitOriginInstruction(0x2000));
    ASSERT_TRUE(program.EmitByteInstruction(0x5A));
    ASSERT_TRUE(program.EmitOriginInstruction(0x3000));
    ASSERT_TRUE(program.EmitByteInstruction(0x01));
    ASSERT_TRUE(program.EmitByteInstruction(0x02));
    expected.insert(expected.end(), {0x5A, 0x01, 0x02});
    EncodedPtr encoded = encode(program);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(valuesOf(encoded->ops()),
        (std::vector<uint32_t> {OP_ORIGIN, OP_COPY, OP_ORIGIN, OP_COPY1, OP_ORIGIN, OP_COPY}));
    EXPECT_EQ(valuesOf(encoded->copyCounts()), (std::vector<uint32_t> {1000, 2}));
    EXPECT_EQ(valuesOf(encoded->copyBytes()), expected);
}
