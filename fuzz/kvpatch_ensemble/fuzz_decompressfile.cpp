// DecompressFile over arbitrary container bytes. An input whose first byte
// is odd gets a valid header and a stored LZMA2 block around the rest, so
// that the dis_and_diff body (stream sets, encoded programs, the diff) is
// reached as often as the header itself. The restored size is bounded as
// the updater bounds it, so that no size the input states can take the
// restore to the fuzzer's memory limit.
#include "compressedfile.h"
#include "fuzzinput.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string g_input;
std::string g_output;
constexpr uint32_t kFuzzRestoredLimit = 64 << 10;

void RemoveInputFile()
{
    std::remove(g_input.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    LimitAllocations();
    const std::string base = "/dev/shm/kv_fuzz_decompress_" + std::to_string(getpid());
    g_input = base + ".in";
    g_output = base + ".out";
    std::atexit(RemoveInputFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes container;
    if (size > 0 && (data[0] & 1)) {
        // Header: magic, the CRC from the next four bytes, directive 2 or 1.
        if (size < 6)
            return 0;
        const uint32_t crc = ReadLittleEndian32(data + 1);
        AppendVarint(&container, kvpatch::kCompressedFileMagic);
        AppendVarint(&container, crc);
        AppendVarint(
            &container, (data[5] & 1) ? kvpatch::kDirectiveDisAndDiff : kvpatch::kDirectivePlain);
        AppendStoredLzma2Block(&container, data + 6, size - 6);
    } else if (size > 0) {
        container.assign(data + 1, data + size);
    }
    FILE* file = std::fopen(g_input.c_str(), "wb");
    if (!file)
        return 0;
    if (!container.empty())
        std::fwrite(container.data(), 1, container.size(), file);
    std::fclose(file);
    kvpatch::DecompressFile(g_input, g_output, kFuzzRestoredLimit);
    std::remove(g_output.c_str());
    return 0;
}
