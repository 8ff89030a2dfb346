// The compressed-file container over files that are not executables, and
// its refusals of damaged containers.
#include "testsupport.h"

#include "compressedfile.h"
#include "executableelements.h"
#include "lzmaio.h"
#include "streamset.h"

#include <gtest/gtest.h>

using namespace kvpatch;

namespace {

// The header's third varint.
uint32_t DirectiveOf(const Bytes& container)
{
    size_t position = 0;
    ReadVarintAt(container, &position);
    ReadVarintAt(container, &position);
    return ReadVarintAt(container, &position);
}

// A container around an arbitrary block content.
Bytes Container(uint32_t crc, uint32_t directive, const Bytes& blockContent)
{
    Bytes out;
    AppendVarint(&out, kCompressedFileMagic);
    AppendVarint(&out, crc);
    AppendVarint(&out, directive);
    SinkStream block;
    EXPECT_TRUE(Lzma2EncodeBuffer(blockContent.data(), blockContent.size(), &block));
    out.insert(out.end(), block.Buffer(), block.Buffer() + block.Length());
    return out;
}

class CompressedFileTest : public ::testing::Test
{
protected:
    // Packs `content`, checks the directive, restores it and compares.
    void RoundTrip(const Bytes& content, uint8_t executableAware, uint32_t expectedDirective)
    {
        WriteFile(dir.path("in"), content);
        ASSERT_TRUE(CompressFile(dir.path("in"), dir.path("packed"), executableAware)) << log.all();
        const Bytes packed = ReadFile(dir.path("packed"));
        EXPECT_EQ(DirectiveOf(packed), expectedDirective);
        ASSERT_TRUE(DecompressFile(dir.path("packed"), dir.path("out"))) << log.all();
        EXPECT_EQ(ReadFile(dir.path("out")), content);
    }

    // Restores `container` over an existing output and expects the failure
    // message, the old output untouched and no stray temporary file.
    void ExpectRefused(
        const Bytes& container, const std::string& message, uint32_t limit = UINT32_MAX)
    {
        WriteFile(dir.path("packed"), container);
        WriteFile(dir.path("out"), ToBytes("previous"));
        EXPECT_FALSE(DecompressFile(dir.path("packed"), dir.path("out"), limit));
        EXPECT_TRUE(log.contains(message)) << log.all();
        EXPECT_EQ(ReadFile(dir.path("out")), ToBytes("previous"));
        EXPECT_EQ(ListDirectory(dir.path("out")).size(), 2u);
    }

    TempDir dir;
    LogCapture log;
};

TEST_F(CompressedFileTest, TextRoundTripsAsPlainBlock)
{
    RoundTrip(TextBytes(20000), 0, kDirectivePlain);
}

TEST_F(CompressedFileTest, RandomBytesRoundTrip)
{
    RoundTrip(RandomBytes(70000, 1), 0, 1);
}

TEST_F(CompressedFileTest, SingleByteRoundTrips)
{
    RoundTrip(ToBytes("x"), 0, 1);
}

TEST_F(CompressedFileTest, ExecutableAwareFlagOnNonExecutableGivesPlainContainer)
{
    RoundTrip(TextBytes(5000), 1, kDirectivePlain);
    RoundTrip(RandomBytes(5000, 2), 1, kDirectivePlain);
}

TEST_F(CompressedFileTest, HeaderHoldsMagicAndCrcOfTheContent)
{
    const Bytes content = ToBytes("123456789");
    WriteFile(dir.path("in"), content);
    ASSERT_TRUE(CompressFile(dir.path("in"), dir.path("packed"), 0));
    const Bytes packed = ReadFile(dir.path("packed"));
    ASSERT_GE(packed.size(), 4u);
    EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 4), (Bytes {0xE9, 0xAE, 0xA8, 0x3F}));
    size_t position = 4;
    EXPECT_EQ(ReadVarintAt(packed, &position), 0x340BC6D9u);
}

