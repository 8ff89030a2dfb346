#pragma once

#include <cstddef>
#include <cstdint>

namespace kvpatchmaker {

// Length of the blocks whose exact repeats SharedFraction counts.
constexpr size_t kSharedBlock = 32;

// The fraction (0 to 1) of `newData` that consists of blocks of kSharedBlock
// bytes found verbatim at block-aligned places of `oldData`. It takes one
// pass over each file and memory of about an eighth of the old file: a
// cheap look at how much the two files share before any costly diffing.
// 1 when the index cannot be allocated (nothing can then be ruled out).
double SharedFraction(
    const uint8_t* oldData, size_t oldLength, const uint8_t* newData, size_t newLength);

} // namespace kvpatchmaker
