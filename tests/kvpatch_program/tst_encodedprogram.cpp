#include "programbuilder.h"

#include "armbranch.h"

using namespace kvpatch;
using namespace kvtest;

namespace {

using Ops = std::vector<uint32_t>;

// Rebuilds serialized streams with stream INDEX replaced by CONTENT.
Bytes withStream(const Bytes& serialized, uint32_t index, const Bytes& content, uint32_t count = 10)
{
    SourceStreamSet in;
    EXPECT_TRUE(in.Init(serialized.data(), serialized.size()));
    SinkStreamSet out;
    out.Init(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (i == index)
            out.Stream(i)->Write(content.data(), content.size());
        else if (i < in.Count())
            out.Stream(i)->Write(in.Stream(i)->Buffer(), in.Stream(i)->Remaining());
    }
    SinkStream all;
    EXPECT_TRUE(out.WriteAll(&all));
    return bytesOf(all);
}

Bytes streamOf(const Bytes& serialized, uint32_t index)
{
    SourceStreamSet in;
    EXPECT_TRUE(in.Init(serialized.data(), serialized.size()));
    const SourceStream* s = in.Stream(index);
    return Bytes(s->Buffer(), s->Buffer() + s->Remaining());
}

// A small program that uses every op family that can appear together.
EncodedPtr sampleProgram()
{
    EncodedPtr program(new EncodedProgram);
    program->setImageBase(0x08048000);
    EXPECT_TRUE(program->SetAbs32Rva(0, 0x2000));
    EXPECT_TRUE(program->SetAbs32Rva(2, 0x2100));
    EXPECT_TRUE(program->SetRel32Rva(0, 0x1000));
    EXPECT_TRUE(program->SetRel32Rva(1, 0x1800));
    program->FillRvaGaps();
    const uint8_t text[] = {0x55, 0x89, 0xE5, 0xE8};
    EXPECT_TRUE(program->AddOrigin(0x1000));
    EXPECT_TRUE(program->AddCopy(4, text));
    EXPECT_TRUE(program->AddRel32(1));
    EXPECT_TRUE(program->AddCopy(1, text));
    EXPECT_TRUE(program->AddAbs32(2));
    EXPECT_TRUE(program->AddAbs32(0));
    EXPECT_TRUE(program->AddRel32ARM(0x30EB, 0));
    EXPECT_TRUE(program->AddElfRelocTableOp());
    EXPECT_TRUE(program->AddCopy(2, text));
    return program;
}

// Assembles a relocation-table op followed by absolute addresses at
// POSITIONS, in that order.
Bytes tableBeforeAbs32At(uint32_t tableOp, const std::vector<uint32_t>& positions)
{
    EncodedProgram program;
    EXPECT_TRUE(program.SetAbs32Rva(0, 0));
    if (tableOp == OP_PE32_RELOC_TABLE)
        EXPECT_TRUE(program.AddPeRelocTableOp(WIN_32_X86));
    else
        EXPECT_TRUE(program.AddElfArmRelocTableOp());
    for (uint32_t position : positions) {
        EXPECT_TRUE(program.AddOrigin(position));
        EXPECT_TRUE(program.AddAbs32(0));
    }
    Bytes out;
    EXPECT_TRUE(assemble(&program, &out));
    return out;
}

} // namespace

TEST(EncodedProgram, SingleBytesMergeIntoOneCopy)
{
    EncodedProgram program;
    const uint8_t abc[] = {0x41, 0x42, 0x43};
    for (const uint8_t& b : abc)
        ASSERT_TRUE(program.AddCopy(1, &b));
    EXPECT_EQ(valuesOf(program.ops()), (Ops {OP_COPY}));
    EXPECT_EQ(valuesOf(program.copyCounts()), (Ops {3}));
    EXPECT_EQ(valuesOf(program.copyBytes()), (Bytes {0x41, 0x42, 0x43}));
}

