// Ensemble patches without executable elements (a diff of the whole file),
// crafted patches for every failure status, and what a failed application
// leaves at the new path.
#include "testsupport.h"

#include "allocation.h"
#include "ensemblepatch.h"
#include "ensemblepatchapplier.h"
#include "ensemblepatchmaker.h"
#include "lzmaio.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>

using namespace kvpatch;

namespace {

Bytes MakePlainPatch(const Bytes& oldBytes, const Bytes& newBytes)
{
    kvpatchmaker::PatchOptions options;
    options.findElements = false;
    SinkStream patch;
    kvpatchmaker::PatchSummary summary;
    EXPECT_TRUE(kvpatchmaker::MakeEnsemblePatch(oldBytes.data(), oldBytes.size(), newBytes.data(),
        newBytes.size(), &patch, options, &summary));
    EXPECT_EQ(summary.elements, 0u);
    return Bytes(patch.Buffer(), patch.Buffer() + patch.Length());
}

Status ApplyInMemory(const Bytes& oldBytes, const Bytes& patch, Bytes* result)
{
    SourceStream old(oldBytes.data(), oldBytes.size());
    SourceStream patchStream(patch.data(), patch.size());
    SinkStream output;
    const Status status = ApplyEnsemblePatchStreams(&old, &patchStream, &output);
    result->assign(output.Buffer(), output.Buffer() + output.Length());
    return status;
}

// The old file of the crafted patches and the parts of a valid patch to it
// with no elements.
class EnsemblePatchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        oldBytes = TextBytes(8000);
        newBytes = oldBytes;
        newBytes.insert(newBytes.begin() + 100, 50, 'N');
        newBytes[5000] = '!';
        WriteFile(dir.path("old"), oldBytes);
        WriteFile(dir.path("new"), ToBytes("previous"));
        good = SplitPatch(MakePlainPatch(oldBytes, newBytes));
    }

    // Applies through the files and expects `status`, the new path as it
    // was and nothing else created beside it.
    void ExpectFileStatus(const Bytes& patch, Status status)
    {
        WriteFile(dir.path("patch"), patch);
        EXPECT_EQ(
            ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("new")), status);
        EXPECT_EQ(ReadFile(dir.path("new")), ToBytes("previous"));
        EXPECT_EQ(ListDirectory(dir.path("new")).size(), 3u);
    }

    void ExpectStatus(const PatchParts& parts, Status status)
    {
        Bytes result;
        EXPECT_EQ(ApplyInMemory(oldBytes, JoinPatch(parts), &result), status);
        ExpectFileStatus(JoinPatch(parts), status);
    }

    // A patch whose element parameters (stream 0) are `parameters` and
    // whose other streams are those of the good patch.
    PatchParts WithParameters(const Bytes& parameters)
    {
        PatchParts parts = good;
        parts.streams[0] = parameters;
        return parts;
    }

    TempDir dir;
    Bytes oldBytes;
    Bytes newBytes;
    PatchParts good;
};

TEST_F(EnsemblePatchTest, PlainPatchTurnsOldIntoNew)
{
    Bytes result;
    ASSERT_EQ(ApplyInMemory(oldBytes, JoinPatch(good), &result), C_OK);
    EXPECT_EQ(result, newBytes);
    WriteFile(dir.path("patch"), JoinPatch(good));
    ASSERT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("new")), C_OK);
    EXPECT_EQ(ReadFile(dir.path("new")), newBytes);
    EXPECT_EQ(ListDirectory(dir.path("new")).size(), 3u);
}

TEST_F(EnsemblePatchTest, PatchLayoutOfZeroElements)
{
    EXPECT_EQ(good.sourceCrc, Crc(oldBytes));
    EXPECT_EQ(good.targetCrc, Crc(newBytes));
    // The final input is the old file itself.
    EXPECT_EQ(good.finalInputSize, oldBytes.size());
    ASSERT_EQ(good.streams.size(), 4u);
    EXPECT_EQ(good.streams[0], (Bytes {0}));
    const Bytes patch = JoinPatch(good);
    EXPECT_EQ(Bytes(patch.begin(), patch.begin() + 8),
        (Bytes {0xC3, 0xDE, 0xD5, 0x03, 0x88, 0xB7, 0xCB, 0x09}));
}

