// LZMA2 blocks: a property byte, the unpacked size as a varint, then a raw
// LZMA2 stream whose length is not stored; the decoder consumes exactly what
// the stream needs.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <cstddef>
#include <cstdint>

namespace kvpatch {

// Decodes the block at the source's cursor and appends its content to
// output. On success the cursor sits just after the block.
bool Lzma2DecodeToSink(SourceStream* source, SinkStream* output);

// Encodes the source's unread bytes (the source is read to its end) or a
// memory range as one block appended to output.
bool Lzma2EncodeStream(SourceStream* source, SinkStream* output);
bool Lzma2EncodeBuffer(const uint8_t* data, size_t length, SinkStream* output);

// Where the encoder takes its input from: hands out up to `requested` bytes
// at a time; 0 bytes means the end, false an error.
class Lzma2EncoderInput
{
public:
    virtual ~Lzma2EncoderInput() = default;
    virtual bool Next(size_t requested, const uint8_t** data, size_t* length) = 0;
};

class Lzma2Encoder;

// The two halves shared by both encoders: the block's header (which also
// sets the encoder up for that many bytes) and its compressed data.
bool Lzma2WriteHeader(Lzma2Encoder* encoder, uint32_t unpackedSize, SinkStream* output);
bool Lzma2EncodeBody(Lzma2Encoder* encoder, Lzma2EncoderInput* input, SinkStream* output);

} // namespace kvpatch
