// Suffix arrays and transforms checked against a plain comparison sort on
// random, repetitive and degenerate texts.
#include "suffixarray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

using kvpatch::BuildBwt;
using kvpatch::BuildBwtInt;
using kvpatch::BuildSuffixArray;
using kvpatch::BuildSuffixArrayInt;
using kvpatch::SuffixArrayCore;

namespace {

using Bytes = std::vector<uint8_t>;
using Ints = std::vector<int32_t>;

Bytes bytesOf(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Plain sort of all suffixes; lexicographic_compare on unsigned bytes (or
// int32 symbols) already puts a proper prefix first.
template<typename Sym> std::vector<int32_t> naiveSuffixArray(const std::vector<Sym>& text)
{
    std::vector<int32_t> sa(text.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&text](int32_t a, int32_t b) {
        return std::lexicographical_compare(
            text.begin() + a, text.end(), text.begin() + b, text.end());
    });
    return sa;
}

// The transform by its definition over the sorted suffixes: the row that
// starts with the sentinel first, the row of the whole text left out.
template<typename Sym> int32_t naiveBwt(const std::vector<Sym>& text, std::vector<Sym>& out)
{
    const std::vector<int32_t> sa = naiveSuffixArray(text);
    const size_t n = text.size();
    out.assign(n, Sym());
    if (n == 0) {
        return 0;
    }
    out[0] = text[n - 1];
    int32_t primary = 0;
    size_t w = 1;
    for (size_t i = 0; i < n; ++i) {
        if (sa[i] == 0) {
            primary = int32_t(i) + 1;
        } else {
            out[w++] = text[size_t(sa[i]) - 1];
        }
    }
    return primary;
}

std::vector<int32_t> suffixArrayOf(const Bytes& text)
{
    std::vector<int32_t> sa(text.size() + 1, 12345);
    EXPECT_EQ(BuildSuffixArray(text.data(), sa.data(), int32_t(text.size())), 0);
    EXPECT_EQ(sa.back(), 12345) << "wrote past the end";
    sa.pop_back();
    return sa;
}

std::vector<int32_t> suffixArrayOf(const Ints& text, int32_t k)
{
    std::vector<int32_t> sa(text.size() + 1, 12345);
    EXPECT_EQ(BuildSuffixArrayInt(text.data(), sa.data(), int32_t(text.size()), k), 0);
    EXPECT_EQ(sa.back(), 12345) << "wrote past the end";
    sa.pop_back();
    return sa;
}

void expectBytesMatchNaive(const Bytes& text)
{
    ASSERT_EQ(suffixArrayOf(text), naiveSuffixArray(text)) << "n = " << text.size();

    Bytes expected;
    const int32_t expectedPrimary = naiveBwt(text, expected);
    Bytes out(text.size());
    std::vector<int32_t> work(text.size());
    ASSERT_EQ(
        BuildBwt(text.data(), out.data(), work.data(), int32_t(text.size())), expectedPrimary);
    ASSERT_EQ(out, expected);
}

void expectIntsMatchNaive(const Ints& text, int32_t k)
{
    ASSERT_EQ(suffixArrayOf(text, k), naiveSuffixArray(text)) << "n = " << text.size();

    Ints expected;
    const int32_t expectedPrimary = naiveBwt(text, expected);
    Ints out(text.size());
    std::vector<int32_t> work(text.size());
    ASSERT_EQ(BuildBwtInt(text.data(), out.data(), work.data(), int32_t(text.size()), k),
        expectedPrimary);
    ASSERT_EQ(out, expected);
}

Bytes randomBytes(std::mt19937& rng, size_t n, int alphabet)
{
    std::uniform_int_distribution<int> pick(0, alphabet - 1);
    Bytes text(n);
    for (auto& b : text) {
        b = uint8_t(255 - pick(rng)); // high values, to catch signed comparisons
    }
    return text;
}

Bytes fibonacci(size_t n)
{
    std::string a = "a", b = "ab";
    while (b.size() < n) {
        std::string next = b + a;
        a = b;
        b = next;
    }
    return bytesOf(b.substr(0, n));
}

Bytes thueMorse(size_t n)
{
    Bytes text(n);
    for (size_t i = 0; i < n; ++i) {
        text[i] = uint8_t('a' + __builtin_popcountll(i) % 2);
    }
    return text;
}

} // namespace

TEST(SuffixArray, BananaSortsAsExpected)
{
    EXPECT_EQ(suffixArrayOf(bytesOf("banana")), (std::vector<int32_t> {5, 3, 1, 0, 4, 2}));
}

TEST(SuffixArray, BananaTransform)
{
    const Bytes text = bytesOf("banana");
    Bytes out(6);
    std::vector<int32_t> work(6);
    EXPECT_EQ(BuildBwt(text.data(), out.data(), work.data(), 6), 4);
    EXPECT_EQ(std::string(out.begin(), out.end()), "annbaa");
}

TEST(SuffixArray, TransformInPlace)
{
    Bytes text = bytesOf("mississippi river, mississippi delta");
    Bytes expected;
    const int32_t primary = naiveBwt(text, expected);
    std::vector<int32_t> work(text.size());
    EXPECT_EQ(BuildBwt(text.data(), text.data(), work.data(), int32_t(text.size())), primary);
    EXPECT_EQ(text, expected);
}

TEST(SuffixArray, EqualBytesSortFromTheEnd)
{
    for (size_t n : {2u, 3u, 17u, 1000u, 4097u}) {
        for (uint8_t value : {uint8_t(0), uint8_t('x'), uint8_t(255)}) {
            const std::vector<int32_t> sa = suffixArrayOf(Bytes(n, value));
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(sa[i], int32_t(n - 1 - i));
            }
        }
    }
}