TEST(EncodedProgram, LoneByteIsACopy1)
{
    EncodedProgram program;
    const uint8_t b = 7;
    ASSERT_TRUE(program.AddCopy(1, &b));
    ASSERT_TRUE(program.AddRel32(0));
    ASSERT_TRUE(program.AddCopy(1, &b));
    EXPECT_EQ(valuesOf(program.ops()), (Ops {OP_COPY1, OP_REL32, OP_COPY1}));
    EXPECT_EQ(program.copyCounts().size(), 0u);
}

TEST(EncodedProgram, RunsAndBytesMergeUntilAnotherOp)
{
    EncodedProgram program;
    const uint8_t run[] = {1, 2, 3, 4};
    ASSERT_TRUE(program.AddCopy(1, run));
    ASSERT_TRUE(program.AddCopy(3, run + 1));
    ASSERT_TRUE(program.AddOrigin(0x40));
    ASSERT_TRUE(program.AddCopy(0, run));
    ASSERT_TRUE(program.AddCopy(2, run));
    EXPECT_EQ(valuesOf(program.ops()), (Ops {OP_COPY, OP_ORIGIN, OP_COPY}));
    EXPECT_EQ(valuesOf(program.copyCounts()), (Ops {4, 2}));
    EXPECT_EQ(valuesOf(program.copyBytes()), (Bytes {1, 2, 3, 4, 1, 2}));
}

TEST(EncodedProgram, RvaGapsRepeatThePreviousEntry)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Rva(0, 0x1000));
    ASSERT_TRUE(program.SetAbs32Rva(2, 0x3000));
    ASSERT_TRUE(program.SetRel32Rva(1, 0x500));
    program.FillRvaGaps();
    EXPECT_EQ(valuesOf(program.abs32Rvas()), (Ops {0x1000, 0x1000, 0x3000}));
    EXPECT_EQ(valuesOf(program.rel32Rvas()), (Ops {0, 0x500}));

    const Bytes serialized = serialize(&program);
    EXPECT_EQ(streamOf(serialized, 5), (Bytes {3, 0x80, 0x20, 0, 0x80, 0x40}));
    EXPECT_EQ(streamOf(serialized, 6), (Bytes {2, 0, 0x80, 0x0A}));
}

TEST(EncodedProgram, BorrowedBytesAssembleAsCopiedOnes)
{
    EncodedPtr original = sampleProgram();
    const Bytes serialized = serialize(original.get());
    Bytes fromOriginal;
    ASSERT_TRUE(assemble(original.get(), &fromOriginal));

    SourceStreamSet streams;
    ASSERT_TRUE(streams.Init(serialized.data(), serialized.size()));
    EncodedProgram* raw = nullptr;
    ASSERT_EQ(ReadEncodedProgramBorrowing(&streams, &raw), C_OK);
    EncodedPtr borrowing(raw);
    EXPECT_TRUE(borrowing->copyBytes().empty());
    Bytes fromBorrowing;
    ASSERT_TRUE(assemble(borrowing.get(), &fromBorrowing));
    EXPECT_EQ(fromBorrowing, fromOriginal);
}

TEST(EncodedProgram, ReleasedBorrowedBytesAssembleAsKept)
{
    // Literal bytes enough for their pages to go behind the assembly, with
    // and without a PE table after an ELF one (assembled twice over).
    for (const bool twice : {false, true}) {
        EncodedProgram program;
        ASSERT_TRUE(program.SetAbs32Rva(0, 0x1000));
        ASSERT_TRUE(!twice || program.AddElfRelocTableOp());
        ASSERT_TRUE(program.AddOrigin(0x1000));
        Bytes page(4096);
        for (uint32_t at = 0; at < (2u << 20); at += 4096) {
            for (size_t i = 0; i < page.size(); ++i)
                page[i] = uint8_t((at + i) * 131 + (at >> 12));
            ASSERT_TRUE(program.AddCopy(uint32_t(page.size()), page.data()));
            ASSERT_TRUE(program.AddAbs32(0));
        }
        ASSERT_TRUE(!twice || program.AddPeRelocTableOp(WIN_32_X86));
        const Bytes serialized = serialize(&program);
        Bytes expected;
        ASSERT_TRUE(assemble(deserialize(serialized).get(), &expected));

        Bytes held = serialized;
        SourceStreamSet streams;
        ASSERT_TRUE(streams.Init(held.data(), held.size()));
        EncodedProgram* raw = nullptr;
        ASSERT_EQ(ReadEncodedProgramBorrowing(&streams, &raw), C_OK);
        EncodedPtr borrowing(raw);
        borrowing->releaseBorrowedBytes();
        Bytes out;
        ASSERT_TRUE(assemble(borrowing.get(), &out)) << twice;
        EXPECT_EQ(out, expected) << twice;
    }
}

