// Decodes arbitrary bytes as a run of LZMA2 blocks.
#include "lzmaio.h"

#include <cstdlib>

using namespace kvpatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SourceStream source(data, size);
    SinkStream output;
    while (!source.Empty()) {
        const size_t before = source.Position();
        const size_t length = output.Length();
        if (!Lzma2DecodeToSink(&source, &output)) {
            // A failed decode never changes what the output holds.
            if (!output.Failed() && output.Length() != length)
                std::abort();
            break;
        }
        if (source.Position() <= before)
            std::abort();
    }
    return 0;
}
