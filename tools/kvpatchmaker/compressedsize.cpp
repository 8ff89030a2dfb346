#include "compressedsize.h"

#include <lzma.h>

namespace kvpatchmaker {

namespace {

const uint32_t kQuickPreset = 1;

} // namespace

size_t QuickCompressedSize(const uint8_t* data, size_t length, uint32_t window)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, kQuickPreset))
        return 0;
    if (window != 0 && options.dict_size > window)
        options.dict_size = window < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : window;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK)
        return 0;
    uint8_t chunk[64 * 1024];
    size_t total = 0;
    stream.next_in = data;
    stream.avail_in = length;
    for (;;) {
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        const lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
        total += sizeof(chunk) - stream.avail_out;
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK) {
            total = 0;
            break;
        }
    }
    lzma_end(&stream);
    return total;
}

} // namespace kvpatchmaker
