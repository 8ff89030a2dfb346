#include "streamset.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kvpatch;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const SinkStream& sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

std::string remainingText(SourceStream* stream)
{
    return std::string(reinterpret_cast<const char*>(stream->Buffer()), stream->Remaining());
}

TEST(StreamSet, WriteAllThenInitRoundTrips)
{
    SinkStreamSet set;
    set.Init(3);
    ASSERT_TRUE(set.Stream(0)->Write("zero", 4));
    ASSERT_TRUE(set.Stream(2)->Write("two!!", 5));
    SinkStream out;
    ASSERT_TRUE(out.Write("X", 1));
    ASSERT_TRUE(set.WriteAll(&out));
    EXPECT_EQ(bytesOf(out),
        (Bytes {
            'X', 0xEA, 0x9A, 0xCA, 0x09, 3, 4, 0, 5, 'z', 'e', 'r', 'o', 't', 'w', 'o', '!', '!'}));
    // Writing consumed the set.
    EXPECT_EQ(set.Stream(0)->Length(), 0u);
    EXPECT_EQ(set.Stream(2)->Length(), 0u);

    SourceStreamSet in;
    ASSERT_TRUE(in.Init(out.Buffer() + 1, out.Length() - 1));
    EXPECT_EQ(in.Count(), 3u);
    EXPECT_EQ(remainingText(in.Stream(0)), "zero");
    EXPECT_EQ(in.Stream(1)->Remaining(), 0u);
    EXPECT_EQ(remainingText(in.Stream(2)), "two!!");
    EXPECT_FALSE(in.AllConsumed());
    in.Stream(0)->Skip(4);
    in.Stream(2)->Skip(5);
    EXPECT_TRUE(in.AllConsumed());

    SourceStream whole;
    whole.Init(out);
    whole.Skip(1);
    SourceStreamSet fromStream;
    ASSERT_TRUE(fromStream.InitFromStream(whole));
    EXPECT_EQ(whole.Position(), 1u);
    EXPECT_EQ(remainingText(fromStream.Stream(2)), "two!!");
}

TEST(StreamSet, EmptySetIsValidAndExact)
{
    const Bytes empty {0xEA, 0x9A, 0xCA, 0x09, 0};
    SourceStreamSet set;
    ASSERT_TRUE(set.Init(empty.data(), empty.size()));
    EXPECT_EQ(set.Count(), 0u);
    EXPECT_TRUE(set.AllConsumed());

    Bytes extra = empty;
    extra.push_back(0);
    EXPECT_FALSE(SourceStreamSet().Init(extra.data(), extra.size()));
}

TEST(StreamSet, MalformedHeadersAreRejected)
{
    const Bytes good {0xEA, 0x9A, 0xCA, 0x09, 2, 1, 2, 'a', 'b', 'c'};
    ASSERT_TRUE(SourceStreamSet().Init(good.data(), good.size()));

    Bytes badMagic = good;
    badMagic[0] = 0xEB;
    EXPECT_FALSE(SourceStreamSet().Init(badMagic.data(), badMagic.size()));
    // One byte too few or too many after the header.
    EXPECT_FALSE(SourceStreamSet().Init(good.data(), good.size() - 1));
    Bytes tooLong = good;
    tooLong.push_back('d');
    EXPECT_FALSE(SourceStreamSet().Init(tooLong.data(), tooLong.size()));
    // Header cut inside the lengths.
    EXPECT_FALSE(SourceStreamSet().Init(good.data(), 6));
    EXPECT_FALSE(SourceStreamSet().Init(good.data(), 0));

    Bytes eleven {0xEA, 0x9A, 0xCA, 0x09, 11};
    for (int i = 0; i < 11; ++i)
        eleven.push_back(0);
    EXPECT_FALSE(SourceStreamSet().Init(eleven.data(), eleven.size()));
    Bytes ten {0xEA, 0x9A, 0xCA, 0x09, 10};
    for (int i = 0; i < 10; ++i)
        ten.push_back(0);
    EXPECT_TRUE(SourceStreamSet().Init(ten.data(), ten.size()));

    // Lengths whose sum passes 32 bits must not wrap around to a match.
    const Bytes wrapping {0xEA, 0x9A, 0xCA, 0x09, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 2, 'a'};
    EXPECT_FALSE(SourceStreamSet().Init(wrapping.data(), wrapping.size()));
}