TEST(SuffixArray, EmptyAndSingleSymbolTexts)
{
    int32_t sa[2] = {77, 77};
    const uint8_t byte = 9;
    EXPECT_EQ(BuildSuffixArray(&byte, sa, 0), 0);
    EXPECT_EQ(sa[0], 77);
    EXPECT_EQ(BuildSuffixArray(&byte, sa, 1), 0);
    EXPECT_EQ(sa[0], 0);
    EXPECT_EQ(sa[1], 77);

    const int32_t symbol = 0;
    sa[0] = 77;
    EXPECT_EQ(BuildSuffixArrayInt(&symbol, sa, 0, 1), 0);
    EXPECT_EQ(sa[0], 77);
    EXPECT_EQ(BuildSuffixArrayInt(&symbol, sa, 1, 1), 0);
    EXPECT_EQ(sa[0], 0);

    uint8_t out = 0;
    int32_t work = 0;
    EXPECT_EQ(BuildBwt(&byte, &out, &work, 0), 0);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(BuildBwt(&byte, &out, &work, 1), 1);
    EXPECT_EQ(out, 9);
    int32_t intOut = -1;
    EXPECT_EQ(BuildBwtInt(&symbol, &intOut, &work, 1, 1), 1);
    EXPECT_EQ(intOut, 0);
}

TEST(SuffixArray, BadArgumentsAreRejected)
{
    const uint8_t bytes[4] = {1, 2, 3, 4};
    const int32_t ints[4] = {1, 2, 3, 0};
    int32_t sa[4] = {};
    uint8_t u[4] = {};
    int32_t intU[4] = {};

    EXPECT_EQ(BuildSuffixArray(nullptr, sa, 4), -1);
    EXPECT_EQ(BuildSuffixArray(bytes, nullptr, 4), -1);
    EXPECT_EQ(BuildSuffixArray(bytes, sa, -1), -1);

    EXPECT_EQ(BuildSuffixArrayInt(nullptr, sa, 4, 4), -1);
    EXPECT_EQ(BuildSuffixArrayInt(ints, nullptr, 4, 4), -1);
    EXPECT_EQ(BuildSuffixArrayInt(ints, sa, -1, 4), -1);
    EXPECT_EQ(BuildSuffixArrayInt(ints, sa, 4, 0), -1);

    EXPECT_EQ(BuildBwt(nullptr, u, sa, 4), -1);
    EXPECT_EQ(BuildBwt(bytes, nullptr, sa, 4), -1);
    EXPECT_EQ(BuildBwt(bytes, u, nullptr, 4), -1);
    EXPECT_EQ(BuildBwt(bytes, u, sa, -1), -1);

    EXPECT_EQ(BuildBwtInt(nullptr, intU, sa, 4, 4), -1);
    EXPECT_EQ(BuildBwtInt(ints, nullptr, sa, 4, 4), -1);
    EXPECT_EQ(BuildBwtInt(ints, intU, nullptr, 4, 4), -1);
    EXPECT_EQ(BuildBwtInt(ints, intU, sa, -1, 4), -1);
    EXPECT_EQ(BuildBwtInt(ints, intU, sa, 4, 0), -1);
}

