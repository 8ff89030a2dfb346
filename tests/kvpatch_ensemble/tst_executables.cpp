// Containers and ensemble patches of real executables: single images of
// every format, universal Mach-O files with several slices, and crafted
// patches whose elements fail in the program layers.
#include "builtimages.h"
#include "testsupport.h"

#include "compressedfile.h"
#include "ensemblepatch.h"
#include "ensemblepatchmaker.h"
#include "executableelements.h"
#include "lzmaio.h"
#include "patcherx86_32.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kvpatch;

namespace {

const char* const kReleasePairs[]
    = {"elf32_x86", "elf64_x64", "elf32_arm", "elf32_thumb", "pe32", "pe64", "macho64"};
const char* const kCorpusImages[] = {"elf32_x86_pie", "elf32_x86_shared.so", "elf64_x64_pie",
    "elf32_arm_pie", "elf32_thumb_pie", "pe32.dll", "pe64.dll", "macho64"};

void PutBigEndian32(Bytes* bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        (*bytes)[at + i] = uint8_t(value >> (24 - 8 * i));
}

// A universal file: each slice at the next 4096-byte boundary; `sizes`
// overrides the size recorded for a slice where it is not 0.
Bytes Universal(const std::vector<Bytes>& slices, const std::vector<uint32_t>& sizes = {})
{
    Bytes file(4096, 0);
    PutBigEndian32(&file, 0, 0xCAFEBABE);
    PutBigEndian32(&file, 4, uint32_t(slices.size()));
    for (size_t i = 0; i < slices.size(); ++i) {
        const size_t entry = 8 + 20 * i;
        PutBigEndian32(&file, entry, 0x01000007); // x86-64
        PutBigEndian32(&file, entry + 4, 3);
        PutBigEndian32(&file, entry + 8, uint32_t(file.size()));
        const uint32_t size = i < sizes.size() && sizes[i] ? sizes[i] : uint32_t(slices[i].size());
        PutBigEndian32(&file, entry + 12, size);
        PutBigEndian32(&file, entry + 16, 12);
        file.insert(file.end(), slices[i].begin(), slices[i].end());
        file.resize((file.size() + 4095) / 4096 * 4096);
    }
    return file;
}

// Patches that keep their elements even where a plain diff would be smaller,
// so that the element layers are what the test exercises.
kvpatchmaker::PatchOptions WithElements()
{
    kvpatchmaker::PatchOptions options;
    options.preferSmaller = false;
    return options;
}

size_t PatchSize(const Bytes& oldBytes, const Bytes& newBytes,
    const kvpatchmaker::PatchOptions& options, uint32_t* elements)
{
    kvpatchmaker::PatchSummary summary;
    SinkStream patch;
    EXPECT_TRUE(kvpatchmaker::MakeEnsemblePatch(oldBytes.data(), oldBytes.size(), newBytes.data(),
        newBytes.size(), &patch, options, &summary));
    *elements = summary.elements;
    return patch.Length();
}

ExecutableElementList ElementsOf(const Bytes& file, Status* status)
{
    ExecutableElementList list;
    *status = FindExecutableElements(file.data(), file.size(), &list);
    return list;
}

// The body of a container, decoded, as a stream set.
uint32_t DisAndDiffStreamCount(const Bytes& container)
{
    size_t position = 0;
    for (int i = 0; i < 3; ++i)
        ReadVarintAt(container, &position);
    SourceStream body(container.data() + position, container.size() - position);
    SinkStream decoded;
    EXPECT_TRUE(Lzma2DecodeToSink(&body, &decoded));
    SourceStreamSet set;
    EXPECT_TRUE(set.Init(decoded.Buffer(), decoded.Length()));
    return set.Count();
}

class ExecutablesTest : public ::testing::Test
{
protected:
    // Packs executable-aware, checks the container kind, restores.
    Bytes PackAndRestore(const Bytes& content, uint32_t expectedDirective)
    {
        WriteFile(dir.path("in"), content);
        EXPECT_TRUE(CompressFile(dir.path("in"), dir.path("packed"), 1)) << log.all();
        const Bytes packed = ReadFile(dir.path("packed"));
        size_t position = 0;
        ReadVarintAt(packed, &position);
        ReadVarintAt(packed, &position);
        EXPECT_EQ(ReadVarintAt(packed, &position), expectedDirective);
        EXPECT_TRUE(DecompressFile(dir.path("packed"), dir.path("out"))) << log.all();
        EXPECT_EQ(ReadFile(dir.path("out")), content);
        return packed;
    }

