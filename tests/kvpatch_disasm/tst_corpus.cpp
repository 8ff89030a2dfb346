// Real executables of every supported kind: detection, and the patch
// application's parse, trim, encode, write, read and assemble path, which
// must give back the element's bytes exactly.
#include "corpus.h"
#include "detectexecutable.h"
#include "disassembledprogram.h"
#include "imagebuilder.h"
#include "roundtrip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace kvpatch;

namespace {

uint32_t Get32(const std::vector<uint8_t>& b, size_t o)
{
    return b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (uint32_t(b[o + 3]) << 24);
}

uint16_t Get16(const std::vector<uint8_t>& b, size_t o)
{
    return static_cast<uint16_t>(b[o] | (b[o + 1] << 8));
}

// Where the headers say a PE image ends: the end of the last section's raw
// data (a symbol table appended after it is not part of the executable).
size_t PeEndOfSections(const std::vector<uint8_t>& image)
{
    const uint32_t pe = Get32(image, 60);
    const uint16_t count = Get16(image, pe + 6);
    const size_t table = pe + 24 + Get16(image, pe + 20);
    size_t end = 0;
    for (uint16_t i = 0; i < count; ++i) {
        const size_t header = table + 40 * i;
        end = std::max<size_t>(end, size_t(Get32(image, header + 20)) + Get32(image, header + 16));
    }
    return end;
}

// Mach-O: the end of the last segment that holds sections.
size_t Macho64EndOfSegments(const std::vector<uint8_t>& image)
{
    size_t command = 32;
    size_t end = 0;
    for (uint32_t i = 0; i < Get32(image, 16); ++i) {
        if (Get32(image, command) == 25 && Get32(image, command + 64) != 0)
            end = std::max<size_t>(end, Get32(image, command + 40) + Get32(image, command + 48));
        command += Get32(image, command + 4);
    }
    return end;
}

struct CorpusCase
{
    const char* name;
    FileType type;
};

void PrintTo(const CorpusCase& c, std::ostream* os)
{
    *os << c.name;
}

class CorpusImage : public ::testing::TestWithParam<CorpusCase>
{
};

size_t ExpectedLength(const CorpusCase& c, const std::vector<uint8_t>& image)
{
    switch (c.type) {
    case WIN_32_X86:
    case WIN_32_X64:
        return PeEndOfSections(image);
    case MACHO_X64:
        return Macho64EndOfSegments(image);
    default:
        // The linker puts the section header table last.
        return image.size();
    }
}

} // namespace

TEST_P(CorpusImage, DetectsTypeAndLength)
{
    LOAD_CORPUS_OR_SKIP(image, GetParam().name);
    FileType type = UNKNOWN;
    size_t length = 0;
    ASSERT_EQ(DetectFileType(image.data(), image.size(), &type, &length), C_OK);
    EXPECT_EQ(type, GetParam().type);
    EXPECT_EQ(length, ExpectedLength(GetParam(), image));
}

TEST_P(CorpusImage, TrailingBytesAreNotPartOfTheExecutable)
{
    LOAD_CORPUS_OR_SKIP(image, GetParam().name);
    std::vector<uint8_t> padded = image;
    padded.resize(image.size() + 777, 0xA5);
    FileType type = UNKNOWN;
    size_t length = 0;
    ASSERT_EQ(DetectFileType(padded.data(), padded.size(), &type, &length), C_OK);
    EXPECT_EQ(type, GetParam().type);
    EXPECT_EQ(length, ExpectedLength(GetParam(), image));
}

TEST_P(CorpusImage, RoundTripReproducesTheElement)
{
    LOAD_CORPUS_OR_SKIP(image, GetParam().name);
    const std::vector<uint8_t> element(
        image.begin(), image.begin() + ExpectedLength(GetParam(), image));
    const RoundTrip trip = RunRoundTrip(element);
    ASSERT_EQ(trip.parse, C_OK);
    ASSERT_EQ(trip.trim, C_OK);
    ASSERT_EQ(trip.encode, C_OK);
    ASSERT_EQ(trip.write, C_OK);
    ASSERT_EQ(trip.read, C_OK);
    ASSERT_EQ(trip.assemble, C_OK);
    ASSERT_EQ(trip.bytes.size(), element.size());
    EXPECT_TRUE(trip.bytes == element) << "assembled bytes differ";
}

TEST_P(CorpusImage, EncodingWhileDisassemblingGivesTheListsStreams)
{
    LOAD_CORPUS_OR_SKIP(image, GetParam().name);
    const std::vector<uint8_t> element(
        image.begin(), image.begin() + ExpectedLength(GetParam(), image));
    const EncodedPaths paths = EncodeBothWays(element);
    ASSERT_FALSE(paths.listed.empty());
    EXPECT_TRUE(paths.direct == paths.listed);
}

