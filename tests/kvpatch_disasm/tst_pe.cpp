// PE32 and PE32+ images written by the test: references, relocation
// handling, the scan's edge cases and malformed headers.
#include "corpus.h"
#include "detectexecutable.h"
#include "disassembler_win32.h"
#include "imagebuilder.h"
#include "roundtrip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace kvpatch;

namespace {

// .text (rva 0x1000): a call to 0x1100 at 0x1000, a je to 0x1100 at 0x1010,
// a jp at 0x1020, a mov of an absolute address (0x1040) at 0x1040 - 2, and
// a return. The absolute address points at rva 0x1200.
std::vector<uint8_t> SampleText(uint64_t imageBase)
{
    ByteImage text;
    text.resize(0x200);
    std::fill(text.bytes.begin(), text.bytes.end(), 0x90);
    text.put8(0x00, 0xE8);
    text.put32(0x01, 0x1100 - (0x1000 + 5));
    text.put8(0x10, 0x0F);
    text.put8(0x11, 0x84);
    text.put32(0x12, 0x1100 - (0x1010 + 6));
    text.put8(0x20, 0x0F);
    text.put8(0x21, 0x8A);
    text.put32(0x22, 0x1100 - (0x1020 + 6));
    text.put8(0x3E, 0xA1);
    text.put8(0x3F, 0x90);
    text.put32(0x40, static_cast<uint32_t>(imageBase) + 0x1200);
    text.put8(0x44, 0xC3);
    return text.bytes;
}

PeImage SamplePe(bool pe32Plus, bool withRelocs = true)
{
    PeImageSpec spec;
    spec.pe32Plus = pe32Plus;
    spec.text = SampleText(pe32Plus ? 0x140000000ull : 0x400000u);
    if (withRelocs)
        spec.relocations = {0x1040};
    return BuildPeImage(spec);
}

} // namespace

TEST(PeDisassembler, FindsCallsJumpsAndAbsoluteAddresses)
{
    const PeImage pe = SamplePe(false);
    DisassemblerWin32X86 parser(pe.image.bytes.data(), pe.image.bytes.size());
    ASSERT_TRUE(parser.ParseHeader()) << parser.failureReason();
    DisassembledProgram program(WIN_32_X86);
    ASSERT_TRUE(parser.Disassemble(&program));
    EXPECT_EQ(parser.abs32Locations(), std::vector<uint32_t>({0x1040}));
    // The call and the je; jp (0F 8A) is never a candidate.
    EXPECT_EQ(parser.rel32Locations(), std::vector<uint32_t>({0x1001, 0x1012}));
    EXPECT_EQ(program.imageBase(), 0x400000u);
    ASSERT_EQ(program.abs32Labels().size(), 1u);
    EXPECT_EQ(program.abs32Labels().begin()->first, 0x1200u);
    ASSERT_EQ(program.rel32Labels().size(), 1u);
    EXPECT_EQ(program.rel32Labels().begin()->second->count, 2);
    EXPECT_EQ(CountInstructionKinds(program)[INSTR_PE_RELOCS], 1u);
}

TEST(PeDisassembler, RoundTripsBothWidths)
{
    for (bool pe32Plus : {false, true}) {
        SCOPED_TRACE(pe32Plus ? "PE32+" : "PE32");
        const PeImage pe = SamplePe(pe32Plus);
        FileType type = UNKNOWN;
        size_t length = 0;
        ASSERT_EQ(
            DetectFileType(pe.image.bytes.data(), pe.image.bytes.size(), &type, &length), C_OK);
        EXPECT_EQ(type, pe32Plus ? WIN_32_X64 : WIN_32_X86);
        const RoundTrip trip = RunRoundTrip(pe.image.bytes);
        ASSERT_EQ(trip.assemble, C_OK);
        EXPECT_TRUE(trip.bytes == pe.image.bytes);
    }
}

TEST(PeDisassembler, EachParserRefusesTheOtherWidth)
{
    EXPECT_STREQ(HeaderFailure<DisassemblerWin32X86>(SamplePe(true).image.bytes),
        "64 bit executables are not supported by this disassembler");
    EXPECT_STREQ(HeaderFailure<DisassemblerWin32X64>(SamplePe(false).image.bytes),
        "32 bit executables are not supported by this disassembler");
}

TEST(PeDisassembler, WithoutRelocationsThereAreNoAbsoluteReferences)
{
    const PeImage pe = SamplePe(false, false);
    const ProgramPtr program = Parse(pe.image.bytes);
    ASSERT_TRUE(program);
    auto kinds = CountInstructionKinds(*program);
    EXPECT_EQ(kinds[INSTR_PE_RELOCS], 0u);
    EXPECT_EQ(kinds[INSTR_ABS32], 0u);
    EXPECT_EQ(kinds[INSTR_REL32], 2u);
}

