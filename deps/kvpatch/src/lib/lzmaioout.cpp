#include "logline.h"
#include "lzmaallocator.h"
#include "lzmaio.h"

#include <lzma.h>

#include <new>

namespace kvpatch {

class Lzma2Encoder
{
public:
    ~Lzma2Encoder() { lzma_end(&stream); }
    lzma_stream stream = LZMA_STREAM_INIT;
    bool ready = false;
};

namespace {

const uint32_t kPreset = 9;
const size_t kOutputChunk = 64 * 1024;
const size_t kInputChunk = 1 << 20;

class MemoryInput : public Lzma2EncoderInput
{
public:
    MemoryInput(const uint8_t* data, size_t length)
        : m_data(data)
        , m_remaining(length)
    {
    }
    bool Next(size_t requested, const uint8_t** data, size_t* length) override
    {
        *length = requested < m_remaining ? requested : m_remaining;
        *data = m_data;
        m_data += *length;
        m_remaining -= *length;
        return true;
    }

private:
    const uint8_t* m_data;
    size_t m_remaining;
};

class StreamInput : public Lzma2EncoderInput
{
public:
    explicit StreamInput(SourceStream* source)
        : m_source(source)
    {
    }
    bool Next(size_t requested, const uint8_t** data, size_t* length) override
    {
        const size_t remaining = m_source->Remaining();
        *length = requested < remaining ? requested : remaining;
        *data = m_source->Buffer();
        return m_source->Skip(*length);
    }

private:
    SourceStream* m_source;
};

bool encode(
    uint32_t unpackedSize, Lzma2EncoderInput* input, SinkStream* output, uint32_t window = 0)
{
    Lzma2Encoder* encoder = new (std::nothrow) Lzma2Encoder;
    if (!encoder) {
        KVLOG(LogCritical) << "Assertion \"encHandle\" failed at "
                           << "../../../../deps/kvpatch/src/lib/lzmaioout.cpp:" << __LINE__ << "; ";
        return false;
    }
    const bool ok = Lzma2WriteHeader(encoder, unpackedSize, output, window)
        && Lzma2EncodeBody(encoder, input, output);
    delete encoder;
    return ok;
}

} // namespace

bool Lzma2WriteHeader(
    Lzma2Encoder* encoder, uint32_t unpackedSize, SinkStream* output, uint32_t window)
{
    lzma_options_lzma options;
    bool ok = !lzma_lzma_preset(&options, kPreset);
    if (ok) {
        // A window larger than the input finds nothing more and only costs
        // memory, here and in every decoder of the block.
        if (options.dict_size > unpackedSize)
            options.dict_size
                = unpackedSize < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : unpackedSize;
        if (window != 0 && options.dict_size > window)
            options.dict_size = window < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : window;
        const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        uint8_t property = 0;
        encoder->stream.allocator = LzmaAllocator();
        ok = lzma_raw_encoder(&encoder->stream, filters) == LZMA_OK
            && lzma_properties_encode(&filters[0], &property) == LZMA_OK;
        if (ok) {
            encoder->ready = true;
            return output->Write(&property, 1) && output->WriteVarint32(unpackedSize);
        }
    }
    KVLOG(LogError) << "Error Lzma2Enc_SetProps";
    return false;
}

bool Lzma2EncodeBody(Lzma2Encoder* encoder, Lzma2EncoderInput* input, SinkStream* output)
{
    bool ok = encoder->ready;
    lzma_stream& stream = encoder->stream;
    uint8_t chunk[kOutputChunk];
    lzma_action action = LZMA_RUN;
    while (ok) {
        if (stream.avail_in == 0 && action == LZMA_RUN) {
            const uint8_t* data = nullptr;
            size_t length = 0;
            if (!input->Next(kInputChunk, &data, &length)) {
                ok = false;
                break;
            }
            stream.next_in = data;
            stream.avail_in = length;
            if (length == 0)
                action = LZMA_FINISH;
        }
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        const lzma_ret ret = lzma_code(&stream, action);
        if (ret != LZMA_OK && ret != LZMA_STREAM_END) {
            ok = false;
            break;
        }
        if (!output->Write(chunk, sizeof(chunk) - stream.avail_out)) {
            ok = false;
            break;
        }
        if (ret == LZMA_STREAM_END)
            return true;
    }
    KVLOG(LogError) << "Error Lzma2Enc_Encode";
    return false;
}

bool Lzma2EncodeStream(SourceStream* source, SinkStream* output)
{
    if (source->Remaining() > UINT32_MAX) {
        KVLOG(LogError) << "Error Lzma2Enc_SetProps";
        return false;
    }
    StreamInput input(source);
    return encode(uint32_t(source->Remaining()), &input, output);
}

bool Lzma2EncodeBuffer(const uint8_t* data, size_t length, SinkStream* output, uint32_t window)
{
    if (length > UINT32_MAX) {
        KVLOG(LogError) << "Error Lzma2Enc_SetProps";
        return false;
    }
    MemoryInput input(data, length);
    return encode(uint32_t(length), &input, output, window);
}

} // namespace kvpatch