TEST_F(EnsemblePatchTest, PlainPatchesOverVariousContents)
{
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {RandomBytes(30000, 1), RandomBytes(30000, 2)},
        {RandomBytes(30000, 3), TextBytes(100)},
        {TextBytes(100), RandomBytes(20000, 4)},
        {ToBytes("a"), {}},
        {TextBytes(4000), TextBytes(4000)},
    };
    for (const auto& c : cases) {
        Bytes result;
        ASSERT_EQ(ApplyInMemory(c.first, MakePlainPatch(c.first, c.second), &result), C_OK);
        EXPECT_EQ(result, c.second);
    }
}

// Text of words drawn at random from a few hundred made-up ones: it
// compresses, and two such texts share many short spurious matches.
Bytes RandomWords(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < n) {
        const uint32_t word = random() % 300;
        text += char('a' + word % 26);
        text += char('a' + word / 26 % 26);
        text += "ent" + std::to_string(word % 7) + (word % 11 == 0 ? ".\n" : " ");
    }
    text.resize(n);
    return ToBytes(text);
}

// Where old and new share little, the patch is no larger than the new file
// compressed on its own (plus the patch's few bytes of framing): spurious
// matches made it a quarter larger.
TEST_F(EnsemblePatchTest, UnrelatedFilesCostNoMoreThanACompressedCopy)
{
    const Bytes old = RandomWords(200000, 1);
    const Bytes fresh = RandomWords(200000, 2);
    const Bytes patch = MakePlainPatch(old, fresh);
    SinkStream copy;
    ASSERT_TRUE(Lzma2EncodeBuffer(fresh.data(), fresh.size(), &copy));
    EXPECT_LE(patch.size(), copy.Length() + 64);
    Bytes result;
    ASSERT_EQ(ApplyInMemory(old, patch, &result), C_OK);
    EXPECT_EQ(result, fresh);
}

TEST_F(EnsemblePatchTest, EmptyResultIsWrittenAsEmptyFile)
{
    WriteFile(dir.path("patch"), MakePlainPatch(oldBytes, {}));
    ASSERT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("new")), C_OK);
    EXPECT_TRUE(FileExists(dir.path("new")));
    EXPECT_TRUE(ReadFile(dir.path("new")).empty());
}

TEST_F(EnsemblePatchTest, WrongMagicIsRefusedBeforeTheOldFileIsOpened)
{
    PatchParts parts = good;
    parts.magic = 0x756F44;
    WriteFile(dir.path("patch"), JoinPatch(parts));
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("missing"), dir.path("patch"), dir.path("new")),
        C_BAD_ENSEMBLE_MAGIC);
    ExpectStatus(parts, C_BAD_ENSEMBLE_MAGIC);
    ExpectFileStatus({}, C_READ_OPEN_ERROR);
    ExpectFileStatus({0xC3, 0xDE}, C_BAD_ENSEMBLE_MAGIC);
}

TEST_F(EnsemblePatchTest, WrongVersionIsRefused)
{
    PatchParts parts = good;
    parts.version = 20110217;
    WriteFile(dir.path("patch"), JoinPatch(parts));
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("missing"), dir.path("patch"), dir.path("new")),
        C_BAD_ENSEMBLE_VERSION);
    ExpectStatus(parts, C_BAD_ENSEMBLE_VERSION);
}

TEST_F(EnsemblePatchTest, MissingHeaderFieldIsRefused)
{
    const Bytes patch = JoinPatch(good);
    // Magic, version and the source CRC: the target CRC is missing.
    size_t position = 0;
    for (int i = 0; i < 3; ++i)
        ReadVarintAt(patch, &position);
    ExpectFileStatus(Bytes(patch.begin(), patch.begin() + position), C_BAD_ENSEMBLE_HEADER);
}