TEST(PeDisassembler, CallInTheLastFourBytesIsNotACandidate)
{
    PeImageSpec spec;
    spec.text.assign(0x200, 0x90);
    spec.text[0x1FC] = 0xE8; // only 4 bytes left: p + 5 passes the end
    spec.text[0x1FB] = 0xE8; // exactly 5 bytes: a candidate when its target fits
    const uint32_t disp = 0x1000 - (0x11FB + 5);
    std::memcpy(&spec.text[0x1FC], &disp, 4);
    const PeImage pe = BuildPeImage(spec);
    DisassemblerWin32X86 parser(pe.image.bytes.data(), pe.image.bytes.size());
    ASSERT_TRUE(parser.ParseHeader());
    DisassembledProgram program(WIN_32_X86);
    ASSERT_TRUE(parser.Disassemble(&program));
    EXPECT_EQ(parser.rel32Locations(), std::vector<uint32_t>({0x11FC}));
}

TEST(PeDisassembler, CallIntoAnotherSectionStaysLiteral)
{
    PeImageSpec spec;
    spec.text.assign(0x40, 0x90);
    spec.text[0] = 0xE8;
    spec.relocations = {0x1020};
    PeImage pe = BuildPeImage(spec);
    // Aim the call at the .reloc section, inside the image.
    pe.image.put32(pe.textOffset + 1, pe.relocRva - (0x1000 + 5));
    DisassemblerWin32X86 parser(pe.image.bytes.data(), pe.image.bytes.size());
    ASSERT_TRUE(parser.ParseHeader());
    DisassembledProgram program(WIN_32_X86);
    ASSERT_TRUE(parser.Disassemble(&program));
    EXPECT_TRUE(parser.rel32Locations().empty());
}

TEST(PeDisassembler, OperandOverlappingAnAbsoluteAddressIsSkippedWithIt)
{
    for (uint32_t overlap = 1; overlap <= 3; ++overlap) {
        SCOPED_TRACE(overlap);
        PeImageSpec spec;
        spec.text.assign(0x40, 0x90);
        // E8 at 0x1010, operand 0x1011..0x1014; the absolute address starts
        // OVERLAP bytes before the operand ends.
        spec.text[0x10] = 0xE8;
        const uint32_t disp = 0x1000 - (0x1010 + 5);
        std::memcpy(&spec.text[0x11], &disp, 4);
        const uint32_t abs32 = 0x1011 + 4 - overlap;
        spec.relocations = {abs32};
        // A second call right after the absolute address is still found.
        const uint32_t after = abs32 + 4 - 0x1000;
        spec.text[after] = 0xE8;
        const uint32_t disp2 = 0x1000 - (0x1000 + after + 5);
        std::memcpy(&spec.text[after + 1], &disp2, 4);
        const PeImage pe = BuildPeImage(spec);
        DisassemblerWin32X86 parser(pe.image.bytes.data(), pe.image.bytes.size());
        ASSERT_TRUE(parser.ParseHeader());
        DisassembledProgram program(WIN_32_X86);
        ASSERT_TRUE(parser.Disassemble(&program));
        EXPECT_EQ(parser.rel32Locations(), std::vector<uint32_t>({0x1000 + after + 1}));
    }
}

TEST(PeDisassembler, DirectoryBeyondTheDeclaredCountReadsAsEmpty)
{
    PeImageSpec spec;
    spec.text.assign(0x20, 0xC3);
    spec.numberOfDataDirectories = 10;
    const PeImage pe = BuildPeImage(spec);
    DisassemblerWin32X86 parser(pe.image.bytes.data(), pe.image.bytes.size());
    ASSERT_TRUE(parser.ParseHeader()) << parser.failureReason();
    DisassemblerWin32::DataDirectory directory {1, 1};
    EXPECT_TRUE(parser.ReadDataDirectory(13, &directory));
    EXPECT_EQ(directory.rva, 0u);
    EXPECT_EQ(directory.size, 0u);
}

TEST(PeDisassembler, TrailingDataIsNotPartOfTheImage)
{
    PeImageSpec spec;
    spec.text = SampleText(0x400000);
    spec.trailing.assign(300, 0x5A);
    const PeImage pe = BuildPeImage(spec);
    FileType type = UNKNOWN;
    size_t length = 0;
    ASSERT_EQ(DetectFileType(pe.image.bytes.data(), pe.image.bytes.size(), &type, &length), C_OK);
    EXPECT_EQ(length, pe.endOfSections);
}

TEST(PeDisassembler, RelocationTableIsRebuiltPageByPage)
{
    // Addresses on two pages with an odd count on the first: the rebuilt
    // table pads that block with a zero entry, as the linker did.
    PeImageSpec spec;
    spec.text.assign(0x1200, 0x90);
    std::vector<uint32_t> rvas = {0x1010, 0x1020, 0x1030, 0x2004, 0x2100};
    for (uint32_t rva : rvas) {
        const uint32_t value = 0x400000 + 0x1000;
        std::memcpy(&spec.text[rva - 0x1000], &value, 4);
    }
    spec.relocations = rvas;
    const PeImage pe = BuildPeImage(spec);
    const RoundTrip trip = RunRoundTrip(pe.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == pe.image.bytes);
}

