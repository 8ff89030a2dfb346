#include "imageheader.h"

#include <algorithm>
#include <cstring>

namespace {

// Reads forward through the bytes; a read that would pass their end fails
// and leaves the position where it was.
class Cursor
{
public:
    Cursor(const unsigned char* data, std::size_t size)
        : m_data(data)
        , m_size(size)
    {
    }

    std::size_t left() const { return m_size - m_pos; }
    const unsigned char* here() const { return m_data + m_pos; }

    bool skip(std::uint64_t count)
    {
        if (count > left())
            return false;
        m_pos += std::size_t(count);
        return true;
    }

    bool startsWith(const char* bytes, std::size_t count) const
    {
        return count <= left() && std::memcmp(here(), bytes, count) == 0;
    }

    bool byte(std::uint32_t* value) { return number(1, false, value); }
    bool bigEndian16(std::uint32_t* value) { return number(2, true, value); }
    bool bigEndian32(std::uint32_t* value) { return number(4, true, value); }
    bool littleEndian16(std::uint32_t* value) { return number(2, false, value); }

private:
    bool number(std::size_t count, bool bigEndian, std::uint32_t* value)
    {
        if (count > left())
            return false;
        *value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t byte = here()[bigEndian ? i : count - 1 - i];
            *value = *value << 8 | byte;
        }
        m_pos += count;
        return true;
    }

    const unsigned char* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

ImageHeader header(ImageHeader::Format format, std::uint32_t width, std::uint32_t height)
{
    ImageHeader result;
    result.format = format;
    result.width = width;
    result.height = height;
    return result;
}

// Whether an iTXt chunk, of which the bytes at data are present, holds
// compressed text. Its keyword ends with a zero byte, and the compression
// flag follows; a flag the bytes do not reach counts as compressed.
bool compressedInternationalText(const unsigned char* data, std::size_t present)
{
    const auto end = data + present;
    const auto zero = std::find(data, end, 0);
    return zero == end || zero + 1 == end || zero[1] != 0;
}

// The decoder requires IHDR first and takes the size from it. It also reads
// the text chunks before and after the pixels, and inflates compressed ones
// to megabytes each, so an image with such a chunk is refused wherever it
// lies. It reads a text chunk into a buffer of the length the chunk states,
// which it allocates and clears before it reads the chunk's bytes: a few
// hundred bytes that state 2 GiB cost gigabytes and seconds. So a chunk of
// any type that states more bytes than follow is refused too; otherwise the
// walk ends where the bytes end, as the decoder's read does.
ImageHeader readPng(Cursor in)
{
    std::uint32_t length = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (!in.skip(8) || !in.bigEndian32(&length) || length != 13 || !in.startsWith("IHDR", 4)
        || !in.skip(4) || !in.bigEndian32(&width) || !in.bigEndian32(&height) || !in.skip(5 + 4))
        return ImageHeader();
    while (in.bigEndian32(&length) && in.left() >= 4) {
        if (in.startsWith("IEND", 4))
            break;
        if (in.startsWith("zTXt", 4))
            return ImageHeader();
        const bool internationalText = in.startsWith("iTXt", 4);
        in.skip(4);
        if (length > in.left()
            || (internationalText && compressedInternationalText(in.here(), length)))
            return ImageHeader();
        if (!in.skip(std::uint64_t(length) + 4))
            break;
    }
    return header(ImageHeader::Format::Png, width, height);
}

bool isFrameMarker(std::uint32_t marker)
{
    return marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
}

// Markers the decoder reads a segment after, passed by its 2-byte length:
// frame headers, tables, the restart interval, the line count, application
// data, comments and scan headers. It refuses the rest of the markers that
// are not alone.
bool hasSegment(std::uint32_t marker)
{
    return (marker >= 0xc0 && marker <= 0xcf && marker != 0xc8)
        || (marker >= 0xda && marker <= 0xdd) || (marker >= 0xe0 && marker <= 0xef)
        || marker == 0xfe;
}

// One walk over the markers after SOI, as the decoder takes them: the size
// from the first frame header, then every scan up to the end of the image.
// The decoder makes a pass over every block of a scan's components, so the
// number of scans, not the bytes, sets how long decoding takes: a scan that
// only skips blocks is a dozen bytes.
//
// Markers are found as the decoder finds them, before the frame as well as
// among the scans: bytes other than 0xff (stray bytes, or the coded data of
// a scan) are passed over, and so are fill bytes 0xff and a stuffed zero;
// restarts and TEM stand alone; every other marker the decoder knows has a
// segment, passed by its length. Where the bytes end, the decoder reads an
// end of image.
//
// The decoder stops with an error at a scan or an end before the frame, a
// second frame header and a second SOI; the walk refuses them. It refuses
// markers the decoder does not know too: between segments they are errors
// there as well, but within a scan that has restarts the decoder passes
// over them to the next marker. A segment length below 2 is no data to some
// of the decoder's segment readers (it goes on right after the length) and
// an error to others; rather than rely on which, the walk refuses it.
ImageHeader readJpeg(Cursor in)
{
    in.skip(2);
    bool frame = false;
    ImageHeader result = header(ImageHeader::Format::Jpeg, 0, 0);
    const auto end = [&] { return frame ? result : ImageHeader(); };
    for (;;) {
        std::uint32_t marker = 0;
        while (marker != 0xff) {
            if (!in.byte(&marker))
                return end();
        }
        while (marker == 0xff) {
            if (!in.byte(&marker))
                return end();
        }
        // A stuffed zero, and markers that stand alone, without a length.
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7))
            continue;
        if (marker == 0xd9)
            return end();
        if (!hasSegment(marker) || (marker == 0xda && !frame) || (isFrameMarker(marker) && frame))
            return ImageHeader();
        if (marker == 0xda && ++result.scans > ImageHeader::kMaxJpegScans)
            return ImageHeader();
        std::uint32_t length = 0;
        if (!in.bigEndian16(&length))
            return end();
        if (length < 2)
            return ImageHeader();
        if (isFrameMarker(marker)) {
            if (length < 8 || length - 2 > in.left() || !in.skip(1)
                || !in.bigEndian16(&result.height) || !in.bigEndian16(&result.width))
                return ImageHeader();
            in.skip(length - 7);
            frame = true;
        } else if (!in.skip(length - 2)) {
            return end();
        }
    }
}

