// Mach-O images: the 64-bit one from the corpus and 32-bit and 64-bit ones
// written by the test (lld's Mach-O linker has no 32-bit x86 support).
#include "corpus.h"
#include "detectexecutable.h"
#include "disassembler_macho.h"
#include "imagebuilder.h"
#include "roundtrip.h"

#include <gtest/gtest.h>

using namespace kvpatch;

namespace {

// Code at rva `base`: call +0x20, jne +0x20, then a rip-relative mov, then
// padding. In a 32-bit image the mov's bytes are no reference.
std::vector<uint8_t> SampleCode()
{
    ByteImage code;
    code.resize(0x40);
    std::fill(code.bytes.begin(), code.bytes.end(), 0x90);
    code.put8(0x00, 0xE8);
    code.put32(0x01, 0x20 - 5);
    code.put8(0x08, 0x0F);
    code.put8(0x09, 0x85);
    code.put32(0x0A, 0x20 - 0x0E);
    code.put8(0x10, 0x48);
    code.put8(0x11, 0x8B);
    code.put8(0x12, 0x05);
    code.put32(0x13, 0x20 - 0x17);
    code.put8(0x3F, 0xC3);
    return code.bytes;
}

MachoImage SampleMacho(bool is64)
{
    MachoImageSpec spec;
    spec.is64 = is64;
    spec.code = SampleCode();
    return BuildMachoImage(spec);
}

std::string Failure(const std::vector<uint8_t>& image)
{
    const char* reason = HeaderFailure<DisassemblerMacho>(image);
    return reason != nullptr ? reason : "accepted";
}

} // namespace

TEST(MachoDisassembler, ThirtyTwoBitImageRoundTrips)
{
    const MachoImage macho = SampleMacho(false);
    FileType type = UNKNOWN;
    size_t length = 0;
    ASSERT_EQ(
        DetectFileType(macho.image.bytes.data(), macho.image.bytes.size(), &type, &length), C_OK);
    EXPECT_EQ(type, MACHO_X86);
    EXPECT_EQ(length, macho.image.bytes.size());
    const ProgramPtr program = Parse(macho.image.bytes);
    ASSERT_TRUE(program);
    // call and jne; the 48 8B 05 pattern is no reference in a 32-bit image.
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_REL32], 2u);
    const RoundTrip trip = RunRoundTrip(macho.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == macho.image.bytes);
}

TEST(MachoDisassembler, SixtyFourBitImageFindsRipRelativeOperands)
{
    const MachoImage macho = SampleMacho(true);
    const ProgramPtr program = Parse(macho.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(program->kind(), MACHO_X64);
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_REL32], 3u);
    const RoundTrip trip = RunRoundTrip(macho.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == macho.image.bytes);
}

TEST(MachoDisassembler, AddressesAreMadeRelativeToTheLowestSegment)
{
    // 64-bit: the section-less zero page is not recorded, so the code
    // segment starts at rva 0.
    const MachoImage macho64 = SampleMacho(true);
    DisassemblerMacho parser64(macho64.image.bytes.data(), macho64.image.bytes.size());
    ASSERT_TRUE(parser64.ParseHeader()) << parser64.failureReason();
    ASSERT_EQ(parser64.segments().size(), 1u);
    EXPECT_EQ(parser64.segments()[0].vmaddr, 0u);
    EXPECT_EQ(parser64.sections()[0].addr, macho64.codeOffset);
    // 32-bit: the zero page is recorded and keeps the lowest address at 0.
    const MachoImage macho32 = SampleMacho(false);
    DisassemblerMacho parser32(macho32.image.bytes.data(), macho32.image.bytes.size());
    ASSERT_TRUE(parser32.ParseHeader()) << parser32.failureReason();
    ASSERT_EQ(parser32.segments().size(), 2u);
    EXPECT_EQ(parser32.segments()[1].vmaddr, 0x1000u);
    EXPECT_EQ(parser32.sections()[0].addr, macho32.codeVmaddr);
}

TEST(MachoDisassembler, EmptyCodeSectionDisassemblesAsLiteralBytes)
{
    // The empty section sits before more bytes of its segment, so the walk
    // must move past it rather than find it again at the same offset.
    MachoImageSpec spec;
    spec.is64 = true;
    MachoImage macho = BuildMachoImage(spec);
    const size_t fileSize = macho.image.bytes.size() + 16;
    macho.image.resize(fileSize);
    macho.image.put64(macho.segmentCommandOffset + 48, fileSize);
    const ProgramPtr program = Parse(macho.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_REL32], 0u);
    const RoundTrip trip = RunRoundTrip(macho.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == macho.image.bytes);
}

TEST(MachoDisassembler, OnlyRegularPureInstructionSectionsAreCode)
{
    MachoImageSpec spec;
    spec.code = SampleCode();
    spec.sectionFlags = 0x80000400 | 0x1; // zero-fill type
    EXPECT_EQ(Failure(BuildMachoImage(spec).image.bytes),
        "Resource-only executables are not yet supported");
    spec.sectionFlags = 0x00000400; // not marked as pure instructions
    EXPECT_EQ(Failure(BuildMachoImage(spec).image.bytes),
        "Resource-only executables are not yet supported");
}

