// Builds suffix arrays and transforms of arbitrary inputs and checks that the
// result is a permutation whose neighbours are in order, and that the
// transform agrees with the suffix array. The first byte picks byte or
// integer symbols; integer texts take their alphabet from the next two bytes.
#include "suffixarray.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

template<typename Sym> bool suffixLess(const Sym* text, int32_t n, int32_t a, int32_t b)
{
    return std::lexicographical_compare(text + a, text + n, text + b, text + n);
}

bool suffixLess(const uint8_t* text, int32_t n, int32_t a, int32_t b)
{
    const int32_t common = std::min(n - a, n - b);
    const int diff = std::memcmp(text + a, text + b, size_t(common));
    return diff < 0 || (diff == 0 && a > b);
}

// Small inputs compare every neighbouring pair directly.
constexpr int32_t kDirectCompareLimit = 512;

// The arrays below carry one spare entry so that their data pointers are
// never null, even for an empty text.
//
// A permutation is the suffix array exactly when every neighbouring pair
// (a, b) has T[a] < T[b], or T[a] = T[b] and suffix a + 1 ranks before suffix
// b + 1 (the empty suffix ranks first), which checks in linear time.
template<typename Sym> void checkSuffixArray(const Sym* text, const std::vector<int32_t>& sa)
{
    const auto n = int32_t(sa.size()) - 1;
    std::vector<int32_t> rank(size_t(n) + 1, -1);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t p = sa[size_t(i)];
        if (p < 0 || p >= n || rank[size_t(p)] != -1) {
            std::abort();
        }
        rank[size_t(p)] = i;
    }
    rank[size_t(n)] = -1;
    for (int32_t i = 1; i < n; ++i) {
        const int32_t a = sa[size_t(i) - 1];
        const int32_t b = sa[size_t(i)];
        const bool ordered = text[a] < text[b]
            || (text[a] == text[b] && rank[size_t(a) + 1] < rank[size_t(b) + 1]);
        if (!ordered || (n <= kDirectCompareLimit && !suffixLess(text, n, a, b))) {
            std::abort();
        }
    }
}

template<typename Sym>
void checkTransform(
    const Sym* text, const std::vector<int32_t>& sa, const std::vector<Sym>& u, int32_t primary)
{
    const size_t n = sa.size() - 1;
    if (n == 0) {
        return;
    }
    if (u[0] != text[n - 1]) {
        std::abort();
    }
    size_t w = 1;
    for (size_t i = 0; i < n; ++i) {
        if (sa[i] == 0) {
            if (primary != int32_t(i) + 1) {
                std::abort();
            }
        } else if (u[w++] != text[size_t(sa[i]) - 1]) {
            std::abort();
        }
    }
}

void checkBytes(const uint8_t* data, size_t size)
{
    const auto n = int32_t(size);
    std::vector<int32_t> sa(size + 1);
    if (kvpatch::BuildSuffixArray(data, sa.data(), n) != 0) {
        std::abort();
    }
    checkSuffixArray(data, sa);

    std::vector<uint8_t> u(size + 1);
    std::vector<int32_t> work(size + 1);
    const int32_t primary = kvpatch::BuildBwt(data, u.data(), work.data(), n);
    checkTransform(data, sa, u, primary);
}

void checkInts(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return;
    }
    const int32_t k = 1 + (int32_t(data[0]) | int32_t(data[1]) << 8) % 5000;
    data += 2;
    size -= 2;
    std::vector<int32_t> text(size / 2 + 1);
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        text[i] = (int32_t(data[2 * i]) | int32_t(data[2 * i + 1]) << 8) % k;
    }
    const auto n = int32_t(text.size()) - 1;
    std::vector<int32_t> sa(text.size());
    if (kvpatch::BuildSuffixArrayInt(text.data(), sa.data(), n, k) != 0) {
        std::abort();
    }
    checkSuffixArray(text.data(), sa);

    std::vector<int32_t> u(text.size());
    std::vector<int32_t> work(text.size());
    const int32_t primary = kvpatch::BuildBwtInt(text.data(), u.data(), work.data(), n, k);
    checkTransform(text.data(), sa, u, primary);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    if (data[0] & 1) {
        checkInts(data + 1, size - 1);
    } else {
        checkBytes(data + 1, size - 1);
    }
    return 0;
}