TEST(EncodedProgram, HugeLabelIndexIsRefused)
{
    EncodedProgram program;
    EXPECT_FALSE(program.SetRel32Rva(0xFFFFFFFFu, 1));
    EXPECT_FALSE(program.SetAbs32Rva(1u << 30, 1));
}

TEST(EncodedProgram, WriteReadRoundTripKeepsEveryStream)
{
    EncodedPtr original = sampleProgram();
    const Bytes serialized = serialize(original.get());
    EXPECT_EQ(streamOf(serialized, 8), Bytes {});
    EXPECT_EQ(streamOf(serialized, 9), Bytes {});

    EncodedPtr read = deserialize(serialized);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->imageBase(), 0x08048000u);
    EXPECT_EQ(valuesOf(read->ops()), valuesOf(original->ops()));
    EXPECT_EQ(valuesOf(read->origins()), valuesOf(original->origins()));
    EXPECT_EQ(valuesOf(read->copyCounts()), valuesOf(original->copyCounts()));
    EXPECT_EQ(valuesOf(read->copyBytes()), valuesOf(original->copyBytes()));
    EXPECT_EQ(valuesOf(read->rel32Indexes()), valuesOf(original->rel32Indexes()));
    EXPECT_EQ(valuesOf(read->abs32Indexes()), valuesOf(original->abs32Indexes()));
    EXPECT_EQ(valuesOf(read->rel32Rvas()), valuesOf(original->rel32Rvas()));
    EXPECT_EQ(valuesOf(read->abs32Rvas()), valuesOf(original->abs32Rvas()));

    Bytes fromOriginal, fromRead;
    ASSERT_TRUE(assemble(original.get(), &fromOriginal));
    ASSERT_TRUE(assemble(read.get(), &fromRead));
    EXPECT_EQ(fromRead, fromOriginal);
}

TEST(EncodedProgram, OnlyTheLowHalfOfTheImageBaseIsStored)
{
    EncodedProgram program;
    program.setImageBase(0x140001000ull);
    EncodedPtr read = deserialize(serialize(&program));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->imageBase(), 0x40001000u);
}

TEST(EncodedProgram, AssemblyWritesEveryOp)
{
    EncodedPtr program = sampleProgram();
    Bytes out;
    ASSERT_TRUE(assemble(program.get(), &out));
    uint32_t arm = 0;
    ASSERT_TRUE(BuildArmInstruction(ARM_B24, 0x30EB, 0x1000 - 0x1011, &arm));
    const Bytes expected = {0x55, 0x89, 0xE5, 0xE8,
        // rel32 to 0x1800 from the end of the field at 0x1008
        0xF8, 0x07, 0, 0, 0x55,
        // absolute addresses 0x2100 and 0x2000 plus the image base
        0x00, 0xA1, 0x04, 0x08, 0x00, 0xA0, 0x04, 0x08, uint8_t(arm), uint8_t(arm >> 8),
        uint8_t(arm >> 16), uint8_t(arm >> 24),
        // where the table op stands: the two absolute positions, type 8
        0x09, 0x10, 0, 0, 8, 0, 0, 0, 0x0D, 0x10, 0, 0, 8, 0, 0, 0,
        // the bytes after the table op
        0x55, 0x89};
    EXPECT_EQ(out, expected);
}

TEST(EncodedProgram, Rel32BackwardsIsNegative)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetRel32Rva(0, 0x80));
    ASSERT_TRUE(program.AddOrigin(0x100));
    ASSERT_TRUE(program.AddRel32(0));
    Bytes out;
    ASSERT_TRUE(assemble(&program, &out));
    EXPECT_EQ(out, (Bytes {0x7C, 0xFF, 0xFF, 0xFF}));
}