TEST(PeDisassembler, MalformedHeadersAreRefusedWithTheirReason)
{
    const std::vector<uint8_t> good = SamplePe(false).image.bytes;
    auto failure = [](std::vector<uint8_t> image) {
        const char* reason = HeaderFailure<DisassemblerWin32X86>(image);
        return std::string(reason != nullptr ? reason : "accepted");
    };
    auto patched = [&](size_t offset, std::vector<uint8_t> bytes) {
        std::vector<uint8_t> image = good;
        std::copy(bytes.begin(), bytes.end(), image.begin() + offset);
        return image;
    };
    auto le32 = [](uint32_t v) {
        return std::vector<uint8_t> {
            uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    };
    auto le16 = [](uint16_t v) { return std::vector<uint8_t> {uint8_t(v), uint8_t(v >> 8)}; };

    EXPECT_EQ(failure(std::vector<uint8_t>(good.begin(), good.begin() + 63)), "Too small");
    EXPECT_EQ(failure(patched(0, {'Z', 'M'})), "Not MZ");
    EXPECT_EQ(failure(patched(60, le32(0))), "Bad offset to PE header");
    EXPECT_EQ(failure(patched(60, le32(uint32_t(good.size())))), "Bad offset to PE header");
    EXPECT_EQ(failure(patched(60, le32(uint32_t(good.size() - 24)))), "Bad offset to PE header");
    EXPECT_EQ(failure(patched(60, le32(0x44))), "Misaligned PE header");
    EXPECT_EQ(failure(patched(0x40, {'P', 'F'})), "no PE signature");
    EXPECT_EQ(failure(patched(0x54, le16(0xFFFF))), "optional header past end of file");
    EXPECT_EQ(failure(patched(0x54, le16(1))), "optional header no magic");
    EXPECT_EQ(failure(patched(0x58, le16(0x107))), "unrecognized magic");
    EXPECT_EQ(failure(patched(0x54, le16(95))), "optional header too short");
    // Relocation directory larger than the image.
    EXPECT_EQ(
        failure(patched(0x58 + 96 + 8 * 5 + 4, le32(0x7FFFFFFF))), "malformed data directory");
    // Sixteen directories declared, but the optional header ends before the
    // relocation directory.
    EXPECT_EQ(failure(patched(0x54, le16(96 + 8 * 5))), "malformed data directory");
    EXPECT_EQ(failure(patched(0x46, le16(0xFFFF))), "section table past end of file");
    // .text raw data past the end of the region.
    EXPECT_EQ(failure(patched(0x58 + 224 + 16, le32(0x100000))), "section data past end of file");
    EXPECT_EQ(failure(patched(0x58 + 224, {'.', 'c', 'o', 'd', 'e'})),
        "Resource-only executables are not yet supported");
    EXPECT_EQ(failure(good), "accepted");
}

TEST(PeDisassembler, BadRelocationBlocksFailDisassembly)
{
    const PeImage pe = SamplePe(false);
    auto status = [](const std::vector<uint8_t>& image) {
        DisassembledProgram* program = nullptr;
        const Status result = ParseExecutable(image.data(), image.size(), &program);
        DeleteDisassembledProgram(program);
        return result;
    };
    std::vector<uint8_t> image = pe.image.bytes;
    ByteImage edit {image};
    edit.put32(pe.relocOffset + 4, 6); // block smaller than its header
    EXPECT_EQ(status(edit.bytes), C_DISASSEMBLY_FAILED);
    edit.bytes = image;
    edit.put32(pe.relocOffset + 4, 0x7FFFFFF0); // block past the image
    EXPECT_EQ(status(edit.bytes), C_DISASSEMBLY_FAILED);
    edit.bytes = image;
    edit.put16(pe.relocOffset + 8, 0xA040); // a 64-bit entry in a PE32 image
    EXPECT_EQ(status(edit.bytes), C_DISASSEMBLY_FAILED);
    EXPECT_EQ(status(image), C_OK);
}

TEST(PeDisassembler, EveryTruncationIsHandled)
{
    CheckEveryPrefix(SamplePe(false).image.bytes, 1);
    CheckEveryPrefix(SamplePe(true).image.bytes, 1);
    for (const char* name : {"pe32.dll", "pe64.dll"}) {
        const std::vector<uint8_t> image = Corpus::instance().load(name);
        if (!image.empty())
            CheckEveryPrefix(image);
    }
}

// An absolute address in the last two bytes of .text is emitted as a
// reference whose four bytes reach into the next section; the walk goes on
// from the section's end, so those two bytes come out a second time.
TEST(PeDisassembler, ReferenceCrossingTheSectionEndIsEmitted)
{
    PeImageSpec spec;
    spec.text.assign(0x200, 0x90);
    spec.relocations = {0x11FE};
    const PeImage pe = BuildPeImage(spec);
    ASSERT_EQ(pe.relocOffset, pe.textOffset + 0x200);
    ProgramPtr program = Parse(pe.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_ABS32], 1u);
    const std::vector<uint8_t>& image = pe.image.bytes;
    std::vector<uint8_t> expected(image.begin(), image.begin() + pe.relocOffset + 2);
    expected.insert(
        expected.end(), image.begin() + pe.relocOffset, image.begin() + pe.endOfSections);
    EXPECT_EQ(RunRoundTrip(image).bytes, expected);
}
