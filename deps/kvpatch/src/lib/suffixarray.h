// Suffix arrays and the Burrows-Wheeler transform by induced sorting, for the
// diff writer's match search. Linear time; besides the output the builders need
// at most two arrays of alphabet size (plus whatever free space the caller
// leaves after the output, which the recursion reuses).
#pragma once

#include <cstdint>

namespace kvpatch {

// Sorts the n suffixes of T into SA (n entries). Suffixes compare byte by byte
// as unsigned values; a proper prefix sorts first. Returns 0 on success, -1 for
// a null pointer or n < 0, -2 when working memory cannot be obtained.
int32_t BuildSuffixArray(const uint8_t* T, int32_t* SA, int32_t n);

// The same for a text of integers in [0, k). Also -1 when k < 1 or when a
// symbol lies outside [0, k).
int32_t BuildSuffixArrayInt(const int32_t* T, int32_t* SA, int32_t n, int32_t k);

// Writes the Burrows-Wheeler transform of T (with an implicit unique sentinel
// smaller than every symbol) into U without the sentinel, using A (n entries)
// as work space. Returns the position the sentinel would hold (the primary
// index), -1 for bad arguments, -2 when memory fails. U may equal T.
int32_t BuildBwt(const uint8_t* T, uint8_t* U, int32_t* A, int32_t n);

// The same for a text of integers in [0, k).
int32_t BuildBwtInt(const int32_t* T, int32_t* U, int32_t* A, int32_t n, int32_t k);

// The induced-sorting worker behind the four entry points. T holds n symbols of
// symbolSize bytes (1: unsigned bytes, 4: int32 in [0, k)); SA has n + fs
// entries, the last fs of which may be used as scratch. With bwt false it
// leaves the suffix array in SA and returns 0. With bwt true it leaves, for
// every suffix but the whole text, the symbol preceding it in its sorted slot
// and returns the slot of the whole text. Returns -1 for a null pointer, a
// negative n or fs, k < 1, another symbol size or a symbol outside [0, k);
// -2 when memory fails.
int32_t SuffixArrayCore(
    const void* T, int32_t* SA, int32_t fs, int32_t n, int32_t k, int32_t symbolSize, bool bwt);

} // namespace kvpatch
