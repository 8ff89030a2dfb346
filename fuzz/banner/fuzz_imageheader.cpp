// Reads arbitrary bytes as the header of a banner image.
#include "imageheader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const ImageHeader header = ImageHeader::read(data, size);
    // A size comes only with a format it was read from.
    if (header.format == ImageHeader::Format::Unknown && (header.width != 0 || header.height != 0))
        std::abort();
    return 0;
}
