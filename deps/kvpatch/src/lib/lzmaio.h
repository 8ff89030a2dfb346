// LZMA2 blocks: a property byte, the unpacked size as a varint, then a raw
// LZMA2 stream whose length is not stored; the decoder consumes exactly what
// the stream needs.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kvpatch {

// Decodes the block at the source's cursor and appends its content to
// output. On success the cursor sits just after the block. A block that
// announces more than `limit` bytes is refused before anything is reserved
// or decoded: it could only succeed by producing that many.
bool Lzma2DecodeToSink(SourceStream* source, SinkStream* output, uint32_t limit = UINT32_MAX);

// The bytes the block at the source's cursor takes in the source, from its
// header and chunk headers alone (without decoding): what was received for
// it, however much it announces. A block cut short counts to the source's
// end.
size_t Lzma2BlockLength(const SourceStream& source);

// Lzma2DecodeToSink in three steps, so that a caller can read the first
// bytes of the content while the rest is being decoded on another thread:
// Begin and Finish on the caller's thread (only they log), Run on any.
class Lzma2BlockDecoder
{
public:
    // Reads the block's header and reserves the output; false (logged) when
    // that fails or the block announces more than `limit` bytes.
    bool Begin(SourceStream* source, SinkStream* output, uint32_t limit = UINT32_MAX);
    // Decodes into the reserved room, making the bytes ready piece by piece.
    // `whileHeld` runs on this thread each time the decoding reaches a
    // hold, before the bytes up to the hold are announced as ready.
    void Run(const std::function<void()>& whileHeld = {});
    // Waits until at least `bytes` bytes are ready or the decoding ended,
    // and returns how many are ready. They lie at the start of the output's
    // reserved room and do not move until Finish.
    size_t WaitFor(size_t bytes);
    // Makes the decoding stop once `at` bytes are ready, until Resume:
    // so that what follows need not be held while the start is worked on.
    // A later call moves the hold forward (a decoding stopped at the
    // earlier one goes on). False when the decoding is already past `at`,
    // ended or resumed, or `at` lies before the current hold.
    bool HoldAt(size_t at);
    // For a decoding stopped at the hold: the rest of the content will go
    // to `rest` (reserved here) instead of after the first part, which the
    // caller may then free. False (nothing changed) when it is not stopped
    // there; Finish then appends the rest to `rest`.
    bool SplitAtHold(SinkStream* rest);
    // Lets a held decoding go on; must come before waiting for Run's end.
    void Resume();
    // Ends the decoding at its next piece, held or not: for a block whose
    // first bytes already show it is of no use. Finish then fails.
    void Stop();
    // After Run: true when the block decoded completely; then the cursor
    // sits after the block and the output holds the content.
    bool Finish();

private:
    void publish(size_t ready, bool ended);

    SourceStream* m_source = nullptr;
    SinkStream* m_output = nullptr;
    uint8_t m_property = 0;
    uint32_t m_unpackedSize = 0;
    uint32_t m_capacity = 0;
    int m_result = 0;
    size_t m_consumed = 0;
    size_t m_produced = 0;
    std::mutex m_mutex;
    std::condition_variable m_progress;
    size_t m_ready = 0;
    bool m_ended = false;
    size_t m_pieceEnd = 0;
    size_t m_holdAt = SIZE_MAX;
    bool m_resumed = false;
    bool m_stopped = false;
    uint8_t* m_rest = nullptr;
    SinkStream* m_restSink = nullptr;
};

// Encodes the source's unread bytes (the source is read to its end) or a
// memory range as one block appended to output.
bool Lzma2EncodeStream(SourceStream* source, SinkStream* output);
// A `window` other than 0 caps the dictionary (in bytes, at least 4 KiB): a
// smaller window costs the encoder and every decoder of the block less
// memory, and loses little where repeats are near each other.
bool Lzma2EncodeBuffer(const uint8_t* data, size_t length, SinkStream* output, uint32_t window = 0);

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
bool Lzma2WriteHeader(
    Lzma2Encoder* encoder, uint32_t unpackedSize, SinkStream* output, uint32_t window = 0);
bool Lzma2EncodeBody(Lzma2Encoder* encoder, Lzma2EncoderInput* input, SinkStream* output);

} // namespace kvpatch