TEST_F(EnsemblePatchTest, MissingFilesAreReported)
{
    WriteFile(dir.path("patch"), JoinPatch(good));
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("missing"), dir.path("new")),
        C_READ_OPEN_ERROR);
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("missing"), dir.path("patch"), dir.path("new")),
        C_READ_ERROR);
    EXPECT_EQ(ReadFile(dir.path("new")), ToBytes("previous"));
}

TEST_F(EnsemblePatchTest, PatchForAnotherOldFileIsRefused)
{
    PatchParts parts = good;
    parts.sourceCrc ^= 1;
    ExpectStatus(parts, C_BAD_ENSEMBLE_CRC);
    // Checked before the body: a body that would not even decode gives 8.
    Bytes patch = JoinPatch(parts);
    patch.resize(patch.size() / 2);
    ExpectFileStatus(patch, C_BAD_ENSEMBLE_CRC);
}

TEST_F(EnsemblePatchTest, ResultWithWrongCrcIsNotWritten)
{
    PatchParts parts = good;
    parts.targetCrc ^= 0x80000000;
    ExpectStatus(parts, C_BAD_ENSEMBLE_CRC);
    EXPECT_FALSE(FileExists(dir.path("fresh")));
    WriteFile(dir.path("patch"), JoinPatch(parts));
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("fresh")),
        C_BAD_ENSEMBLE_CRC);
    EXPECT_FALSE(FileExists(dir.path("fresh")));
}

TEST_F(EnsemblePatchTest, DamagedBodyIsAStreamError)
{
    Bytes patch = JoinPatch(good);
    patch.resize(patch.size() - 20);
    ExpectFileStatus(patch, C_STREAM_ERROR);
}

TEST_F(EnsemblePatchTest, BodyMustBeAStreamSetOfFourStreams)
{
    PatchParts parts = good;
    parts.streams.pop_back();
    ExpectStatus(parts, C_BAD_ENSEMBLE_HEADER);

    // A body that is no stream set at all.
    Bytes patch;
    for (uint32_t v : {good.magic, good.version, good.sourceCrc, good.targetCrc, 0u})
        AppendVarint(&patch, v);
    SinkStream block;
    ASSERT_TRUE(Lzma2EncodeBuffer(reinterpret_cast<const uint8_t*>("plain text"), 10, &block));
    patch.insert(patch.end(), block.Buffer(), block.Buffer() + block.Length());
    ExpectFileStatus(patch, C_BAD_ENSEMBLE_HEADER);

    // More than four streams is fine.
    parts = good;
    parts.streams.push_back(ToBytes("spare"));
    Bytes result;
    EXPECT_EQ(ApplyInMemory(oldBytes, JoinPatch(parts), &result), C_OK);
}

// The body is decoded while the elements are worked on; a body that does
// not decode (20) or is no stream set (7) still outranks an element's fault
// (12 here), also when the body is large enough to be handed over in pieces.
TEST_F(EnsemblePatchTest, BodyFaultsOutrankElementFaults)
{
    PatchParts parts = WithParameters({1, 2, 0, 0xFF, 0x7F});
    ExpectStatus(parts, C_BAD_TRANSFORM);
    parts.streams.push_back(Bytes(3 << 20, 'z'));
    ExpectStatus(parts, C_BAD_TRANSFORM);

    const Bytes head = JoinPatch(parts);
    SourceStream probe(head.data(), head.size());
    EnsemblePatchApplier header;
    ASSERT_EQ(header.ReadHeader(&probe), C_OK);
    const Bytes prefix(head.begin(), head.begin() + probe.Position());
    auto withBody = [&](const Bytes& body) {
        Bytes patch = prefix;
        SinkStream block;
        EXPECT_TRUE(Lzma2EncodeBuffer(body.data(), body.size(), &block));
        patch.insert(patch.end(), block.Buffer(), block.Buffer() + block.Length());
        return patch;
    };
    // Bytes after the last stream: no valid set.
    Bytes body = SerializedSet(parts.streams);
    body.push_back(0);
    ExpectFileStatus(withBody(body), C_BAD_ENSEMBLE_HEADER);
    // A block cut short after its first pieces.
    Bytes cut = withBody(SerializedSet(parts.streams));
    cut.resize(cut.size() - 8);
    ExpectFileStatus(cut, C_STREAM_ERROR);
}

