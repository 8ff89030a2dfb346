#include "crc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kvpatch;

namespace {

TEST(Crc32, IsTheComplementOfTheStandardCrc)
{
    EXPECT_EQ(ComputeCrc32("123456789", 9), 0x340BC6D9u);
    EXPECT_EQ(ComputeCrc32(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ComputeCrc32("a", 1), ~0xE8B7BE43u);
}

TEST(Crc32, DetectsSingleBitChanges)
{
    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + 7);
    const uint32_t reference = ComputeCrc32(data.data(), data.size());
    for (size_t i = 0; i < data.size(); i += 97) {
        data[i] ^= 0x10;
        EXPECT_NE(ComputeCrc32(data.data(), data.size()), reference);
        data[i] ^= 0x10;
    }
}

} // namespace
