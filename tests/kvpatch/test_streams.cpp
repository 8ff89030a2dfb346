#include "allocation.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

using namespace kvpatch;

namespace {

std::vector<uint8_t> bytesOf(const SinkStream& sink)
{
    return std::vector<uint8_t>(sink.Buffer(), sink.Buffer() + sink.Length());
}

std::vector<uint8_t> varint(uint32_t value)
{
    SinkStream sink;
    EXPECT_TRUE(sink.WriteVarint32(value));
    return bytesOf(sink);
}

std::vector<uint8_t> signedVarint(int32_t value)
{
    SinkStream sink;
    EXPECT_TRUE(sink.WriteVarint32Signed(value));
    return bytesOf(sink);
}

// Restores the allocation limit when a test that lowered it ends.
struct AllocationLimitGuard
{
    explicit AllocationLimitGuard(size_t limit) { SetAllocationLimit(limit); }
    ~AllocationLimitGuard() { SetAllocationLimit(SIZE_MAX); }
};

using Bytes = std::vector<uint8_t>;

TEST(Varint, EncodingBoundaries)
{
    EXPECT_EQ(varint(0), (Bytes {0x00}));
    EXPECT_EQ(varint(127), (Bytes {0x7F}));
    EXPECT_EQ(varint(128), (Bytes {0x80, 0x01}));
    EXPECT_EQ(varint(300), (Bytes {0xAC, 0x02}));
    EXPECT_EQ(varint(16383), (Bytes {0xFF, 0x7F}));
    EXPECT_EQ(varint(16384), (Bytes {0x80, 0x80, 0x01}));
    EXPECT_EQ(varint((1u << 28) - 1), (Bytes {0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(varint(1u << 28), (Bytes {0x80, 0x80, 0x80, 0x80, 0x01}));
    EXPECT_EQ(varint(0xFFFFFFFFu), (Bytes {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
    EXPECT_EQ(varint(0x1328D6Au), (Bytes {0xEA, 0x9A, 0xCA, 0x09}));
}

TEST(Varint, ZigzagBoundaries)
{
    EXPECT_EQ(signedVarint(0), (Bytes {0x00}));
    EXPECT_EQ(signedVarint(-1), (Bytes {0x01}));
    EXPECT_EQ(signedVarint(1), (Bytes {0x02}));
    EXPECT_EQ(signedVarint(-2), (Bytes {0x03}));
    EXPECT_EQ(signedVarint(-64), (Bytes {0x7F}));
    EXPECT_EQ(signedVarint(64), (Bytes {0x80, 0x01}));
    EXPECT_EQ(signedVarint(INT32_MAX), varint(0xFFFFFFFEu));
    EXPECT_EQ(signedVarint(INT32_MIN), (Bytes {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
}

TEST(Varint, RoundTripsThroughSourceStream)
{
    const uint32_t unsignedValues[] = {0, 1, 127, 128, 255, 300, 16383, 16384, (1u << 21) - 1,
        1u << 21, (1u << 28) - 1, 1u << 28, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    const int32_t signedValues[]
        = {0, 1, -1, 63, -64, 64, -65, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1};
    SinkStream sink;
    for (uint32_t v : unsignedValues)
        ASSERT_TRUE(sink.WriteVarint32(v));
    for (int32_t v : signedValues)
        ASSERT_TRUE(sink.WriteVarint32Signed(v));
    ASSERT_TRUE(sink.WriteSizeVarint32(size_t(1) << 31));

    SourceStream source;
    source.Init(sink);
    for (uint32_t v : unsignedValues) {
        uint32_t read = 0;
        ASSERT_TRUE(source.ReadVarint32(&read));
        EXPECT_EQ(read, v);
    }
    for (int32_t v : signedValues) {
        int32_t read = 0;
        ASSERT_TRUE(source.ReadVarint32Signed(&read));
        EXPECT_EQ(read, v);
    }
    uint32_t size = 0;
    ASSERT_TRUE(source.ReadVarint32(&size));
    EXPECT_EQ(size, 1u << 31);
    EXPECT_TRUE(source.Empty());
}

TEST(Varint, SizeBeyond32BitsIsRefused)
{
    // Only a 64-bit size_t can hold such a size.
    const uint64_t beyond = uint64_t(1) << 32;
    if (!FitsSize(beyond))
        GTEST_SKIP() << "size_t has 32 bits";
    SinkStream sink;
    EXPECT_FALSE(sink.WriteSizeVarint32(size_t(beyond)));
    EXPECT_EQ(sink.Length(), 0u);
}

TEST(Varint, TruncatedOrOverlongInputFailsWithoutMoving)
{
    const Bytes cases[] = {{}, {0x80}, {0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF},
        {0xFF, 0xFF, 0xFF, 0xFF, 0x80}, {0x80, 0x80, 0x80, 0x80, 0x80, 0x00}};
    for (const Bytes& bytes : cases) {
        SourceStream source(bytes.data(), bytes.size());
        uint32_t value = 0xDEADBEEF;
        int32_t signedValue = 0x1234;
        EXPECT_FALSE(source.ReadVarint32(&value));
        EXPECT_FALSE(source.ReadVarint32Signed(&signedValue));
        EXPECT_EQ(value, 0xDEADBEEFu);
        EXPECT_EQ(signedValue, 0x1234);
        EXPECT_EQ(source.Position(), 0u);
        EXPECT_EQ(DecodeVarint32(bytes.data(), bytes.data() + bytes.size(), &value), nullptr);
    }
}

TEST(Varint, FifthByteLosesItsHighBits)
{
    const Bytes bytes {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x42};
    uint32_t value = 0;
    const uint8_t* next = DecodeVarint32(bytes.data(), bytes.data() + bytes.size(), &value);
    EXPECT_EQ(next, bytes.data() + 5);
    EXPECT_EQ(value, 0xFFFFFFFFu);
}

TEST(SourceStream, ReadSkipAndSubstreams)
{
    const Bytes bytes {1, 2, 3, 4, 5, 6, 7, 8};
    SourceStream source(bytes.data(), bytes.size());
    uint8_t two[2];
    ASSERT_TRUE(source.Read(two, 2));
    EXPECT_EQ(two[0], 1);
    EXPECT_EQ(two[1], 2);
    EXPECT_FALSE(source.Read(two, 7));
    EXPECT_EQ(source.Remaining(), 6u);

    SourceStream shared;
    EXPECT_TRUE(source.ShareSubstream(2, 4, &shared));
    EXPECT_EQ(shared.Remaining(), 4u);
    EXPECT_EQ(*shared.Buffer(), 5);
    EXPECT_EQ(source.Remaining(), 6u);
    EXPECT_TRUE(source.ShareSubstream(6, 0, &shared));
    EXPECT_FALSE(source.ShareSubstream(7, 0, &shared));
    EXPECT_FALSE(source.ShareSubstream(2, 5, &shared));
    EXPECT_FALSE(source.ShareSubstream(1, SIZE_MAX, &shared));

    SourceStream sub;
    EXPECT_FALSE(source.ReadSubstream(7, &sub));
    ASSERT_TRUE(source.ReadSubstream(3, &sub));
    EXPECT_EQ(sub.Remaining(), 3u);
    EXPECT_EQ(*sub.Buffer(), 3);
    EXPECT_EQ(*source.Buffer(), 6);

    EXPECT_FALSE(source.Skip(4));
    EXPECT_TRUE(source.Skip(3));
    EXPECT_TRUE(source.Empty());
    EXPECT_TRUE(source.Skip(0));
    EXPECT_EQ(source.OriginalLength(), 8u);
}

TEST(SinkStream, GrowsAndKeepsBytes)
{
    SinkStream sink;
    Bytes expected;
    for (int i = 0; i < 5000; ++i) {
        const uint8_t b = uint8_t(i * 7);
        ASSERT_TRUE(sink.Write(&b, 1));
        expected.push_back(b);
    }
    EXPECT_EQ(bytesOf(sink), expected);
    EXPECT_EQ(sink.Bytes().capacity(), 8192u);
    sink.Release();
    EXPECT_EQ(sink.Length(), 0u);
    EXPECT_EQ(sink.Bytes().capacity(), 0u);
    EXPECT_FALSE(sink.Failed());
}

TEST(SinkStream, AppendMovesBytesAndReleasesTheOther)
{
    SinkStream a;
    SinkStream b;
    ASSERT_TRUE(a.Write("ab", 2));
    ASSERT_TRUE(b.Write("cde", 3));
    ASSERT_TRUE(a.Append(&b));
    EXPECT_EQ(bytesOf(a), (Bytes {'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(b.Length(), 0u);
    EXPECT_EQ(b.Buffer(), nullptr);

    SinkStream empty;
    ASSERT_TRUE(a.Append(&empty));
    EXPECT_EQ(a.Length(), 5u);
    EXPECT_EQ(empty.Length(), 0u);
    EXPECT_FALSE(empty.Failed());
}

TEST(SinkStream, ReserveAllocatesExactlyOnce)
{
    SinkStream sink;
    ASSERT_TRUE(sink.Write("x", 1));
    ASSERT_TRUE(sink.Reserve(1000));
    EXPECT_EQ(sink.Bytes().capacity(), 1001u);
    const uint8_t* block = sink.Buffer();
    Bytes data(1000, 9);
    ASSERT_TRUE(sink.Write(data.data(), data.size()));
    EXPECT_EQ(sink.Buffer(), block);
    ASSERT_TRUE(sink.Reserve(0));
    SinkStream small;
    ASSERT_TRUE(small.Reserve(3));
    EXPECT_EQ(small.Bytes().capacity(), 256u);
}

TEST(SinkStream, AllocationFailureIsSticky)
{
    SinkStream sink;
    ASSERT_TRUE(sink.Write("abc", 3));
    {
        AllocationLimitGuard limit(1024);
        Bytes big(2000, 1);
        EXPECT_FALSE(sink.Write(big.data(), big.size()));
    }
    EXPECT_TRUE(sink.Failed());
    EXPECT_EQ(sink.Length(), 0u);
    EXPECT_EQ(sink.Buffer(), nullptr);
    EXPECT_FALSE(sink.Write("a", 1));
    EXPECT_FALSE(sink.Write(nullptr, 0));
    EXPECT_FALSE(sink.WriteVarint32(1));
    EXPECT_FALSE(sink.Reserve(1));
    sink.Release();
    EXPECT_TRUE(sink.Failed());
    EXPECT_FALSE(sink.Write("a", 1));

    // A failed append leaves the other sink's bytes alone.
    SinkStream other;
    ASSERT_TRUE(other.Write("keep", 4));
    EXPECT_FALSE(sink.Append(&other));
    EXPECT_EQ(other.Length(), 4u);
}

TEST(SinkStream, FailedReserveIsSticky)
{
    SinkStream sink;
    {
        AllocationLimitGuard limit(100);
        EXPECT_FALSE(sink.Reserve(101));
    }
    EXPECT_TRUE(sink.Failed());
    EXPECT_FALSE(sink.Write("a", 1));
}

TEST(SinkStream, SizeOverflowFailsWithoutChangingState)
{
    FallibleBuffer<uint8_t> buffer;
    uint8_t b = 1;
    ASSERT_TRUE(buffer.append(&b, 1));
    EXPECT_FALSE(buffer.append(&b, 0xFFFFFFFFu));
    EXPECT_FALSE(buffer.failed());
    EXPECT_EQ(buffer.size(), 1u);
}

TEST(FallibleElementBuffer, GrowsFromSixtyFourByDoubling)
{
    FallibleBuffer<uint32_t> buffer;
    for (uint32_t i = 0; i < 65; ++i)
        ASSERT_TRUE(buffer.push_back(i));
    EXPECT_EQ(buffer.capacity(), 128u);
    EXPECT_EQ(buffer.size(), 65u);
    EXPECT_EQ(buffer[64], 64u);
    ASSERT_TRUE(buffer.reserve(10));
    EXPECT_EQ(buffer.capacity(), 128u);
    ASSERT_TRUE(buffer.reserve(1000));
    EXPECT_EQ(buffer.capacity(), 1000u);
    EXPECT_EQ(buffer[10], 10u);

    FallibleBuffer<uint32_t> fresh;
    ASSERT_TRUE(fresh.reserve(1));
    EXPECT_EQ(fresh.capacity(), 64u);
}

TEST(FallibleElementBuffer, ReserveBeyondElementCapFails)
{
    FallibleBuffer<uint32_t> buffer;
    ASSERT_TRUE(buffer.push_back(1));
    EXPECT_FALSE(buffer.reserve(size_t(1) << 30));
    EXPECT_TRUE(buffer.failed());
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_FALSE(buffer.push_back(2));
    EXPECT_FALSE(buffer.reserve(1));
}

TEST(FallibleElementBuffer, AllocationFailureIsSticky)
{
    FallibleBuffer<uint32_t> buffer;
    {
        AllocationLimitGuard limit(64 * 4 - 1);
        EXPECT_FALSE(buffer.push_back(1));
    }
    EXPECT_TRUE(buffer.failed());
    EXPECT_FALSE(buffer.push_back(1));
    buffer.release();
    EXPECT_TRUE(buffer.failed());
}

} // namespace

// Counts from an input times an element size: a product that does not fit a
// size_t is refused, never wrapped into a small block.
TEST(Allocation, ArrayProductsThatDoNotFitAreRefused)
{
    EXPECT_EQ(TryAllocateArray(SIZE_MAX / 2 + 1, 2), nullptr);
    EXPECT_EQ(TryAllocateArray(2, SIZE_MAX / 2 + 1), nullptr);
    if (!FitsSize(uint64_t(1) << 32)) {
        EXPECT_EQ(TryAllocateArray(size_t(1) << 30, 4), nullptr);
    }
    void* block = TryAllocateArray(1000, 4);
    EXPECT_NE(block, nullptr);
    FreeAllocation(block);
    EXPECT_TRUE(FitsSize(SIZE_MAX));
}

// Blocks keep their bytes whatever sizes they move between: small and
// large ones (which live in different places) and back.
TEST(Allocation, ReallocationKeepsTheBytesAcrossSizes)
{
    const size_t sizes[] = {100, 3 << 20, 5 << 20, 2 << 20, 200000, 4 << 20, 10};
    size_t size = 64;
    auto* block = static_cast<uint8_t*>(TryAllocate(size));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < size; ++i)
        block[i] = uint8_t(i * 7);
    for (const size_t next : sizes) {
        block = static_cast<uint8_t*>(TryReallocate(block, next));
        ASSERT_NE(block, nullptr) << next;
        for (size_t i = 0; i < std::min(size, next); ++i)
            ASSERT_EQ(block[i], uint8_t(i * 7)) << next << " at " << i;
        for (size_t i = size; i < next; ++i)
            block[i] = uint8_t(i * 7);
        size = next;
    }
    FreeAllocation(block);
    FreeAllocation(nullptr);
}
