#pragma once

#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kvtest {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(const kvpatch::SinkStream& sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

template<typename T> std::vector<T> valuesOf(const kvpatch::FallibleBuffer<T>& buffer)
{
    return std::vector<T>(buffer.data(), buffer.data() + buffer.size());
}

inline std::vector<uint32_t> valuesOf(const kvpatch::VarintList& list)
{
    return list.values();
}

struct EncodedDeleter
{
    void operator()(kvpatch::EncodedProgram* p) const { kvpatch::DeleteEncodedProgram(p); }
};
using EncodedPtr = std::unique_ptr<kvpatch::EncodedProgram, EncodedDeleter>;

// The serialized stream set of an encoded program, as patch application
// stores it.
inline Bytes serialize(kvpatch::EncodedProgram* program)
{
    kvpatch::SinkStreamSet streams;
    EXPECT_EQ(kvpatch::WriteEncodedProgram(program, &streams), kvpatch::C_OK);
    kvpatch::SinkStream all;
    EXPECT_TRUE(streams.WriteAll(&all));
    return bytesOf(all);
}

// Reads an encoded program back from serialized streams; null on failure.
inline EncodedPtr deserialize(const Bytes& bytes, kvpatch::Status* status = nullptr)
{
    kvpatch::SourceStreamSet streams;
    if (!streams.Init(bytes.data(), bytes.size())) {
        if (status)
            *status = kvpatch::C_STREAM_ERROR;
        return nullptr;
    }
    kvpatch::EncodedProgram* program = nullptr;
    const kvpatch::Status result = kvpatch::ReadEncodedProgram(&streams, &program);
    if (status)
        *status = result;
    return EncodedPtr(result == kvpatch::C_OK ? program : nullptr);
}

// Assembles; the output bytes, or nothing when assembly fails.
inline bool assemble(kvpatch::EncodedProgram* program, Bytes* out)
{
    kvpatch::SinkStream sink;
    const bool ok = kvpatch::Assemble(program, &sink) == kvpatch::C_OK;
    *out = bytesOf(sink);
    return ok;
}

} // namespace kvtest