TEST(EncodedProgram, ThumbBranchesAreWrittenHighHalfFirst)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetRel32Rva(0, 0x2004));
    ASSERT_TRUE(program.AddOrigin(0x1000));
    uint16_t op = 0;
    uint32_t target = 0;
    ASSERT_TRUE(ExtractArmTarget(THUMB2_B25, 0xF001F800u, 0x1000, &op, &target));
    ASSERT_TRUE(program.AddRel32ARM(op, 0));
    ASSERT_TRUE(ExtractArmTarget(THUMB_B11, 0xE002u, 0x1004, &op, &target));
    ASSERT_TRUE(program.AddRel32ARM(op, 0));
    Bytes out;
    ASSERT_TRUE(assemble(&program, &out));
    // BL +0x1000 from 0x1000 (target 0x2004), then B from 0x1004 to 0x2004
    // cut to its 11-bit field.
    uint32_t b11 = 0;
    ASSERT_TRUE(BuildArmInstruction(THUMB_B11, op, 0x2004 - 0x1004, &b11));
    EXPECT_EQ(out, (Bytes {0x01, 0xF0, 0x00, 0xF8, uint8_t(b11), uint8_t(b11 >> 8)}));
}

TEST(EncodedProgram, PeTableSplitsBlocksPerPage)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Rva(0, 0));
    ASSERT_TRUE(program.AddPeRelocTableOp(WIN_32_X86));
    ASSERT_TRUE(program.AddOrigin(0x1FFC));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(program.AddAbs32(0));
    Bytes out;
    ASSERT_TRUE(assemble(&program, &out));
    const Bytes table = {0x00, 0x10, 0, 0, 12, 0, 0, 0, 0xFC, 0x3F, 0, 0, 0x00, 0x20, 0, 0, 12, 0,
        0, 0, 0x00, 0x30, 0x04, 0x30};
    ASSERT_EQ(out.size(), table.size() + 12);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + table.size()), table);
}

TEST(EncodedProgram, Pe64TableUsesEntryTypeTen)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Rva(0, 0));
    ASSERT_TRUE(program.AddPeRelocTableOp(WIN_32_X64));
    ASSERT_TRUE(program.AddOrigin(0x3010));
    ASSERT_TRUE(program.AddAbs32(0));
    Bytes out;
    ASSERT_TRUE(assemble(&program, &out));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 12),
        (Bytes {0x00, 0x30, 0, 0, 12, 0, 0, 0, 0x10, 0xA0, 0, 0}));
}

TEST(EncodedProgram, PePageRevisitedLaterOpensANewBlock)
{
    // Positions collected 0x1000, 0x2000, 0x1008: the last one is not part
    // of the ordering and stays last, so page 0x1000 appears twice.
    const Bytes out = tableBeforeAbs32At(OP_PE32_RELOC_TABLE, {0x1000, 0x2000, 0x1008});
    const Bytes table = {0x00, 0x10, 0, 0, 12, 0, 0, 0, 0x00, 0x30, 0, 0, 0x00, 0x20, 0, 0, 12, 0,
        0, 0, 0x00, 0x30, 0, 0, 0x00, 0x10, 0, 0, 12, 0, 0, 0, 0x08, 0x30, 0, 0};
    ASSERT_EQ(out.size(), table.size() + 12);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + table.size()), table);
}

TEST(EncodedProgram, ElfTableOrdersAllButTheLastPosition)
{
    const Bytes out = tableBeforeAbs32At(OP_ELF_ARM_RELOC_TABLE, {0x3000, 0x1000, 0x2000});
    const Bytes entries = {0x00, 0x10, 0, 0, 23, 0, 0, 0, 0x00, 0x30, 0, 0, 23, 0, 0, 0, 0x00, 0x20,
        0, 0, 23, 0, 0, 0};
    ASSERT_EQ(out.size(), entries.size() + 12);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + entries.size()), entries);
}

