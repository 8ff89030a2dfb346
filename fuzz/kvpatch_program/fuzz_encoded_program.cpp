// Reads arbitrary bytes as the stream set of an encoded program and
// assembles whatever reads: neither step may crash, hang or read outside
// its input, however the streams lie about counts, indices or ops.
#include "encodedprogram.h"
#include "streamset.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kvpatch::SourceStreamSet streams;
    if (!streams.Init(data, size))
        return 0;
    kvpatch::EncodedProgram* program = nullptr;
    if (kvpatch::ReadEncodedProgram(&streams, &program) != kvpatch::C_OK)
        return 0;
    kvpatch::SinkStream out;
    kvpatch::Assemble(program, &out);
    kvpatch::DeleteEncodedProgram(program);
    return 0;
}
