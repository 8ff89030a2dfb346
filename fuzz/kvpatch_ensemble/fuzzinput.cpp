#include "fuzzinput.h"

#include "allocation.h"

void AppendVarint(Bytes* out, uint32_t value)
{
    while (value >= 128) {
        out->push_back(uint8_t(value | 0x80));
        value >>= 7;
    }
    out->push_back(uint8_t(value));
}

uint32_t ReadLittleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void AppendStoredLzma2Block(Bytes* out, const uint8_t* data, size_t size)
{
    out->push_back(0x18); // dictionary property; stored chunks do not use it
    AppendVarint(out, uint32_t(size));
    bool first = true;
    while (size > 0) {
        const size_t chunk = size < 65536 ? size : 65536;
        // 1: stored chunk with dictionary reset, 2: stored chunk without.
        out->push_back(first ? 0x01 : 0x02);
        out->push_back(uint8_t((chunk - 1) >> 8));
        out->push_back(uint8_t(chunk - 1));
        out->insert(out->end(), data, data + chunk);
        data += chunk;
        size -= chunk;
        first = false;
    }
    out->push_back(0x00); // end of the LZMA2 stream
}

void LimitAllocations()
{
#ifndef KV_FUZZ_WITHOUT_ALLOCATION_LIMIT
    kvpatch::SetAllocationLimit(size_t(64) << 20);
#endif
}