TEST(EncodedProgram, PeTableAfterElfTableComesFirst)
{
    // The ELF table's room is normally held in place; a PE table after it
    // must still lead, with everything after the ELF op between the two.
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Rva(0, 0x10));
    const uint8_t before = 0xAA, after = 0xBB;
    ASSERT_TRUE(program.AddOrigin(0x1000));
    ASSERT_TRUE(program.AddCopy(1, &before));
    ASSERT_TRUE(program.AddElfRelocTableOp());
    ASSERT_TRUE(program.AddAbs32(0));
    ASSERT_TRUE(program.AddPeRelocTableOp(WIN_32_X86));
    ASSERT_TRUE(program.AddCopy(1, &after));
    Bytes out;
    ASSERT_TRUE(assemble(&program, &out));
    const Bytes expected = {0xAA, 0x00, 0x10, 0, 0, 12, 0, 0, 0, 0x01, 0x30, 0, 0, 0x10, 0, 0, 0,
        0xBB, 0x01, 0x10, 0, 0, 8, 0, 0, 0};
    EXPECT_EQ(out, expected);
}

TEST(EncodedProgram, ElfTableStandsWhereItsOpIs)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Rva(0, 0x10));
    const uint8_t before = 0xAA, after = 0xBB;
    ASSERT_TRUE(program.AddOrigin(0x1000));
    ASSERT_TRUE(program.AddAbs32(0));
    ASSERT_TRUE(program.AddCopy(1, &before));
    ASSERT_TRUE(program.AddElfRelocTableOp());
    ASSERT_TRUE(program.AddAbs32(0));
    ASSERT_TRUE(program.AddCopy(1, &after));
    Bytes out;
    ASSERT_TRUE(assemble(&program, &out));
    const Bytes expected = {0x10, 0, 0, 0, 0xAA, 0x00, 0x10, 0, 0, 8, 0, 0, 0, 0x05, 0x10, 0, 0, 8,
        0, 0, 0, 0x10, 0, 0, 0, 0xBB};
    EXPECT_EQ(out, expected);
}

TEST(EncodedProgram, TooManyPositionsInOnePageFail)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Rva(0, 0));
    ASSERT_TRUE(program.AddPeRelocTableOp(WIN_32_X86));
    // Overlapping positions can put more than 4096 entries into one page.
    for (uint32_t i = 0; i < 4098; ++i) {
        ASSERT_TRUE(program.AddOrigin(0x1000 + (i % 4096)));
        ASSERT_TRUE(program.AddAbs32(0));
    }
    Bytes out;
    EXPECT_FALSE(assemble(&program, &out));
}

TEST(EncodedProgram, TwoTablesOfOneFamilyFail)
{
    const uint32_t families[][2] = {{OP_PE32_RELOC_TABLE, OP_PE32_RELOC_TABLE},
        {OP_PE32_RELOC_TABLE, OP_PE64_RELOC_TABLE}, {OP_ELF_RELOC_TABLE, OP_ELF_ARM_RELOC_TABLE}};
    for (const auto& pair : families) {
        EncodedProgram program;
        for (const uint32_t op : pair) {
            if (op == OP_PE32_RELOC_TABLE)
                ASSERT_TRUE(program.AddPeRelocTableOp(WIN_32_X86));
            else if (op == OP_PE64_RELOC_TABLE)
                ASSERT_TRUE(program.AddPeRelocTableOp(WIN_32_X64));
            else if (op == OP_ELF_RELOC_TABLE)
                ASSERT_TRUE(program.AddElfRelocTableOp());
            else
                ASSERT_TRUE(program.AddElfArmRelocTableOp());
        }
        Bytes out;
        EXPECT_FALSE(assemble(&program, &out)) << pair[0] << " " << pair[1];
    }
}

TEST(EncodedProgram, ExtraIndexInStream3FailsToRead)
{
    const Bytes serialized = serialize(sampleProgram().get());
    Bytes stream3 = streamOf(serialized, 3);
    stream3.push_back(0);
    Status status = C_OK;
    EXPECT_FALSE(deserialize(withStream(serialized, 3, stream3), &status));
    EXPECT_EQ(status, C_DESERIALIZATION_FAILED);

    // Counted in, the extra index reads but is never used, so assembly fails.
    stream3[0] += 1;
    EncodedPtr read = deserialize(withStream(serialized, 3, stream3));
    ASSERT_TRUE(read);
    Bytes out;
    EXPECT_FALSE(assemble(read.get(), &out));
}