TEST(SuffixArray, CoreRejectsWhatItCannotSort)
{
    const uint8_t bytes[4] = {1, 2, 200, 4};
    const int32_t ints[4] = {1, 2, 3, 0};
    int32_t sa[4] = {};
    EXPECT_EQ(SuffixArrayCore(nullptr, sa, 0, 4, 256, 1, false), -1);
    EXPECT_EQ(SuffixArrayCore(bytes, nullptr, 0, 4, 256, 1, false), -1);
    EXPECT_EQ(SuffixArrayCore(bytes, sa, -1, 4, 256, 1, false), -1);
    EXPECT_EQ(SuffixArrayCore(bytes, sa, 0, -1, 256, 1, false), -1);
    EXPECT_EQ(SuffixArrayCore(bytes, sa, 0, 4, 0, 1, false), -1);
    EXPECT_EQ(SuffixArrayCore(bytes, sa, 0, 4, 256, 2, false), -1);
    EXPECT_EQ(SuffixArrayCore(bytes, sa, 0, 4, 100, 1, false), -1) << "byte 200 is no symbol";
    EXPECT_EQ(SuffixArrayCore(ints, sa, 0, 4, 3, 4, false), -1) << "3 is no symbol";

    EXPECT_EQ(SuffixArrayCore(bytes, sa, 0, 0, 256, 1, false), 0);
    EXPECT_EQ(SuffixArrayCore(bytes, sa, 0, 4, 201, 1, false), 0);
    EXPECT_EQ(std::vector<int32_t>(sa, sa + 4), (std::vector<int32_t> {0, 1, 3, 2}));
    EXPECT_EQ(SuffixArrayCore(ints, sa, 0, 4, 4, 4, false), 0);
    EXPECT_EQ(std::vector<int32_t>(sa, sa + 4), (std::vector<int32_t> {3, 0, 1, 2}));
}

TEST(SuffixArray, CoreTransformModeReturnsTheSlotOfTheWholeText)
{
    // banana sorts as 5 3 1 0 4 2: the whole text sits in slot 3, and every
    // other slot holds the byte before its suffix.
    const Bytes text = bytesOf("banana");
    std::vector<int32_t> work(6, -7);
    EXPECT_EQ(SuffixArrayCore(text.data(), work.data(), 0, 6, 256, 1, true), 3);
    EXPECT_EQ(work[0], 'n');
    EXPECT_EQ(work[1], 'n');
    EXPECT_EQ(work[2], 'b');
    EXPECT_EQ(work[4], 'a');
    EXPECT_EQ(work[5], 'a');
}

TEST(SuffixArray, SymbolsOutsideTheAlphabetAreRejected)
{
    const int32_t single = 5;
    int32_t one = 0;
    EXPECT_EQ(BuildSuffixArrayInt(&single, &one, 1, 5), -1);
    EXPECT_EQ(BuildBwtInt(&single, &one, &one, 1, 5), -1);
    const int32_t tooLarge[3] = {0, 3, 1};
    const int32_t negative[3] = {0, -1, 1};
    int32_t sa[3] = {};
    int32_t u[3] = {};
    EXPECT_EQ(BuildSuffixArrayInt(tooLarge, sa, 3, 3), -1);
    EXPECT_EQ(BuildSuffixArrayInt(negative, sa, 3, 3), -1);
    EXPECT_EQ(BuildBwtInt(tooLarge, u, sa, 3, 3), -1);
    EXPECT_EQ(BuildBwtInt(negative, u, sa, 3, 3), -1);
    EXPECT_EQ(BuildSuffixArrayInt(tooLarge, sa, 3, 4), 0);
}

TEST(SuffixArray, RandomBytesOverSmallAndLargeAlphabets)
{
    std::mt19937 rng(1);
    for (int alphabet : {1, 2, 3, 4, 16, 256}) {
        for (int round = 0; round < 150; ++round) {
            const size_t n = 2 + rng() % 300;
            expectBytesMatchNaive(randomBytes(rng, n, alphabet));
        }
        expectBytesMatchNaive(randomBytes(rng, 20000, alphabet == 1 ? 2 : alphabet));
    }
}