TEST(MachoDisassembler, MalformedHeadersAreRefusedWithTheirReason)
{
    const MachoImage good32 = SampleMacho(false);
    const MachoImage good64 = SampleMacho(true);
    auto edit = [](const MachoImage& m, size_t offset, uint32_t value) {
        ByteImage image = m.image;
        image.put32(offset, value);
        return image.bytes;
    };
    const std::vector<uint8_t>& bytes32 = good32.image.bytes;
    const uint32_t segment32 = good32.segmentCommandOffset;
    const uint32_t segment64 = good64.segmentCommandOffset;

    EXPECT_EQ(Failure(std::vector<uint8_t>(bytes32.begin(), bytes32.begin() + 31)), "Too small");
    EXPECT_EQ(Failure(edit(good32, 0, 0xCEFAEDFE)), "Unknown magic type");
    EXPECT_EQ(Failure(edit(good32, 4, 0x1000007)), "unsupported cpu type");
    EXPECT_EQ(Failure(edit(good64, 4, 7)), "unsupported cpu type");
    EXPECT_EQ(Failure(edit(good32, 12, 1)), "Unsupported filetype in header");
    EXPECT_EQ(Failure(edit(good32, 12, 6)), "accepted");
    EXPECT_EQ(Failure(edit(good32, 16, 3)), "file to small in load commands");
    EXPECT_EQ(Failure(edit(good32, segment32 + 4, 0x10000)), "file to small in load commands");
    // A zero-sized command with a huge count must not spin.
    ByteImage spin = good32.image;
    spin.put32(16, 0xFFFFFFFF);
    spin.put32(28 + 4, 0);
    EXPECT_EQ(Failure(spin.bytes), "bad load command size");
    EXPECT_EQ(Failure(edit(good32, segment32, 25)), "LC_SEGMENT_64 not supported");
    EXPECT_EQ(Failure(edit(good64, segment64, 1)), "LC_SEGMENT not supported");
    EXPECT_EQ(Failure(edit(good32, segment32 + 4, 40)), "bad LC_SEGMENT");
    EXPECT_EQ(Failure(edit(good32, segment32 + 36, 0x10000)), "segment too large");
    EXPECT_EQ(Failure(edit(good32, segment32 + 48, 2)), "sections too small");
    EXPECT_EQ(Failure(edit(good64, segment64 + 64, 2)), "sections too small");
    EXPECT_EQ(Failure(edit(good32, good32.sectionHeaderOffset + 36, 0x100000)),
        "section larger than segment");
    EXPECT_EQ(Failure(edit(good64, segment64 + 36, 1)), "overflow");
    EXPECT_EQ(Failure(edit(good64, good64.sectionHeaderOffset + 44, 1)), "overflow");
    // The code section's bytes lie past what the segment holds in the file.
    EXPECT_EQ(Failure(edit(good32, segment32 + 36, good32.codeOffset)), "section outside file");
    // A second code section over the same bytes: scanning both would read
    // more than the file holds.
    MachoImageSpec bigSpec;
    bigSpec.code.assign(0x400, 0x90);
    const MachoImage big = BuildMachoImage(bigSpec);
    MachoImage twice = big;
    const size_t first = big.sectionHeaderOffset;
    const size_t second = first + 68;
    twice.image.bytes.insert(twice.image.bytes.begin() + second, twice.image.bytes.begin() + first,
        twice.image.bytes.begin() + second);
    twice.image.put32(big.segmentCommandOffset + 4, 56 + 2 * 68);
    twice.image.put32(big.segmentCommandOffset + 48, 2);
    twice.image.put32(20, twice.image.get32(20) + 68);
    // The code moved by the insertion; both sections point at its new place.
    twice.image.put32(first + 40, big.codeOffset + 68);
    twice.image.put32(second + 40, big.codeOffset + 68);
    twice.image.put32(big.segmentCommandOffset + 36, uint32_t(twice.image.bytes.size()));
    twice.image.put32(big.segmentCommandOffset + 28, 0x2000);
    EXPECT_EQ(Failure(twice.image.bytes), "Overlapping sections");
    EXPECT_EQ(Failure(bytes32), "accepted");
}

TEST(MachoDisassembler, EveryTruncationIsHandled)
{
    CheckEveryPrefix(SampleMacho(false).image.bytes, 1);
    CheckEveryPrefix(SampleMacho(true).image.bytes, 1);
    const std::vector<uint8_t> image = Corpus::instance().load("macho64");
    if (!image.empty())
        CheckEveryPrefix(image);
}

// A call found in one code section whose operand starts in the last bytes
// of another (overlapping) section is emitted as a reference there, its four
// bytes reaching past that section's end; the walk then goes on from the
// section's end, so those bytes come out a second time.
TEST(MachoDisassembler, ReferenceCrossingASectionEndIsEmitted)
{
    std::vector<uint8_t> code(32, 0x90);
    code[14] = 0xE8; // operand at 15: the last byte of the first section
    code[15] = 0xF0;
    code[16] = code[17] = code[18] = 0xFF;
    uint32_t codeStart = 0;
    const std::vector<uint8_t> image
        = BuildMachoWithSections({{0, 16}, {14, 16}}, code, &codeStart);
    ProgramPtr program = Parse(image);
    ASSERT_TRUE(program);
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_REL32], 1u);
    std::vector<uint8_t> expected(image.begin(), image.begin() + codeStart + 19);
    expected.insert(expected.end(), image.begin() + codeStart + 16, image.end());
    EXPECT_EQ(RunRoundTrip(image).bytes, expected);
}