TEST_F(EnsemblePatchTest, ElementKindOutsideOneToSevenIsRefused)
{
    ExpectStatus(WithParameters({1, 8, 0, 10}), C_BAD_ENSEMBLE_HEADER);
    ExpectStatus(WithParameters({1, 0, 0, 10}), C_BAD_ENSEMBLE_HEADER);
    ExpectStatus(WithParameters({2, 2}), C_BAD_ENSEMBLE_HEADER); // second kind missing
    ExpectStatus(WithParameters({}), C_BAD_ENSEMBLE_HEADER); // no count
    ExpectStatus(WithParameters({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), C_BAD_ENSEMBLE_HEADER);
}

TEST_F(EnsemblePatchTest, ExtraBytesAfterTheParametersAreRefused)
{
    ExpectStatus(WithParameters({0, 0}), C_BAD_ENSEMBLE_HEADER);
    ExpectStatus(WithParameters({1, 2, 0, 10, 0}), C_BAD_ENSEMBLE_HEADER);
}

// Real elements are disjoint slices of the old file. Elements that together
// cover more would have the same bytes disassembled and encoded over and
// over (100,000 elements over one slice took 1.35 GB): refused at once.
TEST_F(EnsemblePatchTest, ElementsCoveringMoreThanTheOldFileAreRefused)
{
    const uint32_t half = uint32_t(oldBytes.size() / 2);
    Bytes parameters = {2, 2, 2, 0};
    AppendVarint(&parameters, half + 1);
    AppendVarint(&parameters, half);
    AppendVarint(&parameters, half);
    ExpectStatus(WithParameters(parameters), C_BAD_TRANSFORM);

    parameters.clear();
    AppendVarint(&parameters, 100000);
    parameters.insert(parameters.end(), 100000, 2);
    for (uint32_t i = 0; i < 100000; ++i) {
        AppendVarint(&parameters, 0);
        AppendVarint(&parameters, 100);
    }
    ExpectStatus(WithParameters(parameters), C_BAD_TRANSFORM);
}

TEST_F(EnsemblePatchTest, ElementOutsideTheOldFileIsRefused)
{
    Bytes parameters = {1, 2};
    AppendVarint(&parameters, uint32_t(oldBytes.size()));
    AppendVarint(&parameters, 1);
    ExpectStatus(WithParameters(parameters), C_BAD_TRANSFORM);

    parameters = {1, 2, 1};
    AppendVarint(&parameters, uint32_t(oldBytes.size()));
    ExpectStatus(WithParameters(parameters), C_BAD_TRANSFORM);

    parameters = {1, 2};
    AppendVarint(&parameters, 0xFFFFFFFFu);
    AppendVarint(&parameters, 2);
    ExpectStatus(WithParameters(parameters), C_BAD_TRANSFORM);

    ExpectStatus(WithParameters({1, 2, 0}), C_BAD_TRANSFORM); // length missing
}

TEST_F(EnsemblePatchTest, ElementThatIsNoExecutableIsRefused)
{
    PatchParts parts = WithParameters({1, 2, 0, 100});
    parts.streams[1] = DiffBytes(EmptyNestedSets(1), EmptyNestedSets(1));
    ExpectStatus(parts, C_INPUT_NOT_RECOGNIZED);
}

TEST_F(EnsemblePatchTest, BrokenParameterDiffIsAGeneralError)
{
    PatchParts parts = good;
    parts.streams[1] = {3};
    ExpectStatus(parts, C_GENERAL_ERROR);
}

TEST_F(EnsemblePatchTest, CorrectedParametersThatAreNoStreamSetAreAStreamError)
{
    PatchParts parts = good;
    parts.streams[1] = DiffBytes(EmptyNestedSets(0), ToBytes("no set"));
    ExpectStatus(parts, C_STREAM_ERROR);
}

TEST_F(EnsemblePatchTest, LeftoverCorrectedParametersAreNotConsumed)
{
    // The corrected set carries a nested set although there is no element.
    PatchParts parts = good;
    parts.streams[1] = DiffBytes(EmptyNestedSets(0), EmptyNestedSets(1));
    ExpectStatus(parts, C_STREAM_NOT_CONSUMED);
}

TEST_F(EnsemblePatchTest, LeftoverCorrectedElementsAreNotConsumed)
{
    PatchParts parts = good;
    parts.streams[2] = DiffBytes(EmptyNestedSets(0), EmptyNestedSets(1));
    ExpectStatus(parts, C_STREAM_NOT_CONSUMED);
}

TEST_F(EnsemblePatchTest, BrokenFinalDiffIsAGeneralError)
{
    PatchParts parts = good;
    parts.streams[3].resize(parts.streams[3].size() / 2);
    ExpectStatus(parts, C_GENERAL_ERROR);
}

// A diff of a few hundred KB whose sections each decode to 512 MiB, for a
// new file of 8 KB: whichever diff of the body it is, it is refused before a
// section is decoded, and the application stays far below their size.
TEST_F(EnsemblePatchTest, DiffSectionsBeyondTheNewSizeAreRefusedUndecoded)
{
    for (const size_t stream : {1, 2, 3}) {
        PatchParts parts = good;
        parts.streams[stream] = ZeroBlocksDiff(uint32_t(newBytes.size()), 512u << 20);
        const Bytes patch = JoinPatch(parts);
        WriteFile(dir.path("patch"), patch);
        const int status = RunInChildWithin(1 << 20, [&] {
            Bytes result;
            const Status inMemory = ApplyInMemory(oldBytes, patch, &result);
            const Status throughFiles
                = ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("new"));
            return inMemory == throughFiles ? int(inMemory) : 0;
        });
        EXPECT_EQ(status, C_STREAM_ERROR) << "stream " << stream;
        EXPECT_EQ(ReadFile(dir.path("new")), ToBytes("previous"));
    }
}

