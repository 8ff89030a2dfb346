#include "allocation.h"
#include "crc32.h"
#include "kvdiff.h"
#include "logcapture.h"
#include "lzmaio.h"
#include "testdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>

using namespace kvpatch;

namespace {

Bytes contentOf(const SinkStream& sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes generate(const Bytes& oldData, const Bytes& newData, uint8_t method, bool header)
{
    SourceStream oldSource(oldData.data(), oldData.size());
    SourceStream newSource(newData.data(), newData.size());
    SinkStream diff;
    EXPECT_TRUE(GenerateDiff(&oldSource, &newSource, &diff, header, method));
    EXPECT_TRUE(oldSource.Empty());
    EXPECT_TRUE(newSource.Empty());
    return contentOf(diff);
}

struct Applied
{
    bool ok;
    Bytes output;
    std::vector<std::string> messages;
    size_t diffPosition;
};

Applied apply(const Bytes& oldData, const Bytes& diff, bool header, uint32_t limit = UINT32_MAX)
{
    LogCapture log;
    SourceStream oldSource(oldData.data(), oldData.size());
    SourceStream diffSource(diff.data(), diff.size());
    SinkStream out;
    const bool ok = ApplyDiff(&oldSource, &diffSource, &out, header, limit);
    EXPECT_EQ(oldSource.Position(), 0u);
    return {ok, contentOf(out), log.messages, diffSource.Position()};
}

using Triple = std::tuple<int32_t, int32_t, int32_t>;

// The control bytes of `triples`.
Bytes controlOf(const std::vector<Triple>& triples)
{
    SinkStream control;
    for (const Triple& t : triples) {
        control.WriteVarint32Signed(std::get<0>(t));
        control.WriteVarint32Signed(std::get<1>(t));
        control.WriteVarint32Signed(std::get<2>(t));
    }
    return contentOf(control);
}

// A method-1 diff built by hand from its three sections, each packed as it
// is given.
Bytes threeBlockDiff(
    uint32_t newSize, const Bytes& control, const Bytes& diffBytes, const Bytes& extraBytes)
{
    SinkStream out;
    const uint8_t method = DiffThreeBlocks;
    out.Write(&method, 1);
    out.WriteVarint32(newSize);
    for (const Bytes* section : {&control, &diffBytes, &extraBytes})
        EXPECT_TRUE(Lzma2EncodeBuffer(section->data(), section->size(), &out));
    return contentOf(out);
}

// A method-0 diff built by hand from its parts.
Bytes rawDiff(uint32_t newSize, const std::vector<Triple>& triples, const Bytes& diffBytes,
    const Bytes& extraBytes)
{
    const Bytes control = controlOf(triples);
    SinkStream out;
    const uint8_t method = DiffRaw;
    out.Write(&method, 1);
    out.WriteVarint32(newSize);
    out.WriteSizeVarint32(control.size());
    out.WriteSizeVarint32(diffBytes.size());
    out.WriteSizeVarint32(extraBytes.size());
    for (const Bytes* section : {&control, &diffBytes, &extraBytes})
        out.Write(section->data(), section->size());
    return contentOf(out);
}

// Two versions of a file as releases differ: edits, an insertion early on
// that shifts what follows, and a removed stretch.
std::pair<Bytes, Bytes> releasePair(size_t size, uint32_t seed)
{
    Bytes oldData = repetitiveBytes(size / 2, seed);
    const Bytes tail = randomBytes(size / 2, seed + 1);
    oldData.insert(oldData.end(), tail.begin(), tail.end());
    Bytes newData = oldData;
    const Bytes inserted = randomBytes(97, seed + 2);
    newData.insert(newData.begin() + size / 10, inserted.begin(), inserted.end());
    for (size_t i = size / 5; i < newData.size(); i += 1031)
        newData[i] = uint8_t(newData[i] + 1);
    newData.erase(newData.begin() + size * 7 / 10, newData.begin() + size * 7 / 10 + 50);
    return {oldData, newData};
}

class KvDiffRoundTrip : public ::testing::TestWithParam<std::tuple<uint8_t, bool>>
{
};

TEST_P(KvDiffRoundTrip, ReproducesNewData)
{
    const uint8_t method = std::get<0>(GetParam());
    const bool header = std::get<1>(GetParam());
    const auto release = releasePair(60000, 11);
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {{}, {}},
        {bytesOf("old data"), {}},
        {{}, bytesOf("new data")},
        {bytesOf("a"), bytesOf("b")},
        {bytesOf("abc"), bytesOf("abd")},
        {repetitiveBytes(5000, 1), repetitiveBytes(5000, 1)},
        {randomBytes(4000, 2), randomBytes(5000, 3)},
        {repetitiveBytes(20000, 4), repetitiveBytes(21000, 5)},
        {Bytes(3000, 'x'), Bytes(4000, 'x')},
        release,
        {release.second, release.first},
    };
    for (const auto& c : cases) {
        const Bytes diff = generate(c.first, c.second, method, header);
        const Applied applied = apply(c.first, diff, header);
        ASSERT_TRUE(applied.ok) << c.first.size() << " -> " << c.second.size();
        EXPECT_EQ(applied.output, c.second);
        EXPECT_EQ(applied.diffPosition, diff.size());
        EXPECT_TRUE(applied.messages.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(AllMethods, KvDiffRoundTrip,
    ::testing::Combine(
        ::testing::Values(DiffRaw, DiffThreeBlocks, DiffOneBlock), ::testing::Bool()));

// Long runs of equal bytes (sparse files, zero padding): the match search
// must find the long runs instead of the one-byte tail of the old data, or
// it steps one byte at a time through each run and takes minutes.
TEST(KvDiff, LongRunsWithScatteredChanges)
{
    Bytes oldData(4 << 20, 0);
    Bytes newData(oldData.size(), 0);
    const Bytes noise = randomBytes(64, 7);
    for (size_t i = 0; i < 16; ++i) {
        oldData[(i * 2654435761u) % oldData.size()] = uint8_t(noise[i] | 1);
        newData[(i * 40503u + 12345) % newData.size()] = uint8_t(noise[i + 16] | 1);
    }
    const Bytes diff = generate(oldData, newData, DiffThreeBlocks, false);
    const Applied applied = apply(oldData, diff, false);
    ASSERT_TRUE(applied.ok);
    EXPECT_EQ(applied.output, newData);
    EXPECT_LT(diff.size(), 4096u);
}

// The match search indexes old data below 16 MiB three bytes an entry and
// larger data four: on both sides of the line, pieces copied from anywhere
// in the old data (the high byte of their positions set and clear) are
// found whole, so the diff has no extra bytes and only zero differences.
TEST(KvDiff, CopiesAreFoundOnBothSidesOfTheIndexWidthLimit)
{
    const size_t limit = size_t(1) << 24;
    for (const size_t size : {limit - 1, limit}) {
        const Bytes oldData = randomBytes(size, 31);
        Bytes newData;
        for (const size_t at : {size - 4096, size_t(5), (limit >> 1) + 3, size / 3, limit - 9000}) {
            newData.insert(
                newData.end(), oldData.begin() + long(at), oldData.begin() + long(at) + 4096);
        }
        const Bytes diff = generate(oldData, newData, DiffRaw, false);
        SourceStream fields(diff.data(), diff.size());
        uint8_t method = 0xFF;
        uint32_t newSize = 0, control = 0, diffLength = 0, extraLength = 0;
        ASSERT_TRUE(fields.Read(&method, 1) && fields.ReadVarint32(&newSize)
            && fields.ReadVarint32(&control) && fields.ReadVarint32(&diffLength)
            && fields.ReadVarint32(&extraLength));
        EXPECT_EQ(extraLength, 0u) << size;
        EXPECT_EQ(diffLength, newData.size()) << size;
        const uint8_t* differences = diff.data() + fields.Position() + control;
        EXPECT_EQ(Bytes(differences, differences + diffLength), Bytes(newData.size(), 0)) << size;
        EXPECT_EQ(apply(oldData, diff, false).output, newData) << size;
    }
}

// What the writer reports as done with is never read again: those pages of
// the new data are made unreadable as they are reported.
TEST(KvDiff, NewBytesReportedDoneAreNotReadAgain)
{
    const auto release = releasePair(6 << 20, 41);
    const long page = sysconf(_SC_PAGESIZE);
    const size_t length = release.second.size();
    void* view = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(view, MAP_FAILED);
    uint8_t* bytes = static_cast<uint8_t*>(view);
    std::copy(release.second.begin(), release.second.end(), bytes);
    size_t reported = 0;
    size_t reports = 0;
    SourceStream oldSource(release.first.data(), release.first.size());
    SourceStream newSource(bytes, length);
    SinkStream diff;
    DiffWriterHooks hooks;
    hooks.newRead = [&](size_t done) {
        EXPECT_GE(done, reported);
        EXPECT_LE(done, length);
        reported = done;
        ++reports;
        mprotect(view, done / size_t(page) * size_t(page), PROT_NONE);
    };
    ASSERT_TRUE(GenerateDiff(&oldSource, &newSource, &diff, false, DiffRaw, hooks));
    EXPECT_GT(reports, 1u);
    munmap(view, length);
    EXPECT_EQ(apply(release.first, contentOf(diff), false).output, release.second);
}

TEST(KvDiff, HeaderCarriesMagicAndCrc)
{
    const Bytes newData = bytesOf("123456789");
    const Bytes diff = generate(bytesOf("12345"), newData, DiffRaw, true);
    ASSERT_GE(diff.size(), 14u);
    EXPECT_EQ(Bytes(diff.begin(), diff.begin() + 8), bytesOf("KVDIFF10"));
    // 0x340BC6D9 as varint, then the method byte and the size.
    EXPECT_EQ(Bytes(diff.begin() + 8, diff.begin() + 15),
        (Bytes {0xD9, 0x8D, 0xAF, 0xA0, 0x03, DiffRaw, 9}));
}

TEST(KvDiff, IdenticalDataIsOneAddTriple)
{
    const Bytes data = randomBytes(1000, 21);
    const Bytes diff = generate(data, data, DiffRaw, false);
    // method, size, lengths (control 5: 1000, 0, -1000; diff 1000; extra 0).
    SinkStream expected;
    const uint8_t method = DiffRaw;
    expected.Write(&method, 1);
    expected.WriteVarint32(1000);
    expected.WriteVarint32(5);
    expected.WriteVarint32(1000);
    expected.WriteVarint32(0);
    expected.WriteVarint32Signed(1000);
    expected.WriteVarint32Signed(0);
    expected.WriteVarint32Signed(-1000);
    const Bytes zeros(1000, 0);
    expected.Write(zeros.data(), zeros.size());
    EXPECT_EQ(diff, contentOf(expected));
}

TEST(KvDiff, EmptyNewDataHasEmptyBodyAndIgnoresOldData)
{
    const Bytes diff = generate(randomBytes(100, 3), {}, DiffRaw, false);
    EXPECT_EQ(diff, (Bytes {DiffRaw, 0, 0, 0, 0}));
    const Applied applied = apply(bytesOf("anything"), diff, false);
    EXPECT_TRUE(applied.ok);
    EXPECT_TRUE(applied.output.empty());
}

TEST(KvDiff, NewSizeZeroReadsNoControls)
{
    // Control bytes that could not be applied are never looked at.
    const Bytes diff = rawDiff(0, {{50, 50, 50}}, {}, {});
    EXPECT_TRUE(apply({}, diff, false).ok);
}

TEST(KvDiff, HandBuiltDiffWithNegativeSeek)
{
    const Bytes oldData = bytesOf("abcdef");
    // "abc" + "XY" + "bcd": after the first add the old position is moved
    // back to 1 by the seek.
    const Bytes diff = rawDiff(8, {{3, 2, -2}, {3, 0, 0}}, Bytes(6, 0), bytesOf("XY"));
    const Applied applied = apply(oldData, diff, false);
    ASSERT_TRUE(applied.ok);
    EXPECT_EQ(applied.output, bytesOf("abcXYbcd"));
}

TEST(KvDiff, OldDataInPartsReadsAsOne)
{
    const auto pair = releasePair(20000, 7);
    const Bytes diff = generate(pair.first, pair.second, DiffRaw, true);
    const uint8_t* old = pair.first.data();
    const size_t size = pair.first.size();
    // Cuts at the ends, inside an add, past the middle, and empty parts.
    const std::vector<std::vector<ByteRange>> layouts = {
        {{old, 0}, {old, size}},
        {{old, 1}, {old + 1, size - 1}},
        {{old, 2003}, {old + 2003, 0}, {old + 2003, 7997}, {old + 10000, size - 10000}},
        {{old, size}, {old + size, 0}},
    };
    for (size_t i = 0; i < layouts.size(); ++i) {
        SourceStream diffSource(diff.data(), diff.size());
        SinkStream output;
        ASSERT_TRUE(
            ApplyDiffToParts(layouts[i].data(), layouts[i].size(), &diffSource, &output, true))
            << i;
        EXPECT_TRUE(contentOf(output) == pair.second) << i;
    }
    // A seek past all parts is refused as it is over one.
    const Bytes oldData = bytesOf("abcdef");
    const Bytes outside = rawDiff(4, {{2, 0, 3}, {2, 0, 0}}, Bytes(4, 0), {});
    SourceStream outsideSource(outside.data(), outside.size());
    SinkStream output;
    const ByteRange halves[2] = {{oldData.data(), 3}, {oldData.data() + 3, 3}};
    EXPECT_FALSE(ApplyDiffToParts(halves, 2, &outsideSource, &output, false));
}

TEST(KvDiff, DiscardedDiffPagesLeaveTheOutputWhole)
{
    // Three megabytes of difference bytes in memory of their own, whose
    // pages read as zeros once they are given back.
    const size_t size = size_t(3) << 20;
    Bytes oldData(size);
    for (size_t i = 0; i < size; ++i)
        oldData[i] = uint8_t(i * 7);
    const Bytes diff = rawDiff(uint32_t(size), {{int32_t(size), 0, 0}}, Bytes(size, 1), {});
    // Kept whole or handed over in pieces.
    for (const bool pieces : {false, true}) {
        void* area = mmap(
            nullptr, diff.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(area, MAP_FAILED);
        uint8_t* copy = static_cast<uint8_t*>(area);
        std::memcpy(copy, diff.data(), diff.size());
        SourceStream diffSource(copy, diff.size());
        Bytes output;
        const auto flush = [&output](const uint8_t* data, size_t length) {
            output.insert(output.end(), data, data + length);
            return true;
        };
        const ByteRange old = {oldData.data(), size};
        SinkStream whole;
        ASSERT_TRUE(pieces
                ? ApplyDiffToPartsInPieces(&old, 1, &diffSource, 1 << 16, flush, UINT32_MAX, true)
                : ApplyDiffToParts(&old, 1, &diffSource, &whole, false, UINT32_MAX, true));
        if (!pieces)
            output.assign(whole.Buffer(), whole.Buffer() + whole.Length());
        ASSERT_EQ(output.size(), size);
        bool same = true;
        for (size_t i = 0; i < size; ++i)
            same = same && output[i] == uint8_t(oldData[i] + 1);
        EXPECT_TRUE(same) << pieces;
        // The bytes read were given back: a page from the middle is zeros.
        EXPECT_EQ(copy[diff.size() / 2], 0) << pieces;
        munmap(area, diff.size());
    }
}

TEST(KvDiff, PiecesAddUpToTheWholeOutput)
{
    const auto pair = releasePair(20000, 8);
    const Bytes diff = generate(pair.first, pair.second, DiffRaw, false);
    const ByteRange old = {pair.first.data(), pair.first.size()};
    // Pieces smaller than the steps, about as large, and beyond the output.
    for (const size_t piece : {size_t(1), size_t(7), size_t(4096), size_t(1) << 20}) {
        Bytes output;
        bool small = true;
        const auto flush = [&](const uint8_t* data, size_t length) {
            small = small && length > 0 && length <= piece;
            output.insert(output.end(), data, data + length);
            return true;
        };
        SourceStream diffSource(diff.data(), diff.size());
        ASSERT_TRUE(ApplyDiffToPartsInPieces(&old, 1, &diffSource, piece, flush)) << piece;
        EXPECT_TRUE(small) << piece;
        EXPECT_TRUE(output == pair.second) << piece;
    }
    // A refused piece stops the application.
    SourceStream diffSource(diff.data(), diff.size());
    size_t calls = 0;
    EXPECT_FALSE(ApplyDiffToPartsInPieces(
        &old, 1, &diffSource, 100, [&calls](const uint8_t*, size_t) { return ++calls < 3; }));
    EXPECT_EQ(calls, 3u);
}

// Triples that produce nothing and only move in the old data are valid in
// any number: one new byte behind eleven of them applies from compressed
// sections as from raw ones.
TEST(KvDiff, TriplesThatProduceNothingApplyFromEveryMethod)
{
    std::vector<Triple> triples(11, Triple {0, 0, 1});
    triples.push_back(Triple {1, 0, 0});
    const Bytes raw = rawDiff(1, triples, {1}, {});
    const Bytes control = controlOf(triples);
    SinkStream threeBlocks;
    const uint8_t diffByte = 1;
    ASSERT_TRUE(threeBlocks.Write(raw.data(), 2)
        && Lzma2EncodeBuffer(control.data(), control.size(), &threeBlocks)
        && Lzma2EncodeBuffer(&diffByte, 1, &threeBlocks)
        && Lzma2EncodeBuffer(&diffByte, 0, &threeBlocks));
    threeBlocks.MutableBuffer()[0] = DiffThreeBlocks;
    SinkStream oneBlock;
    ASSERT_TRUE(oneBlock.Write(raw.data(), 2)
        && Lzma2EncodeBuffer(raw.data() + 2, raw.size() - 2, &oneBlock));
    oneBlock.MutableBuffer()[0] = DiffOneBlock;
    const Bytes oldData = bytesOf("abcdefghijklm");
    for (const Bytes& diff : {raw, contentOf(threeBlocks), contentOf(oneBlock)}) {
        const Applied applied = apply(oldData, diff, false);
        EXPECT_TRUE(applied.ok) << int(diff[0]);
        EXPECT_EQ(applied.output, bytesOf("m")) << int(diff[0]);
    }
}

TEST(KvDiff, LeftoverControlBytesAreIgnored)
{
    const Bytes diff = rawDiff(2, {{0, 2, 0}, {999, 999, 999}}, {}, bytesOf("hi"));
    const Applied applied = apply({}, diff, false);
    ASSERT_TRUE(applied.ok);
    EXPECT_EQ(applied.output, bytesOf("hi"));
}

TEST(KvDiff, AddsWrapAroundModulo256)
{
    const Applied applied = apply({0xF0, 0x01}, rawDiff(2, {{2, 0, 0}}, {0x20, 0xFF}, {}), false);
    ASSERT_TRUE(applied.ok);
    EXPECT_EQ(applied.output, (Bytes {0x10, 0x00}));
}

void expectFailure(const Bytes& oldData, const Bytes& diff, bool header, const std::string& message,
    uint32_t limit = UINT32_MAX)
{
    const Applied applied = apply(oldData, diff, header, limit);
    EXPECT_FALSE(applied.ok);
    if (message.empty()) {
        EXPECT_TRUE(applied.messages.empty()) << applied.messages[0];
    } else {
        EXPECT_EQ(applied.messages, std::vector<std::string> {message});
    }
}

TEST(KvDiffFailure, ControlsEndingEarly)
{
    expectFailure(
        {}, rawDiff(3, {{0, 2, 0}}, {}, bytesOf("hi")), false, "Corrupt patch reading control");
    Bytes truncatedTriple = rawDiff(1, {}, {}, bytesOf("h"));
    expectFailure({}, truncatedTriple, false, "Corrupt patch reading control");
}

TEST(KvDiffFailure, StepsPastTheNewSize)
{
    expectFailure(bytesOf("abc"), rawDiff(2, {{3, 0, 0}}, Bytes(3, 0), {}), false, "Corrupt patch");
    expectFailure({}, rawDiff(2, {{0, 3, 0}}, {}, bytesOf("abc")), false, "Corrupt patch");
}

TEST(KvDiffFailure, StepsOutsideTheirDataFailSilently)
{
    const Bytes oldData = bytesOf("abc");
    // add past the old data's end
    expectFailure(oldData, rawDiff(4, {{4, 0, 0}}, Bytes(4, 0), {}), false, "");
    // old position before the start after a negative seek
    expectFailure(oldData, rawDiff(4, {{1, 0, -2}, {3, 0, 0}}, Bytes(4, 0), {}), false, "");
    // add beyond the diff section
    expectFailure(oldData, rawDiff(3, {{3, 0, 0}}, Bytes(2, 0), {}), false, "");
    // copy beyond the extra section
    expectFailure({}, rawDiff(3, {{0, 3, 0}}, {}, bytesOf("ab")), false, "");
    // negative lengths
    expectFailure(oldData, rawDiff(3, {{-1, 0, 0}}, {}, {}), false, "");
    expectFailure(oldData, rawDiff(3, {{0, -1, 0}}, {}, {}), false, "");
}

TEST(KvDiffFailure, BadMethodAndMissingFields)
{
    expectFailure({}, {3, 0, 0, 0, 0}, false, "Invalid compression method");
    expectFailure({}, {}, false, "");
    expectFailure({}, {DiffRaw}, false, "");
    expectFailure({}, {DiffRaw, 5}, false, "");
    // Section lengths beyond the diff's end.
    expectFailure({}, {DiffRaw, 1, 0, 0, 5, 'a'}, false, "");
}

TEST(KvDiffFailure, BrokenCompressedSections)
{
    expectFailure({}, {DiffThreeBlocks, 1}, false, "Error read LZMA2 properties");
    expectFailure({}, {DiffOneBlock, 1, 0}, false, "Error read LZMA2 unpack size");
    Bytes diff = generate(randomBytes(500, 5), randomBytes(600, 6), DiffThreeBlocks, false);
    diff.resize(diff.size() - 3);
    expectFailure(randomBytes(500, 5), diff, false, "Error uncompressing data 6");
}

TEST(KvDiffFailure, HeaderChecks)
{
    const Bytes oldData = repetitiveBytes(3000, 7);
    const Bytes newData = repetitiveBytes(3100, 8);
    const Bytes diff = generate(oldData, newData, DiffRaw, true);

    expectFailure(oldData, Bytes(diff.begin(), diff.begin() + 7), true, "");
    Bytes badMagic = diff;
    badMagic[7] = '1';
    expectFailure(oldData, badMagic, true, "Corrupt patch header");
    expectFailure(oldData, Bytes(diff.begin(), diff.begin() + 8), true, "Could not read crc");

    // A different old file yields other bytes: the CRC catches it after the
    // whole output was built.
    Bytes otherOld = oldData;
    otherOld[100] ^= 1;
    const Applied applied = apply(otherOld, diff, true);
    EXPECT_FALSE(applied.ok);
    EXPECT_EQ(applied.messages, std::vector<std::string> {"crc mismatch"});
    EXPECT_EQ(applied.output.size(), newData.size());

    // The same diff without its header applies without a check.
    const Bytes bare(diff.begin() + 8 + 5, diff.end());
    EXPECT_TRUE(apply(otherOld, bare, false).ok);
}

// The new size is a claim: the output never takes more room than the diff
// and extra bytes can fill, so a diff that claims 2 GiB fails as corrupt
// (its controls end) instead of allocating 2 GiB.
TEST(KvDiffFailure, ClaimedNewSizeIsNotAllocated)
{
    SetAllocationLimit(1 << 20);
    expectFailure({}, rawDiff(0x80000000u, {{0, 2, 0}}, {}, bytesOf("hi")), false,
        "Corrupt patch reading control");
    SetAllocationLimit(SIZE_MAX);
}

// Under a limit the new data must fit it, and each compressed section what
// the new data could use: they are refused by their announced sizes, before
// anything is reserved. The control bytes get room beyond their triples for
// what the block was sent in (64 bytes per byte received).
TEST(KvDiffFailure, LimitRefusesLargerNewDataAndSections)
{
    const Bytes small = rawDiff(5, {{0, 5, 0}}, {}, bytesOf("hello"));
    expectFailure({}, small, false, "diff output size 5 above limit 4", 4);
    EXPECT_EQ(apply({}, small, false, 5).output, bytesOf("hello"));

    // 1000 bytes of new data, but a body block of 64 KiB of zeros: three
    // lengths, 1000 diff and 1000 extra bytes and 1001 triples of at most 15
    // bytes each.
    const Bytes zeros(64 << 10, 0);
    SinkStream body;
    ASSERT_TRUE(Lzma2EncodeBuffer(zeros.data(), zeros.size(), &body));
    const size_t received = 64 * body.Length();
    Bytes bomb {DiffOneBlock, 0xE8, 0x07};
    bomb.insert(bomb.end(), body.Buffer(), body.Buffer() + body.Length());
    expectFailure({}, bomb, false,
        "LZMA2 unpack size 65536 above limit " + std::to_string(15 + 15 * 1001 + 2000 + received),
        1024);

    // For one new byte, three lengths, a diff and an extra byte and two
    // triples.
    Bytes tiny {DiffOneBlock, 1};
    tiny.insert(tiny.end(), body.Buffer(), body.Buffer() + body.Length());
    expectFailure(
        {}, tiny, false, "LZMA2 unpack size 65536 above limit " + std::to_string(47 + received));
}

// One oversized section at a time, the others small and valid: each
// section is held to its own bound, not only the first one read. A diff
// or extra section holds at most one byte per new byte.
TEST(KvDiffFailure, EachSectionIsBoundedOnItsOwn)
{
    const Bytes control = controlOf({{0, 1000, 0}});
    const Bytes extra(1000, 'x');
    const Bytes zeros(64 << 10, 0);
    const Applied valid = apply({}, threeBlockDiff(1000, control, {}, extra), false);
    ASSERT_TRUE(valid.ok);
    EXPECT_EQ(valid.output, extra);

    expectFailure({}, threeBlockDiff(1000, control, zeros, extra), false,
        "LZMA2 unpack size 65536 above limit 1000");
    expectFailure({}, threeBlockDiff(1000, control, {}, zeros), false,
        "LZMA2 unpack size 65536 above limit 1000");
    const Applied controlBomb = apply({}, threeBlockDiff(1000, zeros, {}, extra), false);
    EXPECT_FALSE(controlBomb.ok);
    ASSERT_EQ(controlBomb.messages.size(), 1u);
    EXPECT_EQ(controlBomb.messages[0].rfind("LZMA2 unpack size 65536 above limit ", 0), 0u)
        << controlBomb.messages[0];
}

TEST(KvDiffFailure, OutputThatCannotGrowFails)
{
    const Bytes diff = rawDiff(4, {{0, 4, 0}}, {}, bytesOf("abcd"));
    SourceStream oldSource;
    SourceStream diffSource(diff.data(), diff.size());
    SinkStream out;
    SetAllocationLimit(2);
    out.Write("x", 1);
    SetAllocationLimit(SIZE_MAX);
    ASSERT_TRUE(out.Failed());
    EXPECT_FALSE(ApplyDiff(&oldSource, &diffSource, &out, false));
}

TEST(KvDiffFailure, WriterRefusesHugeInputs)
{
    const size_t huge = size_t(1) << 31;
    void* view = mmap(nullptr, huge, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(view, MAP_FAILED);
    const uint8_t* bytes = static_cast<const uint8_t*>(view);
    LogCapture log;
    SinkStream diff;
    SourceStream small(bytes, 10);
    SourceStream big(bytes, huge);
    EXPECT_FALSE(GenerateDiff(&big, &small, &diff, false, DiffRaw));
    EXPECT_EQ(log.last(), " old stream too large");
    small.Init(bytes, 10);
    big.Init(bytes, huge);
    EXPECT_FALSE(GenerateDiff(&small, &big, &diff, false, DiffRaw));
    EXPECT_EQ(log.last(), " new stream too large");
    munmap(view, huge);
}

TEST(KvDiffFailure, WriterReportsFailedOutput)
{
    const Bytes data = randomBytes(1000, 9);
    SourceStream oldSource(data.data(), data.size());
    SourceStream newSource(data.data(), data.size());
    SinkStream diff;
    SetAllocationLimit(2);
    diff.Write("x", 1);
    SetAllocationLimit(SIZE_MAX);
    EXPECT_FALSE(GenerateDiff(&oldSource, &newSource, &diff, true, DiffOneBlock));
}

} // namespace