TEST_P(CorpusImage, RoundTripWithoutTrimmingReproducesTheElement)
{
    LOAD_CORPUS_OR_SKIP(image, GetParam().name);
    const std::vector<uint8_t> element(
        image.begin(), image.begin() + ExpectedLength(GetParam(), image));
    const RoundTrip trip = RunRoundTrip(element, false);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == element) << "assembled bytes differ";
}

TEST_P(CorpusImage, ReferencesAreFound)
{
    LOAD_CORPUS_OR_SKIP(image, GetParam().name);
    const ProgramPtr program = Parse(image);
    ASSERT_TRUE(program);
    EXPECT_EQ(program->kind(), GetParam().type);
    auto kinds = CountInstructionKinds(*program);
    switch (GetParam().type) {
    case WIN_32_X86:
    case WIN_32_X64:
        EXPECT_EQ(kinds[INSTR_PE_RELOCS], 1u);
        EXPECT_GE(kinds[INSTR_ABS32], 8u);
        EXPECT_GE(kinds[INSTR_REL32], 3u);
        EXPECT_NE(program->imageBase(), 0u);
        break;
    case EXE_ELF_32_X86:
        // The shared object's pointers to its exported array need symbol
        // relocations, which stay literal; only the relative ones count.
        EXPECT_EQ(kinds[INSTR_ELF_RELOCS], 1u);
        EXPECT_GE(kinds[INSTR_ABS32], 4u);
        EXPECT_GE(kinds[INSTR_REL32], 3u);
        break;
    case ELF_32_ARM:
        EXPECT_EQ(kinds[INSTR_ELF_ARM_RELOCS], 1u);
        EXPECT_GE(kinds[INSTR_ABS32], 8u);
        EXPECT_GT(kinds[INSTR_REL32_ARM], 3u);
        EXPECT_EQ(kinds[INSTR_REL32], 0u);
        break;
    case ELF_64_X64:
    case MACHO_X64:
        EXPECT_EQ(kinds[INSTR_ABS32], 0u);
        EXPECT_EQ(kinds[INSTR_ELF_RELOCS], 0u);
        EXPECT_GE(kinds[INSTR_REL32], 3u);
        EXPECT_EQ(program->imageBase(), 0u);
        break;
    default:
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Toolchains, CorpusImage,
    ::testing::Values(CorpusCase {"elf32_x86_pie", EXE_ELF_32_X86},
        CorpusCase {"elf32_x86_shared.so", EXE_ELF_32_X86},
        CorpusCase {"elf64_x64_pie", ELF_64_X64}, CorpusCase {"elf32_arm_pie", ELF_32_ARM},
        CorpusCase {"elf32_thumb_pie", ELF_32_ARM}, CorpusCase {"pe32.dll", WIN_32_X86},
        CorpusCase {"pe64.dll", WIN_32_X64}, CorpusCase {"macho64", MACHO_X64}),
    [](const ::testing::TestParamInfo<CorpusCase>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), '.', '_');
        return name;
    });

TEST(CorpusArm, EveryBranchKindIsFoundAndRebuilt)
{
    for (const char* name : {"elf32_arm_pie", "elf32_thumb_pie"}) {
        SCOPED_TRACE(name);
        LOAD_CORPUS_OR_SKIP(image, name);
        const ProgramPtr program = Parse(image);
        ASSERT_TRUE(program);
        auto armKinds = CountArmBranchKinds(*program);
        for (uint32_t kind = 0; kind <= 4; ++kind)
            EXPECT_GT(armKinds[kind], 0u) << "ARM branch kind " << kind;
        // Every branch is rebuilt from its compressed op when nothing is
        // trimmed (checked byte for byte by the untrimmed round trip).
        const RoundTrip trip = RunRoundTrip(image, false);
        ASSERT_EQ(trip.assemble, C_OK);
        EXPECT_TRUE(trip.bytes == image);
    }
}

TEST(CorpusArm, TrimmingTurnsRarelyUsedBranchesIntoLiteralBytes)
{
    LOAD_CORPUS_OR_SKIP(image, "elf32_thumb_pie");
    const ProgramPtr program = Parse(image);
    ASSERT_TRUE(program);
    const size_t before = CountInstructionKinds(*program)[INSTR_REL32_ARM];
    ASSERT_EQ(TrimLabels(program.get()), C_OK);
    auto after = CountInstructionKinds(*program);
    size_t survivors = 0;
    for (const auto& entry : program->rel32Labels())
        survivors += entry.second->count;
    EXPECT_EQ(after[INSTR_REL32_ARM], survivors);
    EXPECT_LT(after[INSTR_REL32_ARM], before);
}