// Skips a GIF colour table of the size the flags give, if they say there is one.
bool skipColourTable(Cursor* in, std::uint32_t flags)
{
    return !(flags & 0x80) || in->skip(3u << ((flags & 0x07) + 1));
}

// Skips data sub-blocks up to and with the empty one that ends them. Each
// byte of them that is there, in a block cut short too, goes to take until
// it returns false; then, as where the bytes end first, the skip fails.
template<typename Take> bool skipSubBlocks(Cursor* in, Take take)
{
    for (;;) {
        std::uint32_t length = 0;
        if (!in->byte(&length))
            return false;
        if (length == 0)
            return true;
        const unsigned char* data = in->here();
        const std::size_t present = std::min<std::size_t>(length, in->left());
        for (std::size_t i = 0; i < present; ++i) {
            if (!take(data[i]))
                return false;
        }
        if (!in->skip(length))
            return false;
    }
}

bool skipSubBlocks(Cursor* in)
{
    return skipSubBlocks(in, [](unsigned char) { return true; });
}

// Follows the LZW codes of a frame as the decoder reads them, and counts the
// pixels they make without making them: each table entry keeps the length
// of its string. The decoder takes codes that no encoder writes (a first
// code after a clear that is no colour, a code beyond the next free entry)
// and then makes strings out of stale or looping entries; the count cannot
// follow those, and stops there.
class GifPixelCount
{
public:
    // minimumCodeSize: at most 12, as the decoder takes it.
    GifPixelCount(std::uint32_t minimumCodeSize, std::uint64_t most)
        : m_minimumCodeSize(minimumCodeSize)
        , m_clearCode(1u << minimumCodeSize)
        , m_most(most)
    {
        reset();
    }

    std::uint64_t pixels() const { return m_pixels; }

    // Takes the next byte of the codes; false once they make more than the
    // most pixels, or take a turn the count cannot follow.
    bool take(unsigned char byte)
    {
        if (m_ended)
            return true;
        m_bits |= std::uint32_t(byte) << m_bitCount;
        m_bitCount += 8;
        while (m_bitCount >= m_codeSize) {
            const std::uint32_t code = m_bits & ((1u << m_codeSize) - 1);
            m_bits >>= m_codeSize;
            m_bitCount -= m_codeSize;
            if (code == m_clearCode) {
                if (!m_needFirst)
                    reset();
                m_needFirst = true;
                continue;
            }
            if (code == m_clearCode + 1) {
                // The end code: the decoder reads no code after it.
                m_ended = true;
                return true;
            }
            if (!add(code))
                return false;
        }
        return true;
    }

private:
    void reset()
    {
        m_codeSize = m_minimumCodeSize + 1;
        m_codeSizeLimit = 2 * m_clearCode;
        m_nextCode = m_clearCode + 2;
    }

    std::uint32_t length(std::uint32_t code) const
    {
        return code < m_clearCode ? 1 : m_lengths[code];
    }