// With the new file's size known, the patch is bounded by it: the final
// diff must state that size, the element diffs what programs of that size
// encode to, each stream of the body what its diff can take and the body
// what its streams can; each is refused before it is decoded, far below what
// it states. The right size changes nothing.
TEST_F(EnsemblePatchTest, KnownNewSizeBoundsTheBodyAndEveryDiff)
{
    const uint32_t size = uint32_t(newBytes.size());
    const Bytes bomb = ZeroBlocksDiff(512u << 20, 512u << 20);
    const auto withStream = [this](size_t stream, const Bytes& bytes) {
        PatchParts parts = good;
        parts.streams[stream] = bytes;
        return JoinPatch(parts);
    };
    Bytes zeroBody;
    for (const uint32_t field :
        {good.magic, good.version, good.sourceCrc, good.targetCrc, good.finalInputSize})
        AppendVarint(&zeroBody, field);
    const Bytes zeros = ZeroBlock(3u << 29);
    zeroBody.insert(zeroBody.end(), zeros.begin(), zeros.end());
    const struct
    {
        const char* name;
        Bytes patch;
        uint64_t newSize;
        Status status;
    } rows[] = {
        {"right size", JoinPatch(good), size, C_OK},
        {"final diff of another size", JoinPatch(good), size + 1, C_STREAM_ERROR},
        {"final diff stating 512 MiB", withStream(3, bomb), size, C_STREAM_ERROR},
        {"parameter diff stating 512 MiB", withStream(1, bomb), size, C_STREAM_ERROR},
        {"element diff stating 512 MiB", withStream(2, bomb), size, C_STREAM_ERROR},
        {"final stream of 8 MiB", withStream(3, Bytes(8u << 20, 0)), size, C_STREAM_ERROR},
        {"body of 1.5 GiB zeros", zeroBody, size, C_STREAM_ERROR},
    };
    for (const auto& row : rows) {
        WriteFile(dir.path("patch"), row.patch);
        const int status = RunInChildWithin(1 << 20, [&] {
            SourceStream old(oldBytes.data(), oldBytes.size());
            SourceStream patch(row.patch.data(), row.patch.size());
            SinkStream output;
            const Status inMemory = ApplyEnsemblePatchStreams(&old, &patch, &output, row.newSize);
            const Status throughFiles = ApplyEnsemblePatchFiles(
                dir.path("old"), dir.path("patch"), dir.path("new"), row.newSize);
            return inMemory == throughFiles ? int(inMemory) : 0;
        });
        EXPECT_EQ(status, row.status) << row.name;
        EXPECT_EQ(ReadFile(dir.path("new")), row.status == C_OK ? newBytes : ToBytes("previous"))
            << row.name;
        WriteFile(dir.path("new"), ToBytes("previous"));
    }
}

