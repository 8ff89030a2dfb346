#include "roundtrip.h"

#include "detectexecutable.h"
#include "encodedprogram.h"
#include "sinkstream.h"
#include "streamset.h"

#include <gtest/gtest.h>

using namespace kvpatch;

void ProgramDeleter::operator()(DisassembledProgram* program) const
{
    DeleteDisassembledProgram(program);
}

ProgramPtr Parse(const std::vector<uint8_t>& image, Status* status)
{
    DisassembledProgram* program = nullptr;
    const Status result = ParseExecutable(image.data(), image.size(), &program);
    if (status != nullptr)
        *status = result;
    return ProgramPtr(result == C_OK ? program : nullptr);
}

namespace {

struct EncodedDeleter
{
    void operator()(EncodedProgram* program) const { DeleteEncodedProgram(program); }
};
using EncodedPtr = std::unique_ptr<EncodedProgram, EncodedDeleter>;

} // namespace

RoundTrip RunRoundTrip(const std::vector<uint8_t>& image, bool trim)
{
    RoundTrip result;
    ProgramPtr program = Parse(image, &result.parse);
    if (!program)
        return result;
    result.trim = trim ? TrimLabels(program.get()) : C_OK;
    if (result.trim != C_OK)
        return result;
    EncodedProgram* encodedRaw = nullptr;
    result.encode = Encode(program.get(), &encodedRaw);
    EncodedPtr encoded(encodedRaw);
    if (result.encode != C_OK)
        return result;

    SinkStreamSet streams;
    streams.Init(10);
    result.write = WriteEncodedProgram(encoded.get(), &streams);
    SinkStream serialized;
    if (result.write != C_OK || !streams.WriteAll(&serialized))
        return result;

    SourceStreamSet source;
    if (!source.Init(serialized.Buffer(), serialized.Length()))
        return result;
    EncodedProgram* readRaw = nullptr;
    result.read = ReadEncodedProgram(&source, &readRaw);
    EncodedPtr read(readRaw);
    if (result.read != C_OK)
        return result;

    SinkStream out;
    result.assemble = Assemble(read.get(), &out);
    result.bytes.assign(out.Buffer(), out.Buffer() + out.Length());
    return result;
}

namespace {

std::vector<uint8_t> serialized(EncodedProgram* encoded)
{
    SinkStreamSet streams;
    streams.Init(10);
    SinkStream out;
    if (WriteEncodedProgram(encoded, &streams) != C_OK || !streams.WriteAll(&out))
        return {};
    return std::vector<uint8_t>(out.Buffer(), out.Buffer() + out.Length());
}

} // namespace

EncodedPaths EncodeBothWays(const std::vector<uint8_t>& image)
{
    EncodedPaths paths;
    EncodedProgram* directRaw = nullptr;
    if (ParseAndEncodeExecutable(image.data(), image.size(), &directRaw) == C_OK)
        paths.direct = serialized(EncodedPtr(directRaw).get());
    ProgramPtr program = Parse(image);
    EncodedProgram* listedRaw = nullptr;
    if (program && TrimLabels(program.get()) == C_OK && Encode(program.get(), &listedRaw) == C_OK)
        paths.listed = serialized(EncodedPtr(listedRaw).get());
    return paths;
}

std::map<uint32_t, size_t> CountInstructionKinds(const DisassembledProgram& program)
{
    std::map<uint32_t, size_t> counts;
    for (size_t i = 0; i < program.instructionCount(); ++i)
        ++counts[program.instructionAt(i)->kind()];
    return counts;
}

std::map<uint32_t, size_t> CountArmBranchKinds(const DisassembledProgram& program)
{
    std::map<uint32_t, size_t> counts;
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        const Instruction* instruction = program.instructionAt(i);
        if (instruction->kind() == INSTR_REL32_ARM)
            ++counts[(instruction->compressedOp >> 12) - 1];
    }
    return counts;
}

size_t CheckEveryPrefix(const std::vector<uint8_t>& image, size_t stride)
{
    size_t accepted = 0;
    for (size_t length = 0; length <= image.size(); length += (length < 1024 ? 1 : stride)) {
        std::unique_ptr<uint8_t[]> prefix(new uint8_t[length == 0 ? 1 : length]);
        std::copy(image.begin(), image.begin() + length, prefix.get());
        FileType type = UNKNOWN;
        size_t detected = 0;
        if (DetectFileType(prefix.get(), length, &type, &detected) == C_OK) {
            EXPECT_LE(detected, length);
            ++accepted;
        }
        DisassembledProgram* program = nullptr;
        const Status status = ParseExecutable(prefix.get(), length, &program);
        if (status == C_OK)
            DeleteDisassembledProgram(program);
        else
            EXPECT_EQ(program, nullptr);
    }
    return accepted;
}
