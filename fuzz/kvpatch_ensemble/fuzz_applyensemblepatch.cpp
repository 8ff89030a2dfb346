// ApplyEnsemblePatchStreams over arbitrary patch bytes against one fixed old
// executable. An input whose first byte is odd is taken as the patch body:
// it gets a header that matches the old file (the target CRC and final-input
// size from the next bytes) and a stored LZMA2 block around the rest, so that
// the element parameters, the program layers and the diffs are reached.
// The new file's size is passed as the updater passes it, taken from the
// input but kept small, so that no size the input states can take the
// application to the fuzzer's memory limit.
#include "ensemblepatch.h"
#include "fuzzinput.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include "crc32.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

Bytes g_old;
constexpr uint32_t kFuzzNewSize = 64 << 10;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    LimitAllocations();
    std::ifstream in(KV_FUZZ_OLD_FILE, std::ios::binary);
    g_old.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (g_old.empty()) {
        std::fprintf(stderr, "cannot read %s\n", KV_FUZZ_OLD_FILE);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes patch;
    // Odd inputs take it from the final-input size's low bits.
    uint64_t newSize = kFuzzNewSize;
    if (size > 0 && (data[0] & 1)) {
        if (size < 9)
            return 0;
        const uint32_t targetCrc = ReadLittleEndian32(data + 1);
        const uint32_t finalInputSize = ReadLittleEndian32(data + 5);
        newSize = finalInputSize % (kFuzzNewSize + 1);
        AppendVarint(&patch, kvpatch::kEnsemblePatchMagic);
        AppendVarint(&patch, kvpatch::kEnsemblePatchVersion);
        AppendVarint(&patch, kvpatch::ComputeCrc32(g_old.data(), g_old.size()));
        AppendVarint(&patch, targetCrc);
        AppendVarint(&patch, finalInputSize);
        AppendStoredLzma2Block(&patch, data + 9, size - 9);
    } else if (size > 0) {
        patch.assign(data + 1, data + size);
    }
    kvpatch::SourceStream old(g_old.data(), g_old.size());
    kvpatch::SourceStream patchStream(patch.data(), patch.size());
    kvpatch::SinkStream output;
    kvpatch::ApplyEnsemblePatchStreams(&old, &patchStream, &output, newSize);
    return 0;
}