    // Makes a patch with elements, applies it through the files and returns
    // how many elements it carried.
    uint32_t PatchAndApply(const Bytes& oldBytes, const Bytes& newBytes)
    {
        kvpatchmaker::PatchSummary summary;
        SinkStream patch;
        EXPECT_TRUE(kvpatchmaker::MakeEnsemblePatch(oldBytes.data(), oldBytes.size(),
            newBytes.data(), newBytes.size(), &patch, WithElements(), &summary));
        WriteFile(dir.path("old"), oldBytes);
        WriteFile(dir.path("patch"), Bytes(patch.Buffer(), patch.Buffer() + patch.Length()));
        EXPECT_EQ(
            ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("new")), C_OK);
        EXPECT_EQ(ReadFile(dir.path("new")), newBytes);
        return summary.elements;
    }

    TempDir dir;
    LogCapture log;
};

TEST_F(ExecutablesTest, CorpusImagesPackAsDisAndDiff)
{
    int packed = 0;
    for (const char* name : kCorpusImages) {
        SCOPED_TRACE(name);
        const Bytes image = BuiltImages::corpus().load(name);
        if (image.empty())
            continue;
        EXPECT_EQ(DisAndDiffStreamCount(PackAndRestore(image, kDirectiveDisAndDiff)), 2u);
        ++packed;
    }
    if (packed == 0)
        GTEST_SKIP() << "no corpus image could be built";
}

// Under a limit the dis_and_diff form restores a file of exactly that size
// (its decoded body takes about twice that) and refuses it one byte below,
// writing nothing.
TEST_F(ExecutablesTest, LimitHoldsForDisAndDiff)
{
    int packed = 0;
    for (const char* name : kCorpusImages) {
        SCOPED_TRACE(name);
        const Bytes image = BuiltImages::corpus().load(name);
        if (image.empty())
            continue;
        PackAndRestore(image, kDirectiveDisAndDiff);
        const uint32_t size = uint32_t(image.size());
        const std::string limited = dir.path(std::string("limited_") + name);
        EXPECT_FALSE(DecompressFile(dir.path("packed"), limited, size - 1));
        // A whole-file program assembles to the file itself.
        EXPECT_TRUE(log.contains("assembled programs above limit")) << log.all();
        EXPECT_FALSE(FileExists(limited));
        EXPECT_TRUE(DecompressFile(dir.path("packed"), limited, size)) << log.all();
        EXPECT_EQ(ReadFile(limited), image);
        ++packed;
    }
    if (packed == 0)
        GTEST_SKIP() << "no corpus image could be built";
}

TEST_F(ExecutablesTest, DetectedKindIsLogged)
{
    LOAD_IMAGE_OR_SKIP(image, BuiltImages::releases(), "elf32_x86.1");
    PackAndRestore(image, kDirectiveDisAndDiff);
    EXPECT_TRUE(log.contains("detected EXE_ELF_32_X86")) << log.all();
}

TEST_F(ExecutablesTest, ImageWithTrailingBytesRoundTrips)
{
    LOAD_IMAGE_OR_SKIP(image, BuiltImages::releases(), "pe32.1");
    Bytes withTail = image;
    const Bytes tail = TextBytes(3000);
    withTail.insert(withTail.end(), tail.begin(), tail.end());
    PackAndRestore(withTail, kDirectiveDisAndDiff);
}

TEST_F(ExecutablesTest, UniversalFileListsItsSlices)
{
    LOAD_IMAGE_OR_SKIP(a, BuiltImages::releases(), "macho64.1");
    LOAD_IMAGE_OR_SKIP(b, BuiltImages::releases(), "macho64_os.1");
    const Bytes file = Universal({a, TextBytes(5000), b});
    Status status;
    const ExecutableElementList list = ElementsOf(file, &status);
    ASSERT_EQ(status, C_OK);
    ASSERT_EQ(list.count, 2u); // the text slice is skipped
    EXPECT_EQ(list.items[0].offset, 4096u);
    EXPECT_EQ(list.items[0].type, MACHO_X64);
    EXPECT_EQ(list.items[1].offset, 4096u * (1 + (a.size() + 4095) / 4096 + 2));
    EXPECT_EQ(list.items[1].type, MACHO_X64);

    EXPECT_EQ(DisAndDiffStreamCount(PackAndRestore(file, kDirectiveDisAndDiff)), 3u);
}