TEST(EncodedProgram, Stream8MustBeEmptyAndStream9IsIgnored)
{
    const Bytes serialized = serialize(sampleProgram().get());
    EXPECT_FALSE(deserialize(withStream(serialized, 8, Bytes {0})));
    EXPECT_TRUE(deserialize(withStream(serialized, 9, Bytes {1, 2, 3})));
    EXPECT_TRUE(deserialize(withStream(serialized, 99, Bytes {}, 8)));
    EXPECT_FALSE(deserialize(withStream(serialized, 99, Bytes {}, 7)));
}

TEST(EncodedProgram, EveryTruncatedStreamFailsToRead)
{
    const Bytes serialized = serialize(sampleProgram().get());
    for (uint32_t index = 0; index < 8; ++index) {
        const Bytes full = streamOf(serialized, index);
        for (size_t length = 0; length < full.size(); ++length) {
            const Bytes cut(full.begin(), full.begin() + length);
            EXPECT_FALSE(deserialize(withStream(serialized, index, cut)))
                << "stream " << index << " cut to " << length;
        }
    }
}

TEST(EncodedProgram, HugeCountsFailWithoutAllocating)
{
    const Bytes serialized = serialize(sampleProgram().get());
    for (uint32_t index = 1; index < 8; ++index)
        EXPECT_FALSE(
            deserialize(withStream(serialized, index, Bytes {0xFF, 0xFF, 0xFF, 0xFF, 0x0F})));
}

TEST(EncodedProgram, MalformedOpsFailAssembly)
{
    // Streams with one origin, two copy bytes in one copy and one rel32
    // index; each ops stream below reads fine and must fail to assemble.
    EncodedProgram program;
    ASSERT_TRUE(program.SetRel32Rva(0, 0));
    ASSERT_TRUE(program.AddOrigin(0));
    const uint8_t b[2] = {1, 2};
    ASSERT_TRUE(program.AddCopy(2, b));
    ASSERT_TRUE(program.AddRel32(0));
    const Bytes serialized = serialize(&program);
    Bytes out;
    EncodedPtr good = deserialize(serialized);
    ASSERT_TRUE(good);
    ASSERT_TRUE(assemble(good.get(), &out));

    const Ops badOps[] = {
        {OP_ORIGIN, OP_ORIGIN, OP_COPY, OP_REL32}, // origins exhausted
        {OP_COPY, OP_COPY, OP_REL32}, // copy counts exhausted
        {OP_COPY, OP_REL32, OP_REL32}, // rel32 indices exhausted
        {OP_COPY}, // rel32 index left over
        {OP_REL32}, // copy bytes left over
        {OP_COPY, OP_COPY1, OP_REL32}, // copy bytes exhausted
        {OP_COPY, OP_REL32, OP_ABS32}, // no abs32 index at all
        {OP_COPY, OP_REL32, 9}, // never a valid op
        {OP_COPY, OP_REL32, 0xFFF},
        {OP_COPY, 0x6000},
        {OP_COPY, 0xFFFFF000u},
    };
    for (const Ops& ops : badOps) {
        SinkStream stream;
        ASSERT_TRUE(stream.WriteSizeVarint32(ops.size()));
        for (uint32_t op : ops)
            ASSERT_TRUE(stream.WriteVarint32(op));
        EncodedPtr read = deserialize(withStream(serialized, 1, bytesOf(stream)));
        ASSERT_TRUE(read);
        EXPECT_FALSE(assemble(read.get(), &out)) << "first op " << ops[0] << " size " << ops.size();
    }
}

TEST(EncodedProgram, LabelIndexOutsideItsTableFailsAssembly)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Rva(0, 0x10));
    ASSERT_TRUE(program.AddAbs32(1));
    Bytes out;
    EXPECT_FALSE(assemble(&program, &out));

    EncodedProgram arm;
    ASSERT_TRUE(arm.AddRel32ARM(0x30EB, 0));
    EXPECT_FALSE(assemble(&arm, &out));
}
