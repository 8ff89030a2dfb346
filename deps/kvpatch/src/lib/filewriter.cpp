#include "filewriter.h"

#include <cstdio>

namespace kvpatch {

size_t WriteBufferToFile(const std::string& path, const void* data, size_t length)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return 0;
    const size_t written = length ? std::fwrite(data, 1, length, file) : 0;
    // Data still buffered when fclose fails never reached the file.
    if (std::fclose(file) != 0)
        return 0;
    return written;
}

} // namespace kvpatch
