// Bytes the patch maker sets aside deflated while a step needs their memory
// must come back exactly, whatever they hold.
#include "setaside.h"
#include "testsupport.h"

#include <gtest/gtest.h>

namespace {

TEST(SetAside, RestoresWhatItKept)
{
    const Bytes noise = RandomBytes(300 << 10, 5);
    Bytes mixed(noise.begin(), noise.begin() + (100 << 10));
    mixed.resize(mixed.size() + (200 << 10), 0);
    for (const Bytes& kept : {Bytes(), Bytes {7}, noise, Bytes(1 << 20, 0), mixed}) {
        kvpatchmaker::SetAside aside;
        ASSERT_TRUE(aside.keep(kept.data(), kept.size()));
        EXPECT_EQ(aside.length(), kept.size());
        Bytes restored(kept.size() + 1, 0xA5);
        ASSERT_TRUE(aside.restore(restored.data())) << kept.size();
        EXPECT_EQ(Bytes(restored.begin(), restored.end() - 1), kept) << kept.size();
        EXPECT_EQ(restored.back(), 0xA5) << kept.size();
    }
}

} // namespace