TEST_F(CompressedFileTest, RestoreReplacesAnExistingFile)
{
    WriteFile(dir.path("out"), RandomBytes(100000, 3));
    RoundTrip(ToBytes("short"), 0, 1);
    EXPECT_EQ(ListDirectory(dir.path("out")).size(), 3u); // in, packed, out
}

// An empty file has no view to map, yet the container holds it like any
// other file.
TEST_F(CompressedFileTest, EmptyInputRoundTrips)
{
    RoundTrip({}, 0, kDirectivePlain);
    RoundTrip({}, 1, kDirectivePlain);
}

TEST_F(CompressedFileTest, ContainerOfAnEmptyFileRestoresIt)
{
    WriteFile(dir.path("out"), ToBytes("previous"));
    WriteFile(dir.path("packed"), Container(0xFFFFFFFF, 1, {}));
    ASSERT_TRUE(DecompressFile(dir.path("packed"), dir.path("out"))) << log.all();
    EXPECT_TRUE(ReadFile(dir.path("out")).empty());
}

TEST_F(CompressedFileTest, MissingOrEmptyInputIsNotOpened)
{
    EXPECT_FALSE(DecompressFile(dir.path("missing"), dir.path("out")));
    EXPECT_TRUE(log.contains("could not open lzma file"));
    ExpectRefused({}, "could not open lzma file");
}

TEST_F(CompressedFileTest, TruncatedHeaderIsRefused)
{
    ExpectRefused({0xE9, 0xAE, 0xA8, 0x3F, 0x01}, "could not read lzma header");
    ExpectRefused({0xE9, 0xAE, 0xA8, 0x3F, 0x01, 0x81}, "could not read lzma header");
}

TEST_F(CompressedFileTest, WrongMagicIsRefused)
{
    Bytes container = Container(Crc(ToBytes("abc")), 1, ToBytes("abc"));
    container[0] ^= 1;
    ExpectRefused(container, "not lzma file");
}

TEST_F(CompressedFileTest, UnknownDirectiveIsRefused)
{
    ExpectRefused(
        Container(Crc(ToBytes("abc")), 3, ToBytes("abc")), "Unknown preprocessing dirrective");
    ExpectRefused(
        Container(Crc(ToBytes("abc")), 0, ToBytes("abc")), "Unknown preprocessing dirrective");
}

TEST_F(CompressedFileTest, CrcMismatchWritesNothing)
{
    const Bytes content = TextBytes(3000);
    ExpectRefused(Container(Crc(content) ^ 0x10, 1, content), "crc mismatch");
    WriteFile(dir.path("packed"), Container(Crc(content) + 1, 1, content));
    EXPECT_FALSE(DecompressFile(dir.path("packed"), dir.path("fresh")));
    EXPECT_FALSE(FileExists(dir.path("fresh")));
}

TEST_F(CompressedFileTest, TruncatedBlockIsRefused)
{
    const Bytes content = RandomBytes(5000, 4);
    Bytes container = Container(Crc(content), 1, content);
    container.resize(container.size() - 100);
    ExpectRefused(container, "could not decompress file");
    EXPECT_NE(log.all().find("Error uncompressing data "), std::string::npos);
}

// Zeros are what a bomb is made of. A container that would restore to more
// than the limit is refused and writes nothing; at the limit it restores.
TEST_F(CompressedFileTest, LimitRefusesLargerRestoredFile)
{
    const Bytes zeros(1 << 20, 0);
    ExpectRefused(
        Container(Crc(zeros), kDirectivePlain, zeros), "could not decompress file", (1 << 20) - 1);
    EXPECT_TRUE(log.contains("LZMA2 unpack size 1048576 above limit 1048575")) << log.all();
    ASSERT_TRUE(DecompressFile(dir.path("packed"), dir.path("out"), 1 << 20)) << log.all();
    EXPECT_EQ(ReadFile(dir.path("out")), zeros);
}

