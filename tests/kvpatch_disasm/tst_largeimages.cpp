// Images of a few MB with tens of thousands of sections, each holding
// references: every section's walk must start at its own references, not
// step over those of all the sections before it (which made such an image
// take minutes). The result must still be the same program.
//
// Each case runs in a child process with a CPU-time budget: far above what
// the linear walks need (well under a second, a few with sanitizers) and far
// below what the quadratic ones took (20 s and 16 s without sanitizers). CPU
// time, unlike the clock, does not grow with the machine's load.
#include "imagebuilder.h"
#include "roundtrip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/resource.h>

using namespace kvpatch;

namespace {

constexpr uint32_t kSections = 65534;

uint32_t AlignUp(uint32_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// PE32 image: kSections ".text" sections of 64 bytes, each with eight
// absolute addresses (a call opcode before each, whose operand the address
// overlaps), and a ".reloc" section last.
std::vector<uint8_t> ManySectionPe()
{
    constexpr uint32_t kImageBase = 0x400000;
    constexpr uint32_t kOptional = 0x98;
    constexpr uint32_t kTable = kOptional + 0xE0;
    const uint32_t dataStart = AlignUp(kTable + 40 * (kSections + 1), 0x200);
    ByteImage image;
    image.put8(0, 'M');
    image.put8(1, 'Z');
    image.put32(60, 0x80);
    image.put32(0x80, 0x4550);
    image.put16(0x84, 0x14C);
    image.put16(0x86, kSections + 1);
    image.put16(0x94, 0xE0);
    image.put16(kOptional, 0x10B);
    image.put32(kOptional + 28, kImageBase);
    image.put32(kOptional + 92, 16);

    std::vector<uint32_t> relocations;
    for (uint32_t i = 0; i < kSections; ++i) {
        const uint32_t header = kTable + 40 * i;
        const uint32_t rva = 0x1000 + 64 * i;
        const uint32_t offset = dataStart + 64 * i;
        image.putBytes(header, {'.', 't', 'e', 'x', 't'});
        image.put32(header + 8, 64);
        image.put32(header + 12, rva);
        image.put32(header + 16, 64);
        image.put32(header + 20, offset);
        for (uint32_t k = 0; k < 8; ++k) {
            image.put32(offset + 8 * k, kImageBase + 0x1000 + 64 * ((i + k) % kSections));
            image.put8(offset + 8 * k + 4, 0xE8);
            relocations.push_back(rva + 8 * k);
        }
    }
    const std::vector<uint8_t> table = BuildPeRelocTable(relocations, 3);
    const uint32_t relocRva = AlignUp(0x1000 + 64 * kSections, 0x1000);
    const uint32_t relocOffset = dataStart + 64 * kSections;
    const uint32_t relocSize = static_cast<uint32_t>(table.size());
    const uint32_t header = kTable + 40 * kSections;
    image.putBytes(header, {'.', 'r', 'e', 'l', 'o', 'c'});
    image.put32(header + 8, relocSize);
    image.put32(header + 12, relocRva);
    image.put32(header + 16, relocSize);
    image.put32(header + 20, relocOffset);
    image.putBytes(relocOffset, table);
    image.put32(kOptional + 56, AlignUp(relocRva + relocSize, 0x1000));
    image.put32(kOptional + 96 + 8 * 5, relocRva);
    image.put32(kOptional + 96 + 8 * 5 + 4, relocSize);
    return image.bytes;
}

// 64-bit Mach-O image with kSections code sections of 64 bytes, each
// holding twelve calls into the first section.
std::vector<uint8_t> ManySectionMacho()
{
    std::vector<std::pair<uint32_t, uint32_t>> sections;
    ByteImage code;
    for (uint32_t i = 0; i < kSections; ++i) {
        sections.push_back({64 * i, 64});
        for (uint32_t k = 0; k < 12; ++k) {
            const uint32_t call = 64 * i + 5 * k;
            code.put8(call, 0xE8);
            code.put32(call + 1, 0u - (call + 5));
        }
        code.put32(64 * i + 60, 0x90909090);
    }
    uint32_t codeStart = 0;
    return BuildMachoWithSections(sections, code.bytes, &codeStart);
}

[[noreturn]] void RunWithinCpuBudget(void (*check)())
{
    rlimit budget;
    budget.rlim_cur = budget.rlim_max = 10;
    setrlimit(RLIMIT_CPU, &budget);
    check();
    std::exit(testing::Test::HasFailure() ? 1 : 0);
}

void ExpectWithinCpuBudget(void (*check)())
{
#ifdef KV_TSAN
    // The thread sanitizer slows these walks so much that no budget tells
    // linear from quadratic any more, and they run on one thread, where it
    // has nothing to find; the other builds keep the guard.
    GTEST_SKIP() << "CPU-time guard not meaningful under the thread sanitizer";
#endif
    EXPECT_EXIT(RunWithinCpuBudget(check), testing::ExitedWithCode(0), "");
}

void CheckPe()
{
    const std::vector<uint8_t> image = ManySectionPe();
    ProgramPtr program = Parse(image);
    ASSERT_TRUE(program);
    const std::map<uint32_t, size_t> kinds = CountInstructionKinds(*program);
    EXPECT_EQ(kinds.at(INSTR_ABS32), 8u * kSections);
    EXPECT_EQ(kinds.at(INSTR_PE_RELOCS), 1u);
    program.reset();
    EXPECT_EQ(RunRoundTrip(image).bytes, image);
}

void CheckMacho()
{
    const std::vector<uint8_t> image = ManySectionMacho();
    ProgramPtr program = Parse(image);
    ASSERT_TRUE(program);
    EXPECT_EQ(CountInstructionKinds(*program).at(INSTR_REL32), 12u * kSections);
    program.reset();
    EXPECT_EQ(RunRoundTrip(image).bytes, image);
}

} // namespace

TEST(LargeImages, PeWithManySectionsDisassemblesInOnePass)
{
    ExpectWithinCpuBudget(CheckPe);
}

TEST(LargeImages, MachoWithManySectionsDisassemblesInOnePass)
{
    ExpectWithinCpuBudget(CheckMacho);
}