TEST_F(ExecutablesTest, UniversalFileWithABrokenEntryFallsBackToTheWholeFile)
{
    LOAD_IMAGE_OR_SKIP(a, BuiltImages::releases(), "macho64.1");
    LOAD_IMAGE_OR_SKIP(b, BuiltImages::releases(), "macho64.2");
    // The second slice claims to run past the end of the file: the table is
    // cut short, the whole file is no executable, and the slices listed so
    // far are dropped.
    const Bytes file = Universal({a, b}, {0, 0x100000});
    Status status;
    const ExecutableElementList list = ElementsOf(file, &status);
    EXPECT_EQ(status, C_INPUT_NOT_RECOGNIZED);
    EXPECT_EQ(list.count, 0u);
    PackAndRestore(file, kDirectivePlain);

    // Overlapping slices end the examination the same way.
    Bytes overlapping = Universal({a, b});
    PutBigEndian32(&overlapping, 8 + 20 + 8, 4096 + 16);
    EXPECT_EQ(ElementsOf(overlapping, &status).count, 0u);
    EXPECT_EQ(status, C_INPUT_NOT_RECOGNIZED);
}

TEST_F(ExecutablesTest, UniversalHeaderNeedsFourKilobytesAndAtMostEightSlices)
{
    LOAD_IMAGE_OR_SKIP(a, BuiltImages::releases(), "macho64.1");
    Bytes file = Universal({a});
    PutBigEndian32(&file, 4, 9);
    Status status;
    EXPECT_EQ(ElementsOf(file, &status).count, 0u);
    EXPECT_EQ(status, C_INPUT_NOT_RECOGNIZED);
}

TEST_F(ExecutablesTest, ReleasePairsPatchWithOneElement)
{
    int patched = 0;
    for (const char* name : kReleasePairs) {
        SCOPED_TRACE(name);
        const Bytes oldBytes = BuiltImages::releases().load(std::string(name) + ".1");
        const Bytes newBytes = BuiltImages::releases().load(std::string(name) + ".2");
        if (oldBytes.empty() || newBytes.empty())
            continue;
        EXPECT_EQ(PatchAndApply(oldBytes, newBytes), 1u);
        PackAndRestore(newBytes, kDirectiveDisAndDiff);
        ++patched;
    }
    if (patched == 0)
        GTEST_SKIP() << "no release pair could be built";
}

TEST_F(ExecutablesTest, CorpusImagesPatchToAndFromOtherPrograms)
{
    // Each corpus image against a release of another program of the same
    // format: elements that share little code still patch exactly.
    const std::pair<const char*, const char*> formats[] = {{"elf32_x86_pie", "elf32_x86"},
        {"elf32_x86_shared.so", "elf32_x86"}, {"elf64_x64_pie", "elf64_x64"},
        {"elf32_arm_pie", "elf32_arm"}, {"elf32_thumb_pie", "elf32_thumb"}, {"pe32.dll", "pe32"},
        {"pe64.dll", "pe64"}, {"macho64", "macho64"}};
    int patched = 0;
    for (const auto& format : formats) {
        SCOPED_TRACE(format.first);
        const Bytes image = BuiltImages::corpus().load(format.first);
        const Bytes release = BuiltImages::releases().load(std::string(format.second) + ".2");
        if (image.empty() || release.empty())
            continue;
        EXPECT_EQ(PatchAndApply(image, release), 1u);
        EXPECT_EQ(PatchAndApply(release, image), 1u);
        EXPECT_EQ(PatchAndApply(image, image), 1u);
        ++patched;
    }
    if (patched == 0)
        GTEST_SKIP() << "no corpus image could be built";
}

TEST_F(ExecutablesTest, UniversalPairPatchesWithSeveralElements)
{
    LOAD_IMAGE_OR_SKIP(a1, BuiltImages::releases(), "macho64.1");
    LOAD_IMAGE_OR_SKIP(a2, BuiltImages::releases(), "macho64.2");
    LOAD_IMAGE_OR_SKIP(b1, BuiltImages::releases(), "macho64_os.1");
    LOAD_IMAGE_OR_SKIP(b2, BuiltImages::releases(), "macho64_os.2");
    EXPECT_EQ(PatchAndApply(Universal({a1, b1}), Universal({a2, b2})), 2u);
}

TEST_F(ExecutablesTest, MakerKeepsTheSmallerPatch)
{
    LOAD_IMAGE_OR_SKIP(oldBytes, BuiltImages::releases(), "pe32.1");
    LOAD_IMAGE_OR_SKIP(newBytes, BuiltImages::releases(), "pe32.2");
    kvpatchmaker::PatchOptions plain;
    plain.findElements = false;
    uint32_t elements = 0;
    const size_t withElements = PatchSize(oldBytes, newBytes, WithElements(), &elements);
    EXPECT_EQ(elements, 1u);
    const size_t without = PatchSize(oldBytes, newBytes, plain, &elements);
    EXPECT_EQ(elements, 0u);
    const size_t chosen = PatchSize(oldBytes, newBytes, {}, &elements);
    EXPECT_EQ(chosen, std::min(withElements, without));
    EXPECT_EQ(elements, withElements <= without ? 1u : 0u);
}

