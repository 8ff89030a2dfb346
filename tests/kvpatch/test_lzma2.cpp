#include "allocation.h"
#include "logcapture.h"
#include "lzmaio.h"
#include "testdata.h"

#include <gtest/gtest.h>

#include <thread>

using namespace kvpatch;

namespace {

Bytes contentOf(const SinkStream& sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes encodeBlock(const Bytes& data)
{
    SinkStream sink;
    EXPECT_TRUE(Lzma2EncodeBuffer(data.data(), data.size(), &sink));
    return contentOf(sink);
}

// Replaces the unpacked-size varint of a block (one byte long in `block`).
Bytes withUnpackedSize(Bytes block, uint8_t size)
{
    EXPECT_LT(block[1], 0x80);
    block[1] = size;
    return block;
}

TEST(Lzma2, RoundTripsAssortedInputs)
{
    const Bytes inputs[] = {{}, bytesOf("a"), bytesOf("hello hello hello hello"),
        randomBytes(100000, 1), repetitiveBytes(300000, 2), Bytes(70000, 0)};
    for (const Bytes& input : inputs) {
        SinkStream block;
        ASSERT_TRUE(Lzma2EncodeBuffer(input.data(), input.size(), &block));
        SourceStream source;
        source.Init(block);
        SinkStream out;
        ASSERT_TRUE(Lzma2DecodeToSink(&source, &out));
        EXPECT_TRUE(source.Empty());
        EXPECT_EQ(contentOf(out), input);
    }
}

TEST(Lzma2, StreamEncoderReadsTheSourceToItsEnd)
{
    const Bytes input = repetitiveBytes(5000, 3);
    SourceStream source(input.data(), input.size());
    source.Skip(1000);
    SinkStream block;
    ASSERT_TRUE(Lzma2EncodeStream(&source, &block));
    EXPECT_TRUE(source.Empty());
    EXPECT_EQ(block.Buffer()[1], 0xA0); // 4000 as varint: A0 1F
    EXPECT_EQ(block.Buffer()[2], 0x1F);

    SourceStream blockSource;
    blockSource.Init(block);
    SinkStream out;
    ASSERT_TRUE(Lzma2DecodeToSink(&blockSource, &out));
    EXPECT_EQ(contentOf(out), Bytes(input.begin() + 1000, input.end()));
}

TEST(Lzma2, BlocksInARowDecodeOneAfterTheOther)
{
    const Bytes first = repetitiveBytes(20000, 4);
    const Bytes second = randomBytes(3000, 5);
    SinkStream sink;
    ASSERT_TRUE(Lzma2EncodeBuffer(first.data(), first.size(), &sink));
    const size_t firstLength = sink.Length();
    ASSERT_TRUE(Lzma2EncodeBuffer(second.data(), second.size(), &sink));
    const size_t secondEnd = sink.Length();
    ASSERT_TRUE(sink.Write("tail", 4));

    SourceStream source;
    source.Init(sink);
    SinkStream out;
    ASSERT_TRUE(out.Write("pre", 3));
    ASSERT_TRUE(Lzma2DecodeToSink(&source, &out));
    EXPECT_EQ(source.Position(), firstLength);
    ASSERT_TRUE(Lzma2DecodeToSink(&source, &out));
    EXPECT_EQ(source.Position(), secondEnd);

    Bytes expected = bytesOf("pre");
    expected.insert(expected.end(), first.begin(), first.end());
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(contentOf(out), expected);
}

TEST(Lzma2, HeldDecodingGoesOnInOneOrTwoPlaces)
{
    const Bytes input = randomBytes(300000, 4);
    const Bytes block = encodeBlock(input);
    for (const bool split : {false, true}) {
        SourceStream source(block.data(), block.size());
        SinkStream first;
        SinkStream rest;
        Lzma2BlockDecoder decoder;
        ASSERT_TRUE(decoder.Begin(&source, &first));
        ASSERT_TRUE(decoder.HoldAt(50000));
        size_t taskRuns = 0;
        std::thread worker([&] { decoder.Run([&] { ++taskRuns; }); });
        EXPECT_EQ(decoder.WaitFor(50000), 50000u);
        // A hold moves forward only.
        EXPECT_FALSE(decoder.HoldAt(40000));
        ASSERT_TRUE(decoder.HoldAt(100000));
        EXPECT_EQ(decoder.WaitFor(100000), 100000u);
        EXPECT_EQ(taskRuns, 2u);
        EXPECT_EQ(Bytes(first.Buffer(), first.Buffer() + 100000),
            Bytes(input.begin(), input.begin() + 100000));
        if (split) {
            EXPECT_TRUE(decoder.SplitAtHold(&rest));
            EXPECT_FALSE(decoder.SplitAtHold(&rest)); // once only
            first.Release(); // the rest no longer goes there
        }
        decoder.Resume();
        EXPECT_FALSE(decoder.HoldAt(200000));
        worker.join();
        ASSERT_TRUE(decoder.Finish());
        EXPECT_TRUE(source.Empty());
        if (split)
            EXPECT_EQ(contentOf(rest), Bytes(input.begin() + 100000, input.end()));
        else
            EXPECT_EQ(contentOf(first), input);
    }
}

TEST(Lzma2, SmallInputAnnouncesSmallWindow)
{
    // The property byte is the smallest window code for inputs up to 4 KiB.
    EXPECT_EQ(encodeBlock(bytesOf("abc"))[0], 0);
    EXPECT_GT(encodeBlock(repetitiveBytes(10000, 6))[0], 0);
}

struct DecodeFailure
{
    std::string message;
    size_t outputLength;
};

DecodeFailure decodeExpectingFailure(const Bytes& block, SinkStream* out)
{
    LogCapture log;
    SourceStream source(block.data(), block.size());
    EXPECT_FALSE(Lzma2DecodeToSink(&source, out));
    EXPECT_EQ(log.messages.size(), 1u);
    if (!log.levels.empty()) {
        EXPECT_EQ(log.levels[0], LogError);
    }
    return {log.last(), out->Length()};
}

TEST(Lzma2, MissingHeaderFields)
{
    SinkStream out;
    EXPECT_EQ(decodeExpectingFailure({}, &out).message, "Error read LZMA2 properties");
    EXPECT_EQ(decodeExpectingFailure({0}, &out).message, "Error read LZMA2 unpack size");
    EXPECT_EQ(decodeExpectingFailure({0, 0x80}, &out).message, "Error read LZMA2 unpack size");
}

TEST(Lzma2, ShortContentFailsWithCodeZeroAndLeavesOutput)
{
    SinkStream out;
    ASSERT_TRUE(out.Write("keep", 4));
    const DecodeFailure failure
        = decodeExpectingFailure(withUnpackedSize(encodeBlock(bytesOf("hello")), 6), &out);
    EXPECT_EQ(failure.message, "Error uncompressing data 0");
    EXPECT_EQ(failure.outputLength, 4u);
}

TEST(Lzma2, LongerContentThanAnnouncedIsCorrupt)
{
    SinkStream out;
    EXPECT_EQ(
        decodeExpectingFailure(withUnpackedSize(encodeBlock(bytesOf("hello")), 4), &out).message,
        "Error uncompressing data 1");
    EXPECT_EQ(out.Length(), 0u);
}

TEST(Lzma2, TruncatedStreamReportsEndOfInput)
{
    Bytes block = encodeBlock(randomBytes(1000, 7));
    block.resize(block.size() - 10);
    SinkStream out;
    EXPECT_EQ(decodeExpectingFailure(block, &out).message, "Error uncompressing data 6");
}

TEST(Lzma2, GarbageAndUnknownPropertiesFail)
{
    SinkStream out;
    EXPECT_EQ(decodeExpectingFailure({41, 5, 1, 0, 4, 'h', 'e', 'l', 'l', 'o', 0}, &out).message,
        "Error uncompressing data 4");
    EXPECT_EQ(decodeExpectingFailure({0, 5, 0x77, 0x77, 0x77, 0x77}, &out).message,
        "Error uncompressing data 1");
}

TEST(Lzma2, HugeAnnouncedWindowDecodesSmallBlock)
{
    // An uncompressed chunk: control 1, size-1 big endian, the bytes, end.
    const Bytes block {40, 5, 1, 0, 4, 'h', 'e', 'l', 'l', 'o', 0};
    SourceStream source(block.data(), block.size());
    SinkStream out;
    ASSERT_TRUE(Lzma2DecodeToSink(&source, &out));
    EXPECT_EQ(contentOf(out), bytesOf("hello"));
    EXPECT_TRUE(source.Empty());
}

// The unpacked size is a claim; the chunk headers tell what the block can
// really hold. A block of five bytes that claims 2 GiB (with a 4 GiB window)
// fails as short, without the claim ever being allocated.
TEST(Lzma2, ClaimedSizeIsNotAllocated)
{
    const Bytes stored {1, 0, 4, 'h', 'e', 'l', 'l', 'o', 0};
    const Bytes encoded = encodeBlock(bytesOf("hello"));
    const Bytes compressed(encoded.begin() + 2, encoded.end());
    for (const Bytes& stream : {stored, compressed}) {
        for (uint8_t property : {uint8_t(0x18), uint8_t(40)}) {
            Bytes block {property, 0x80, 0x80, 0x80, 0x80, 0x08};
            block.insert(block.end(), stream.begin(), stream.end());
            SinkStream out;
            SetAllocationLimit(1 << 20);
            EXPECT_EQ(decodeExpectingFailure(block, &out).message, "Error uncompressing data 0");
            SetAllocationLimit(SIZE_MAX);
        }
    }
}

// A real bomb: megabytes of zeros pack into a few hundred bytes. Under a
// limit below its content the block is refused before any room is taken
// for it; at the limit it decodes.
TEST(Lzma2, LimitRefusesLargerContentBeforeReservingIt)
{
    const Bytes zeros(4 << 20, 0);
    SinkStream block;
    ASSERT_TRUE(Lzma2EncodeBuffer(zeros.data(), zeros.size(), &block, 1 << 20));
    ASSERT_LT(block.Length(), 4096u);
    {
        LogCapture log;
        SourceStream source;
        source.Init(block);
        SinkStream out;
        EXPECT_FALSE(Lzma2DecodeToSink(&source, &out, (4 << 20) - 1));
        EXPECT_EQ(log.messages,
            std::vector<std::string> {"LZMA2 unpack size 4194304 above limit 4194303"});
        EXPECT_EQ(out.Bytes().capacity(), 0u);
    }
    SourceStream source;
    source.Init(block);
    SinkStream out;
    ASSERT_TRUE(Lzma2DecodeToSink(&source, &out, 4 << 20));
    EXPECT_EQ(contentOf(out), zeros);
}

TEST(Lzma2, FailedOutputCannotTakeTheBlock)
{
    SinkStream out;
    const Bytes block = encodeBlock(bytesOf("some text"));
    SetAllocationLimit(16);
    EXPECT_EQ(decodeExpectingFailure(block, &out).message, "unable to allocate sink space");
    SetAllocationLimit(SIZE_MAX);
    EXPECT_TRUE(out.Failed());
    // Already failed: also an empty block cannot be appended.
    EXPECT_EQ(
        decodeExpectingFailure(encodeBlock({}), &out).message, "unable to allocate sink space");
}

TEST(Lzma2, EncoderFailureIsReported)
{
    LogCapture log;
    SinkStream out;
    const Bytes input = randomBytes(1000, 8);
    SetAllocationLimit(1024);
    EXPECT_FALSE(Lzma2EncodeBuffer(input.data(), input.size(), &out));
    SetAllocationLimit(SIZE_MAX);
    EXPECT_EQ(log.last(), "Error Lzma2Enc_SetProps");
}

} // namespace