    bool add(std::uint32_t code)
    {
        std::uint32_t made = 1;
        if (m_needFirst) {
            if (code >= m_clearCode)
                return false;
            m_needFirst = false;
        } else {
            const bool entry = code >= m_clearCode + 2 && code < m_nextCode;
            const bool next = code == m_nextCode && code < ImageHeader::kGifCodes;
            if (!(code < m_clearCode || entry || next))
                return false;
            // The new entry is the previous string and one pixel more; the
            // next free code stands for it before it is made.
            const std::uint32_t grown = length(m_previous) + 1;
            made = next ? grown : length(code);
            if (m_nextCode < ImageHeader::kGifCodes) {
                m_lengths[m_nextCode++] = std::uint16_t(grown);
                if (m_nextCode >= m_codeSizeLimit && m_codeSizeLimit < ImageHeader::kGifCodes) {
                    m_codeSizeLimit *= 2;
                    ++m_codeSize;
                }
            }
        }
        m_previous = code;
        m_pixels += made;
        return m_pixels <= m_most;
    }

    const std::uint32_t m_minimumCodeSize;
    const std::uint32_t m_clearCode;
    const std::uint64_t m_most;
    std::uint32_t m_codeSize = 0;
    std::uint32_t m_codeSizeLimit = 0;
    std::uint32_t m_nextCode = 0;
    std::uint32_t m_previous = 0;
    std::uint32_t m_bits = 0;
    std::uint32_t m_bitCount = 0;
    bool m_needFirst = true;
    bool m_ended = false;
    std::uint64_t m_pixels = 0;
    std::uint16_t m_lengths[ImageHeader::kGifCodes] = {};
};

// The decoder allocates its picture at the first frame: the logical screen,
// or where a side of the screen is 0, the frame's far edge on that side.
// Frames that reach beyond the screen are cut to it there; the bound does
// not rely on that and takes the larger of the two, over every frame. No
// frame, no picture: refused.
//
// A reader decodes the first frame only, and every code of it: pixels past
// the frame's end are dropped, but made all the same, and a few hundred
// kilobytes of codes that repeat a long string make hundreds of millions of
// them. So the first frame's codes may make no more pixels than the frame
// holds, and what one code adds besides (encoders that end a frame with a
// longer string than it needs).
ImageHeader readGif(Cursor in)
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t flags = 0;
    if (!in.skip(6) || !in.littleEndian16(&width) || !in.littleEndian16(&height) || !in.byte(&flags)
        || !in.skip(2) || !skipColourTable(&in, flags))
        return ImageHeader();
    bool frame = false;
    std::uint64_t pixels = 0;
    std::uint32_t introducer = 0;
    while (in.byte(&introducer)) {
        if (introducer == 0x2c) {
            std::uint32_t left = 0;
            std::uint32_t top = 0;
            std::uint32_t frameWidth = 0;
            std::uint32_t frameHeight = 0;
            if (!in.littleEndian16(&left) || !in.littleEndian16(&top)
                || !in.littleEndian16(&frameWidth) || !in.littleEndian16(&frameHeight)
                || !in.byte(&flags))
                break;
            const bool first = !frame;
            frame = true;
            width = std::max(width, left + frameWidth);
            height = std::max(height, top + frameHeight);
            std::uint32_t codeSize = 0;
            if (!skipColourTable(&in, flags) || !in.byte(&codeSize))
                break;
            if (!first) {
                if (!skipSubBlocks(&in))
                    break;
                continue;
            }
            // The decoder refuses a larger code size before it reads a code.
            if (codeSize > 12)
                return ImageHeader();
            GifPixelCount count(
                codeSize, std::uint64_t(frameWidth) * frameHeight + ImageHeader::kGifCodes);
            bool followed = true;
            const bool ended = skipSubBlocks(&in, [&](unsigned char byte) {
                followed = count.take(byte);
                return followed;
            });
            if (!followed)
                return ImageHeader();
            pixels = count.pixels();
            if (!ended)
                break;
        } else if (introducer == 0x21) {
            // The label, then the extension's data. The decoder reads the
            // first block of a graphic-control or application extension by
            // its length, and then blocks up to an empty one: a first block
            // of length 0 does not end these two, as it ends the others.
            std::uint32_t label = 0;
            std::uint32_t length = 0;
            if (!in.byte(&label)
                || ((label == 0xf9 || label == 0xff) && (!in.byte(&length) || !in.skip(length)))
                || !skipSubBlocks(&in))
                break;
        } else {
            // The trailer, or bytes the decoder stops at.
            break;
        }
    }
    if (!frame)
        return ImageHeader();
    ImageHeader result = header(ImageHeader::Format::Gif, width, height);
    result.pixels = pixels;
    return result;
}

} // namespace

ImageHeader ImageHeader::read(const unsigned char* data, std::size_t size)
{
    const Cursor in(data, size);
    if (in.startsWith("\x89PNG\r\n\x1a\n", 8))
        return readPng(in);
    if (in.startsWith("\xff\xd8", 2))
        return readJpeg(in);
    if (in.startsWith("GIF87a", 6) || in.startsWith("GIF89a", 6))
        return readGif(in);
    return ImageHeader();
}