TEST(SuffixArray, EveryShortTextOverSmallAlphabets)
{
    // Exhaustive over binary texts up to 12 symbols and ternary up to 7.
    for (int alphabet : {2, 3}) {
        const size_t maxLength = alphabet == 2 ? 12 : 7;
        for (size_t n = 2; n <= maxLength; ++n) {
            size_t total = 1;
            for (size_t i = 0; i < n; ++i) {
                total *= size_t(alphabet);
            }
            for (size_t code = 0; code < total; ++code) {
                Bytes text(n);
                size_t rest = code;
                for (auto& b : text) {
                    b = uint8_t(rest % size_t(alphabet));
                    rest /= size_t(alphabet);
                }
                expectBytesMatchNaive(text);
            }
        }
    }
}

TEST(SuffixArray, FullByteAlphabet)
{
    Bytes text(256);
    std::iota(text.begin(), text.end(), 0);
    expectBytesMatchNaive(text);
    std::reverse(text.begin(), text.end());
    expectBytesMatchNaive(text);
    std::mt19937 rng(2);
    std::shuffle(text.begin(), text.end(), rng);
    Bytes repeated;
    for (int i = 0; i < 8; ++i) {
        repeated.insert(repeated.end(), text.begin(), text.end());
    }
    expectBytesMatchNaive(repeated);
}

TEST(SuffixArray, PeriodicTexts)
{
    std::mt19937 rng(3);
    for (size_t period = 1; period <= 9; ++period) {
        const Bytes unit = randomBytes(rng, period, 3);
        for (size_t n : {period, period * 2 + 1, size_t(97), size_t(1500)}) {
            Bytes text(n);
            for (size_t i = 0; i < n; ++i) {
                text[i] = unit[i % period];
            }
            expectBytesMatchNaive(text);
        }
    }
}

TEST(SuffixArray, FibonacciAndThueMorseTexts)
{
    // Both nest repetitions deeply, so the reduced strings recurse several levels.
    for (size_t n : {2u, 3u, 5u, 8u, 13u, 21u, 100u, 987u, 1597u, 2000u}) {
        expectBytesMatchNaive(fibonacci(n));
        expectBytesMatchNaive(thueMorse(n));
    }
}

TEST(SuffixArray, RunsAndMutatedRepeats)
{
    std::mt19937 rng(4);
    for (int round = 0; round < 40; ++round) {
        // A random block repeated with a few point mutations, as in releases
        // of the same file.
        const Bytes block = randomBytes(rng, 10 + rng() % 60, 4);
        Bytes text;
        for (int copy = 0; copy < 12; ++copy) {
            text.insert(text.end(), block.begin(), block.end());
            text[rng() % text.size()] ^= 1;
            text.insert(text.end(), rng() % 5, uint8_t(rng()));
        }
        expectBytesMatchNaive(text);
    }
}

TEST(SuffixArray, IntegerTexts)
{
    std::mt19937 rng(5);
    for (int32_t k : {1, 2, 5, 300, 5000, 100000}) {
        for (int round = 0; round < 60; ++round) {
            const size_t n = 1 + rng() % 400;
            const int32_t used = std::min<int32_t>(k, 1 + int32_t(rng() % 8));
            Ints text(n);
            for (auto& s : text) {
                s = k - 1 - int32_t(rng() % uint32_t(used));
            }
            expectIntsMatchNaive(text, k);
        }
    }
}

// The core with free space after the output: exercises every layout of the
// two alphabet tables (free space, heap, both).
TEST(SuffixArray, CoreWithFreeSpaceAndLargeAlphabets)
{
    std::mt19937 rng(6);
    for (int32_t k : {200, 300, 1000, 2000}) {
        for (int32_t fs : {0, k / 2, k, k + k / 2, 2 * k, 3 * k}) {
            const size_t n = 600;
            Ints text(n);
            for (auto& s : text) {
                s = int32_t(rng() % uint32_t(k));
            }
            for (size_t i = 300; i < n; ++i) {
                text[i] = text[i - 300 + rng() % 2]; // long near-repeats recurse
            }
            std::vector<int32_t> sa(n + size_t(fs) + 1, 4242);
            ASSERT_EQ(SuffixArrayCore(text.data(), sa.data(), fs, int32_t(n), k, 4, false), 0);
            EXPECT_EQ(sa.back(), 4242) << "wrote past the free space";
            sa.resize(n);
            ASSERT_EQ(sa, naiveSuffixArray(text)) << "k = " << k << ", fs = " << fs;
        }
    }
}
