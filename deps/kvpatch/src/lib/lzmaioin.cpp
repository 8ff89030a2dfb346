#include "logline.h"
#include "lzmaallocator.h"
#include "lzmaio.h"

#include <lzma.h>

namespace kvpatch {

namespace {

// Result codes reported in "Error uncompressing data <code>".
enum DecodeResult : int
{
    DecodeOk = 0,
    DecodeCorruptData = 1,
    DecodeOutOfMemory = 2,
    DecodeUnsupported = 4,
    DecodeInputEnded = 6,
};

// Dictionary size that the property byte stands for; false for values the
// format does not define.
bool dictionarySize(uint8_t property, uint32_t* size)
{
    if (property > 40)
        return false;
    *size = property == 40 ? UINT32_MAX : (2u | (property & 1u)) << (property / 2 + 11);
    return true;
}

int resultFor(lzma_ret ret)
{
    switch (ret) {
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return DecodeOutOfMemory;
    case LZMA_OPTIONS_ERROR:
        return DecodeUnsupported;
    case LZMA_BUF_ERROR:
        return DecodeInputEnded;
    default:
        return DecodeCorruptData;
    }
}

// Decoded bytes are handed over in pieces that start small and double up
// to the largest: whoever waits for the start of the output (an ensemble's
// first streams are a few bytes) gets it at once, and later hand-overs stay
// rare.
const size_t kFirstPiece = 16 << 10;
const size_t kPiece = 1 << 20;

// Decodes one raw stream from `input` into `capacity` bytes of output, piece
// by piece: `next(produced, &room)` hands over the bytes decoded so far and
// returns where the next `room` bytes go (room 0 once the output is full).
// Returns the result code; `consumed` and `produced` tell how far it got.
template<typename Next>
int decodeRaw(uint8_t property, const uint8_t* input, size_t inputLength, uint32_t capacity,
    size_t* consumed, size_t* produced, Next next)
{
    *consumed = 0;
    *produced = 0;
    uint32_t dictSize = 0;
    if (!dictionarySize(property, &dictSize))
        return DecodeUnsupported;
    // Matches can only reach back into what was produced, so a window larger
    // than the whole output is never used; a smaller one spares memory on
    // blocks that announce a huge window.
    if (dictSize > capacity)
        dictSize = capacity < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : capacity;

    lzma_options_lzma options;
    lzma_lzma_preset(&options, LZMA_PRESET_DEFAULT);
    options.dict_size = dictSize;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = LzmaAllocator();
    lzma_ret ret = lzma_raw_decoder(&stream, filters);
    if (ret != LZMA_OK) {
        lzma_end(&stream);
        return resultFor(ret);
    }

    stream.next_in = input;
    stream.avail_in = inputLength;
    // The decoder keeps its own window, so each piece may go elsewhere.
    size_t done = 0;
    size_t room = 0;
    stream.next_out = capacity ? next(size_t(0), &room) : nullptr;
    stream.avail_out = room;
    // Once the output is full the stream must still end; a byte decoded
    // into the spare means the block holds more than it announced.
    uint8_t spare = 0;
    bool inSpare = false;
    int result = DecodeOk;
    for (;;) {
        if (!inSpare && stream.avail_out == 0) {
            done += room;
            room = 0;
            uint8_t* out = done < capacity ? next(done, &room) : nullptr;
            if (room) {
                stream.next_out = out;
                stream.avail_out = room;
            } else {
                inSpare = true;
                stream.next_out = &spare;
                stream.avail_out = 1;
            }
        }
        ret = lzma_code(&stream, LZMA_RUN);
        if (inSpare && stream.avail_out == 0) {
            result = DecodeCorruptData;
            break;
        }
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK) {
            result = resultFor(ret);
            break;
        }
        if (stream.avail_in == 0) {
            result = DecodeInputEnded;
            break;
        }
    }
    *produced = inSpare ? done : done + room - stream.avail_out;
    *consumed = inputLength - stream.avail_in;
    lzma_end(&stream);
    return result;
}

// What the stream can decode to at most, and where it ends, from its chunk
// headers alone: an LZMA2 stream is a row of chunks that each state how
// many bytes they unpack to and how many compressed bytes follow, so the
// sizes can be summed without decoding. A chunk header that is cut off or
// invalid ends the walk: the decoder fails there too.
struct ChunkWalk
{
    uint64_t decodable = 0;
    // Bytes of the stream up to and including its end marker, or up to
    // the end of the input when that comes first.
    size_t packed = 0;
};

ChunkWalk WalkChunks(const uint8_t* input, size_t length)
{
    ChunkWalk walk;
    size_t p = 0;
    while (p < length) {
        const uint8_t control = input[p];
        if (control == 0x00) {
            ++p;
            break;
        }
        if (control == 0x01 || control == 0x02) {
            // Stored chunk: a 16-bit size less one, then the bytes.
            if (length - p < 3)
                break;
            const size_t size = ((size_t(input[p + 1]) << 8) | input[p + 2]) + 1;
            walk.decodable += size;
            p += 3 + size;
            continue;
        }
        if (control < 0x80)
            break;
        // LZMA chunk: 21 bits of unpacked size less one, a 16-bit packed size
        // less one, and from 0xC0 on a properties byte.
        const size_t header = control >= 0xC0 ? 6 : 5;
        if (length - p < header)
            break;
        walk.decodable
            += ((uint64_t(control & 0x1F) << 16) | (uint64_t(input[p + 1]) << 8) | input[p + 2])
            + 1;
        p += header + (((size_t(input[p + 3]) << 8) | input[p + 4]) + 1);
    }
    walk.packed = p < length ? p : length;
    return walk;
}

} // namespace

