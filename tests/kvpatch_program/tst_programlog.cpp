// What the program model and the encoded program write to the engine's log.
#include "programbuilder.h"

#include "log.h"

#include <string>
#include <utility>
#include <vector>

using namespace kvpatch;
using namespace kvtest;

namespace {

class RecordingSink : public LogBase
{
public:
    void flush() override { }
    void notify2(uint32_t, uint32_t) override { }
    void write(const std::string& message, int level, const std::string&, uint64_t,
        const std::string&, const std::string&) override
    {
        records.emplace_back(level, message);
    }

    std::vector<std::pair<int, std::string>> records;
};

} // namespace

TEST(ProgramLog, NullReferenceIsReportedAsUnreachable)
{
    RecordingSink sink;
    DisassembledProgram program(EXE_ELF_32_X86);
    EXPECT_FALSE(program.EmitAbs32(nullptr));
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].first, LogError);
    EXPECT_EQ(sink.records[0].second, "REACHED UNREACHABLE");
}

TEST(ProgramLog, TrimmingLogsItsThresholdOnlyForArm)
{
    RecordingSink sink;
    DisassembledProgram x86(EXE_ELF_32_X86);
    ASSERT_EQ(TrimLabels(&x86), C_OK);
    EXPECT_TRUE(sink.records.empty());

    DisassembledProgram arm(ELF_32_ARM);
    ASSERT_EQ(TrimLabels(&arm), C_OK);
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].first, LogDebug);
    EXPECT_EQ(sink.records[0].second, "TrimLabels: threshold 5");
}

TEST(ProgramLog, RenumberingIsReportedButDone)
{
    RecordingSink sink;
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* label = program.LabelForRel32(0x40);
    label->index = 7;
    program.NumberLabels();
    EXPECT_EQ(label->index, 0);
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].second, "REACHED UNREACHABLE");
}

TEST(ProgramLog, FillLabelIndexesReportsItsCounts)
{
    RecordingSink sink;
    DisassembledProgram program(EXE_ELF_32_X86);
    program.LabelForRel32(1)->index = 0;
    program.LabelForRel32(2);
    program.FillLabelIndexes();
    ASSERT_EQ(sink.records.size(), 4u);
    EXPECT_EQ(sink.records[0].second, "0 of 0 labels pre-assigned");
    EXPECT_EQ(sink.records[2].second, "1 of 2 labels pre-assigned");
    EXPECT_EQ(sink.records[3].second, "  fill forward 1  backward 0  infill 0");
}

TEST(ProgramLog, SummaryListsEveryTable)
{
    RecordingSink sink;
    EncodedProgram program;
    program.setImageBase(0x400000);
    const uint8_t bytes[] = {1, 2, 3};
    ASSERT_TRUE(program.AddCopy(3, bytes));
    ASSERT_TRUE(program.SetRel32Rva(1, 5));
    program.LogSummary();
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].first, LogDebug);
    EXPECT_EQ(sink.records[0].second,
        "EncodedProgram Summary\n  image base  4194304\n"
        "  abs32 rvas  0\n  rel32 rvas  2\n  ops         1\n"
        "  origins     0\n  copy_counts 1\n  copy_bytes  3\n"
        "  abs32_ix    0\n  rel32_ix    0");
}
