// Applies arbitrary bytes as a diff to an old input taken from the same
// bytes. Layout: flags byte (bit 0: header), old length (2 bytes), old
// bytes, diff bytes. The new data is bounded as the updater bounds it, so
// that no size the diff states can reach the fuzzer's memory limit.
#include "kvdiff.h"

#include <cstdlib>

using namespace kvpatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const bool header = data[0] & 1;
    size_t oldLength = size_t(data[1]) | size_t(data[2]) << 8;
    data += 3;
    size -= 3;
    if (oldLength > size)
        oldLength = size;
    SourceStream oldData(data, oldLength);
    SourceStream diff(data + oldLength, size - oldLength);
    SinkStream output;
    const bool ok = ApplyDiff(&oldData, &diff, &output, header, DiffBounds(64 << 10));
    if (oldData.Position() != 0)
        std::abort();
    (void)ok;
    return 0;
}