bool Lzma2BlockDecoder::Begin(SourceStream* source, SinkStream* output, uint32_t limit)
{
    if (!source->Read(&m_property, 1)) {
        KVLOG(LogError) << "Error read LZMA2 properties";
        return false;
    }
    if (!source->ReadVarint32(&m_unpackedSize)) {
        KVLOG(LogError) << "Error read LZMA2 unpack size";
        return false;
    }
    if (m_unpackedSize > limit) {
        KVLOG(LogError) << "LZMA2 unpack size " << m_unpackedSize << " above limit " << limit;
        return false;
    }
    // The announced size is a claim; the chunks say what can really come out.
    // A stream that yields fewer bytes than announced fails all the same
    // (the output ends short), so the room and the window need not be any
    // larger than what the chunks hold.
    const uint64_t decodable = WalkChunks(source->Buffer(), source->Remaining()).decodable;
    m_capacity = decodable < m_unpackedSize ? uint32_t(decodable) : m_unpackedSize;
    if (!output->Reserve(m_capacity)) {
        KVLOG(LogError) << "unable to allocate sink space";
        return false;
    }
    m_source = source;
    m_output = output;
    return true;
}

void Lzma2BlockDecoder::Run(const std::function<void()>& whileHeld)
{
    // The hold the task last ran at: once per hold.
    size_t taskRanAt = SIZE_MAX;
    size_t piece = kFirstPiece;
    uint8_t* const first = m_output->MutableBuffer() + m_output->Length();
    m_result = decodeRaw(m_property, m_source->Buffer(), m_source->Remaining(), m_capacity,
        &m_consumed, &m_produced, [&](size_t produced, size_t* room) -> uint8_t* {
            std::unique_lock<std::mutex> lock(m_mutex);
            // Held here until the reader lets the rest come, with time for
            // other work meanwhile; the held bytes are announced once that
            // work is done.
            if (whileHeld && produced == m_holdAt && !m_resumed && taskRanAt != produced) {
                taskRanAt = produced;
                lock.unlock();
                whileHeld();
                lock.lock();
            }
            if (produced) {
                m_ready = produced;
                m_progress.notify_all();
            }
            m_progress.wait(lock, [&] { return produced != m_holdAt || m_resumed; });
            if (m_stopped) {
                *room = 0;
                return nullptr;
            }
            size_t size = m_capacity - produced < piece ? m_capacity - produced : piece;
            if (produced)
                piece = piece < kPiece ? 2 * piece : kPiece;
            if (produced < m_holdAt && m_holdAt - produced < size)
                size = m_holdAt - produced;
            m_pieceEnd = produced + size;
            *room = size;
            if (m_rest && produced >= m_holdAt)
                return m_rest + (produced - m_holdAt);
            return first + produced;
        });
    publish(m_result == DecodeOk ? m_produced : 0, true);
}

void Lzma2BlockDecoder::publish(size_t ready, bool ended)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ready = ready;
        m_ended = ended;
    }
    m_progress.notify_all();
}

size_t Lzma2BlockDecoder::WaitFor(size_t bytes)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_progress.wait(lock, [&] { return m_ended || m_ready >= bytes; });
    return m_ready;
}

bool Lzma2BlockDecoder::HoldAt(size_t at)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A hold only moves forward, and never behind what is decoding.
        if (m_resumed || m_ended || at == 0 || at >= m_capacity || m_pieceEnd > at
            || (m_holdAt != SIZE_MAX && at < m_holdAt))
            return false;
        m_holdAt = at;
    }
    // A decoding held at an earlier point goes on to this one.
    m_progress.notify_all();
    return true;
}

bool Lzma2BlockDecoder::SplitAtHold(SinkStream* rest)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only a decoder that stopped at the hold writes nothing more into the
    // first part; one that ended has nothing left to write.
    if (m_holdAt == SIZE_MAX || m_resumed || m_ended || m_ready != m_holdAt || m_rest
        || !rest->Reserve(m_capacity - m_holdAt))
        return false;
    m_rest = rest->MutableBuffer() + rest->Length();
    m_restSink = rest;
    return true;
}

void Lzma2BlockDecoder::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    Resume();
}

void Lzma2BlockDecoder::Resume()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_resumed = true;
    }
    m_progress.notify_all();
}

bool Lzma2BlockDecoder::Finish()
{
    if (m_result != DecodeOk || m_produced != m_unpackedSize) {
        KVLOG(LogError) << "Error uncompressing data " << m_result;
        return false;
    }
    m_source->Skip(m_consumed);
    if (m_restSink) {
        m_restSink->Bytes().grow(m_unpackedSize - m_holdAt);
        return true;
    }
    m_output->Bytes().grow(m_unpackedSize);
    return true;
}

size_t Lzma2BlockLength(const SourceStream& source)
{
    SourceStream header = source;
    uint32_t announced = 0;
    if (!header.Skip(1) || !header.ReadVarint32(&announced))
        return source.Remaining();
    return header.Position() - source.Position()
        + WalkChunks(header.Buffer(), header.Remaining()).packed;
}

bool Lzma2DecodeToSink(SourceStream* source, SinkStream* output, uint32_t limit)
{
    Lzma2BlockDecoder decoder;
    if (!decoder.Begin(source, output, limit))
        return false;
    decoder.Run();
    return decoder.Finish();
}

} // namespace kvpatch