TEST_F(CompressedFileTest, DisAndDiffBodyThatIsNoStreamSetIsRefused)
{
    ExpectRefused(Container(0, 2, ToBytes("not a stream set")), "could not init dif_and_dis set");
}

TEST_F(CompressedFileTest, DisAndDiffWithOneStreamIsTooSmall)
{
    ExpectRefused(Container(0, 2, SerializedSet({ToBytes("x")})), "dis_and_diff too small");
}

TEST_F(CompressedFileTest, DisAndDiffWithBrokenProgramIsRefused)
{
    ExpectRefused(Container(0, 2, SerializedSet({ToBytes("garbage"), {}})),
        "could not init program_source set");
}

TEST_F(CompressedFileTest, DisAndDiffWithUnreadableProgramIsRefused)
{
    // An encoded program needs its image base and counts: a valid but empty
    // set of eight streams does not read.
    const Bytes content = TextBytes(1000);
    const Bytes program = SerializedSet(std::vector<Bytes>(8));
    ExpectRefused(Container(Crc(content), 2, SerializedSet({program, DiffBytes({}, content)})),
        "could not read encoded program");
}

// Without a restored-size limit the diff's new size bounds its sections: a
// container of a few hundred KB whose diff states 8000 bytes and whose
// sections each decode to 512 MiB is refused before a section is decoded.
TEST_F(CompressedFileTest, DisAndDiffSectionsBeyondTheNewSizeAreRefusedUndecoded)
{
    // An empty encoded program: image base and every count 0.
    const Bytes program = SerializedSet({{0, 0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {}});
    const Bytes diff = ZeroBlocksDiff(8000, 512u << 20);
    // Method and new size, then three blocks of one size.
    const size_t blockBytes = (diff.size() - 3) / 3;
    const Bytes container = Container(0, 2, SerializedSet({program, diff}));
    const auto refused = [&] {
        ExpectRefused(container, "could not apply diff");
        // The control section's bound: a triple of at most 15 bytes per new
        // byte, and one more, and 64 bytes per byte of the block.
        EXPECT_NE(log.all().find("above limit " + std::to_string(120015 + 64 * blockBytes)),
            std::string::npos);
        return HasFailure() ? 1 : 0;
    };
    EXPECT_EQ(RunInChildWithin(1 << 20, refused), 0);
}

TEST_F(CompressedFileTest, UnwritableOutputFails)
{
    WriteFile(dir.path("in"), TextBytes(100));
    ASSERT_TRUE(CompressFile(dir.path("in"), dir.path("packed"), 0));
    EXPECT_FALSE(DecompressFile(dir.path("packed"), dir.path("no/such/dir/out")));
    EXPECT_TRUE(log.contains("could not write output file"));
    EXPECT_FALSE(CompressFile(dir.path("in"), dir.path("no/such/dir/packed"), 0));
}

TEST(FileTypeNameTest, NamesEveryKind)
{
    EXPECT_STREQ(FileTypeName(UNKNOWN), "UNKNOWN");
    EXPECT_STREQ(FileTypeName(WIN_32_X86), "WIN_32_X86");
    EXPECT_STREQ(FileTypeName(EXE_ELF_32_X86), "EXE_ELF_32_X86");
    EXPECT_STREQ(FileTypeName(ELF_32_ARM), "ELF_32_ARM");
    EXPECT_STREQ(FileTypeName(WIN_32_X64), "WIN_32_X64");
    EXPECT_STREQ(FileTypeName(ELF_64_X64), "ELF_64_X64");
    EXPECT_STREQ(FileTypeName(MACHO_X86), "MACHO_X86");
    EXPECT_STREQ(FileTypeName(MACHO_X64), "MACHO_X64");
    EXPECT_STREQ(FileTypeName(FileType(8)), "UNKNOWN");
}

} // namespace