TEST_F(ExecutablesTest, PatchFromFilesIsThePatchFromMemory)
{
    // The maker unmaps the files' pages between stages and reads them again.
    LOAD_IMAGE_OR_SKIP(oldBytes, BuiltImages::releases(), "elf64_x64.1");
    LOAD_IMAGE_OR_SKIP(newBytes, BuiltImages::releases(), "elf64_x64.2");
    for (const kvpatchmaker::PatchOptions& options :
        {WithElements(), kvpatchmaker::PatchOptions()}) {
        SinkStream inMemory;
        ASSERT_TRUE(kvpatchmaker::MakeEnsemblePatch(oldBytes.data(), oldBytes.size(),
            newBytes.data(), newBytes.size(), &inMemory, options));
        WriteFile(dir.path("old"), oldBytes);
        WriteFile(dir.path("new"), newBytes);
        ASSERT_TRUE(kvpatchmaker::MakeEnsemblePatchFile(
            dir.path("old"), dir.path("new"), dir.path("patch"), options));
        EXPECT_EQ(ReadFile(dir.path("patch")),
            Bytes(inMemory.Buffer(), inMemory.Buffer() + inMemory.Length()));
    }
}

TEST_F(ExecutablesTest, ExecutableToTextFallsBackToAPlainPatch)
{
    LOAD_IMAGE_OR_SKIP(image, BuiltImages::releases(), "elf64_x64.1");
    EXPECT_EQ(PatchAndApply(image, TextBytes(4000)), 0u);
    EXPECT_EQ(PatchAndApply(TextBytes(4000), image), 0u);
}

// Crafted patches against one old executable, each failing in a program
// layer after the element was found.
class CraftedElementTest : public ExecutablesTest
{
protected:
    void SetUp() override
    {
        oldBytes = BuiltImages::releases().load("elf32_x86.1");
        newBytes = BuiltImages::releases().load("elf32_x86.2");
        if (oldBytes.empty() || newBytes.empty())
            GTEST_SKIP() << "toolchain could not build elf32_x86";
        kvpatchmaker::PatchSummary summary;
        SinkStream patch;
        ASSERT_TRUE(kvpatchmaker::MakeEnsemblePatch(oldBytes.data(), oldBytes.size(),
            newBytes.data(), newBytes.size(), &patch, WithElements(), &summary));
        ASSERT_EQ(summary.elements, 1u);
        good = SplitPatch(Bytes(patch.Buffer(), patch.Buffer() + patch.Length()));
        WriteFile(dir.path("old"), oldBytes);
        WriteFile(dir.path("new"), ToBytes("previous"));
    }

    void ExpectStatus(const PatchParts& parts, Status status)
    {
        WriteFile(dir.path("patch"), JoinPatch(parts));
        EXPECT_EQ(
            ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("new")), status);
        EXPECT_EQ(ReadFile(dir.path("new")), ToBytes("previous"));
    }

    // A serialised set of one element: the encoding of `image`.
    static Bytes EncodedSet(const Bytes& image)
    {
        SinkStreamSet set;
        SinkStreamSet element;
        EXPECT_EQ(TransformElement(image.data(), image.size(), &element), C_OK);
        EXPECT_TRUE(set.WriteNested(&element));
        SinkStream out;
        EXPECT_TRUE(set.WriteAll(&out));
        return Bytes(out.Buffer(), out.Buffer() + out.Length());
    }

    Bytes TransformedOld() { return EncodedSet(oldBytes); }

    // A corrected-elements set holding one element made of `streams`.
    static Bytes OneElement(const std::vector<Bytes>& streams)
    {
        SinkStreamSet element;
        for (size_t i = 0; i < streams.size(); ++i)
            EXPECT_TRUE(element.Stream(i)->Write(streams[i].data(), streams[i].size()));
        SinkStreamSet set;
        EXPECT_TRUE(set.WriteNested(&element));
        SinkStream out;
        EXPECT_TRUE(set.WriteAll(&out));
        return Bytes(out.Buffer(), out.Buffer() + out.Length());
    }

    Bytes oldBytes;
    Bytes newBytes;
    PatchParts good;
};