TEST(StreamSet, NestedSetRoundTrips)
{
    SinkStreamSet outer;
    outer.Init(4);
    ASSERT_TRUE(outer.Stream(0)->Write("o0", 2));
    ASSERT_TRUE(outer.Stream(1)->Write("o1", 2));

    SinkStreamSet inner;
    ASSERT_TRUE(inner.Stream(0)->Write("i0", 2));
    ASSERT_TRUE(inner.Stream(2)->Write("i2-", 3));
    ASSERT_TRUE(outer.WriteNested(&inner));
    EXPECT_EQ(bytesOf(*outer.Stream(0)), (Bytes {'o', '0', 3, 2, 0, 3, 'i', '0'}));
    EXPECT_EQ(inner.Stream(2)->Length(), 0u);

    SinkStream out;
    ASSERT_TRUE(outer.WriteAll(&out));

    SourceStreamSet read;
    ASSERT_TRUE(read.Init(out.Buffer(), out.Length()));
    ASSERT_EQ(read.Count(), 4u);
    ASSERT_TRUE(read.Stream(0)->Skip(2));
    ASSERT_TRUE(read.Stream(1)->Skip(2));
    SourceStreamSet nested;
    ASSERT_TRUE(read.ReadNested(&nested));
    EXPECT_EQ(nested.Count(), 10u);
    EXPECT_EQ(remainingText(nested.Stream(0)), "i0");
    EXPECT_EQ(nested.Stream(1)->Remaining(), 0u);
    EXPECT_EQ(remainingText(nested.Stream(2)), "i2-");
    for (size_t i = 3; i < 10; ++i)
        EXPECT_EQ(nested.Stream(i)->Remaining(), 0u);
    // The outer set has been read up to the nested streams' ends.
    EXPECT_TRUE(read.AllConsumed());
}

TEST(StreamSet, NestingAnEmptySetAddsOneZeroByte)
{
    SinkStreamSet outer;
    outer.Init(1);
    SinkStreamSet inner;
    ASSERT_TRUE(outer.WriteNested(&inner));
    EXPECT_EQ(bytesOf(*outer.Stream(0)), (Bytes {0}));

    SinkStream out;
    ASSERT_TRUE(outer.WriteAll(&out));
    SourceStreamSet read;
    ASSERT_TRUE(read.Init(out.Buffer(), out.Length()));
    SourceStreamSet nested;
    ASSERT_TRUE(read.ReadNested(&nested));
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(nested.Stream(i)->Remaining(), 0u);
    EXPECT_TRUE(read.AllConsumed());
}

TEST(StreamSet, NestedSetWiderThanOuterIsRefused)
{
    SinkStreamSet outer;
    outer.Init(2);
    SinkStreamSet inner;
    ASSERT_TRUE(inner.Stream(2)->Write("x", 1));
    EXPECT_FALSE(outer.WriteNested(&inner));
    EXPECT_EQ(outer.Stream(0)->Length(), 0u);
    EXPECT_EQ(inner.Stream(2)->Length(), 1u);
}

TEST(StreamSet, MalformedNestedHeadersAreRejected)
{
    auto readNested = [](const Bytes& stream0, uint32_t count) {
        SinkStreamSet outer;
        outer.Init(count);
        EXPECT_TRUE(outer.Stream(0)->Write(stream0.data(), stream0.size()));
        SinkStream out;
        EXPECT_TRUE(outer.WriteAll(&out));
        SourceStreamSet read;
        EXPECT_TRUE(read.Init(out.Buffer(), out.Length()));
        SourceStreamSet nested;
        return read.ReadNested(&nested);
    };
    EXPECT_TRUE(readNested({1, 2, 'a', 'b'}, 1));
    EXPECT_FALSE(readNested({1, 3, 'a', 'b'}, 1)); // stream too short
    EXPECT_FALSE(readNested({2, 0, 0}, 1)); // more inner streams than outer
    EXPECT_FALSE(readNested({11}, 10)); // more than ten
    EXPECT_FALSE(readNested({1}, 1)); // lengths missing
    EXPECT_FALSE(readNested({}, 1)); // count missing
    EXPECT_FALSE(readNested({}, 0)); // no stream to carry a header
}

TEST(StreamSet, WriteAllFailsOnFailedTarget)
{
    SinkStreamSet set;
    set.Init(1);
    ASSERT_TRUE(set.Stream(0)->Write("abc", 3));
    SinkStream target;
    {
        SetAllocationLimit(10);
        EXPECT_FALSE(target.Reserve(100));
        SetAllocationLimit(SIZE_MAX);
    }
    EXPECT_FALSE(set.WriteAll(&target));
    EXPECT_TRUE(target.Failed());
}

} // namespace
