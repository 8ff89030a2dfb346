// Arbitrary bytes through executable detection and disassembly, and every
// accepted program on through trimming, encoding and assembly.
#include "detectexecutable.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "sinkstream.h"

#include <cstddef>
#include <cstdint>

using namespace kvpatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FileType type = UNKNOWN;
    size_t length = 0;
    const Status detected = DetectFileType(data, size, &type, &length);
    if (detected == C_OK && length > size)
        __builtin_trap();

    DisassembledProgram* program = nullptr;
    const Status parsed = ParseExecutable(data, size, &program);
    if (parsed != C_OK) {
        if (program != nullptr)
            __builtin_trap();
        return 0;
    }
    if (TrimLabels(program) == C_OK) {
        EncodedProgram* encoded = nullptr;
        if (Encode(program, &encoded) == C_OK) {
            SinkStream out;
            Assemble(encoded, &out);
            DeleteEncodedProgram(encoded);
        }
    }
    DeleteDisassembledProgram(program);
    return 0;
}