// The header's final-input size only caps what is reserved at once: a
// claim of 4 GiB neither allocates 4 GiB nor fails a patch that needs little.
TEST_F(EnsemblePatchTest, HugeFinalInputSizeIsNotAllocated)
{
    SetAllocationLimit(64 << 20);
    PatchParts parts = good;
    parts.finalInputSize = 0xFFFFFFF0u;
    Bytes result;
    EXPECT_EQ(ApplyInMemory(oldBytes, JoinPatch(parts), &result), C_OK);
    EXPECT_EQ(result, newBytes);
    SetAllocationLimit(SIZE_MAX);
}

TEST_F(EnsemblePatchTest, FailureKeepsNoTemporaryFileWhenTheNewPathCannotBeWritten)
{
    WriteFile(dir.path("patch"), JoinPatch(good));
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("patch"), dir.path("no/dir/new")),
        C_READ_ERROR);
    EXPECT_EQ(ListDirectory(dir.path("new")).size(), 3u);
}

TEST_F(EnsemblePatchTest, ApplicationsRunAtOnceInOneDirectory)
{
    // The updater patches several files on worker threads at once; their
    // temporary files sit side by side in one directory.
    WriteFile(dir.path("patch"), JoinPatch(good));
    std::vector<std::thread> workers;
    std::vector<Status> results(6, C_GENERAL_ERROR);
    for (size_t i = 0; i < results.size(); ++i) {
        workers.emplace_back([&, i] {
            results[i] = ApplyEnsemblePatchFiles(
                dir.path("old"), dir.path("patch"), dir.path("new" + std::to_string(i)));
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i], C_OK);
        EXPECT_EQ(ReadFile(dir.path("new" + std::to_string(i))), newBytes);
    }
    EXPECT_EQ(ListDirectory(dir.path("new")).size(), 3u + results.size());
}

} // namespace

// 2^30 element kinds fit in a stream of 1 GiB, which a patch of a few
// hundred KB decodes to. The table of their patchers is never larger than
// the data (nor sized by a product that wraps with a 32-bit size_t, where
// 2^30 pointers of 4 bytes came to 0 bytes): without room for the elements'
// parameters the count is refused before anything is allocated for it.
TEST(EnsembleElementTable, BillionElementsAreRefusedBeforeAllocating)
{
#ifdef KV_TSAN
    // The thread sanitizer makes the walk over a billion kinds take minutes.
    // Its build is 64-bit, where only the size matters: 2^24 pointers still
    // pass the allocation limit below by far.
    const uint32_t count = 1u << 24;
#else
    const uint32_t count = 1u << 30;
#endif
    Bytes stream;
    AppendVarint(&stream, count);
    stream.resize(stream.size() + count, 2);
    SourceStream parameters(stream.data(), stream.size());
    const Bytes old = TextBytes(1000);
    EnsemblePatchApplier applier;
    applier.SetBase(old.data(), old.size());
    SetAllocationLimit(64 << 20);
    EXPECT_EQ(applier.ReadElementParameters(&parameters), C_BAD_TRANSFORM);
    SetAllocationLimit(SIZE_MAX);
}