TEST_F(CraftedElementTest, PatchAppliesAsMade)
{
    WriteFile(dir.path("patch"), JoinPatch(good));
    ASSERT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("new")), C_OK);
    EXPECT_EQ(ReadFile(dir.path("new")), newBytes);
    EXPECT_EQ(good.streams[0][0], 1); // one element
    EXPECT_EQ(good.streams[0][1], EXE_ELF_32_X86);
}

TEST_F(CraftedElementTest, WrongOldFileIsRefusedThoughItsElementIsEncoded)
{
    // The old file is checked while its element is disassembled and its
    // pages let go; a wrong one is refused all the same.
    Bytes changed = oldBytes;
    changed[changed.size() / 2] ^= 0x01;
    WriteFile(dir.path("old"), changed);
    ExpectStatus(good, C_BAD_ENSEMBLE_CRC);
}

TEST_F(CraftedElementTest, ElementWithParametersIsAGeneralError)
{
    SinkStreamSet parameters;
    ASSERT_TRUE(parameters.Stream(0)->Write("p", 1));
    SinkStreamSet set;
    ASSERT_TRUE(set.WriteNested(&parameters));
    SinkStream corrected;
    ASSERT_TRUE(set.WriteAll(&corrected));
    PatchParts parts = good;
    parts.streams[1] = DiffBytes(
        EmptyNestedSets(1), Bytes(corrected.Buffer(), corrected.Buffer() + corrected.Length()));
    ExpectStatus(parts, C_GENERAL_ERROR);
}

TEST_F(CraftedElementTest, ElementThatCannotBeDisassembledIsReported)
{
    // An image damaged so that its headers still pass but its disassembly
    // fails: the first such byte flip near the headers.
    Bytes damaged;
    for (size_t i = 0; i < 1024 && i < oldBytes.size() && damaged.empty(); ++i) {
        Bytes candidate = oldBytes;
        candidate[i] ^= 0xFF;
        SinkStreamSet streams;
        if (TransformElement(candidate.data(), candidate.size(), &streams) == C_DISASSEMBLY_FAILED)
            damaged = candidate;
    }
    if (damaged.empty())
        GTEST_SKIP() << "no byte flip of the headers makes the disassembly fail";
    WriteFile(dir.path("old"), damaged);
    PatchParts parts = good;
    parts.sourceCrc = Crc(damaged);
    parts.streams[0] = {1, EXE_ELF_32_X86, 0};
    AppendVarint(&parts.streams[0], uint32_t(damaged.size()));
    ExpectStatus(parts, C_DISASSEMBLY_FAILED);
}

TEST_F(CraftedElementTest, UnreadableEncodedProgramIsADeserializationFailure)
{
    PatchParts parts = good;
    parts.streams[2] = DiffBytes(TransformedOld(), EmptyNestedSets(1));
    ExpectStatus(parts, C_DESERIALIZATION_FAILED);
}

TEST_F(CraftedElementTest, ProgramThatCannotBeAssembledIsAnAssemblyFailure)
{
    // One rel32 op but no label index for it.
    const Bytes program = OneElement({{0, 0}, {1, 3}, {0}, {0}, {0}, {0}, {0}, {0}});
    PatchParts parts = good;
    parts.streams[2] = DiffBytes(TransformedOld(), program);
    ExpectStatus(parts, C_ASSEMBLY_FAILED);
}

TEST_F(CraftedElementTest, LeftoverBytesOfAnElementAreNotConsumed)
{
    // Stream 9 of an encoded program is not read by the program itself.
    const Bytes program = OneElement({{0, 0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {}, {7}});
    PatchParts parts = good;
    parts.streams[2] = DiffBytes(TransformedOld(), program);
    ExpectStatus(parts, C_STREAM_NOT_CONSUMED);
}

TEST_F(CraftedElementTest, CorrectedElementsThatAreNoStreamSetAreAStreamError)
{
    PatchParts parts = good;
    parts.streams[2] = DiffBytes(TransformedOld(), ToBytes("nothing"));
    ExpectStatus(parts, C_STREAM_ERROR);
}

TEST_F(CraftedElementTest, CorrectedElementsMatchTheNewRelease)
{
    // The new release encoded without the maker's label numbering applies
    // just as well: only the patch size depends on the numbering.
    PatchParts parts = good;
    parts.streams[2] = DiffBytes(TransformedOld(), EncodedSet(newBytes));
    WriteFile(dir.path("patch"), JoinPatch(parts));
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("fresh")), C_OK);
    EXPECT_EQ(ReadFile(dir.path("fresh")), newBytes);
}

} // namespace
