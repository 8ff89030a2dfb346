// Turns fuzzer input into containers and patches that get past their outer
// layers, so that the fuzzer also reaches what lies inside the LZMA2 body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

void AppendVarint(Bytes* out, uint32_t value);
uint32_t ReadLittleEndian32(const uint8_t* p);
// An LZMA2 block of stored (uncompressed) chunks around `data`: cheap to
// build for every input, and decoded like any other block.
void AppendStoredLzma2Block(Bytes* out, const uint8_t* data, size_t size);
// Bounds what a size field of the input can make the engine allocate, below
// the fuzzer's own malloc limit. The "_memory" builds of the targets leave
// the engine unbounded and run under a process memory limit instead (their
// .flags files): there a size that an input merely claims must never turn
// into an allocation, so any that does is a failure.
void LimitAllocations();
