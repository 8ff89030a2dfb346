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
// lies. The walk ends where the bytes end, as the decoder's read does.
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
        if (internationalText
            && compressedInternationalText(in.here(), std::min<std::size_t>(length, in.left())))
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

// Whether no more than kMaxJpegScans scans follow. The decoder makes a pass
// over every block of a scan's components, so the number of scans, not the
// bytes, sets how long decoding takes: a scan that only skips blocks is a
// dozen bytes. Markers are found as the
// decoder finds them: segments are passed by their lengths, and the coded
// data of a scan, like stray bytes, up to the next 0xff that is neither fill
// nor a stuffed zero nor a restart. Where the bytes end or stop making
// sense, the decoder stops too.
bool scansWithinLimit(Cursor in)
{
    int scans = 0;
    for (;;) {
        std::uint32_t marker = 0;
        while (marker != 0xff) {
            if (!in.byte(&marker))
                return true;
        }
        while (marker == 0xff) {
            if (!in.byte(&marker))
                return true;
        }
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7))
            continue;
        if (marker == 0xd8 || marker == 0xd9)
            return true;
        if (marker == 0xda && ++scans > ImageHeader::kMaxJpegScans)
            return false;
        std::uint32_t length = 0;
        if (!in.bigEndian16(&length) || length < 2 || !in.skip(length - 2))
            return true;
    }
}

// The decoder walks the marker segments after SOI by their lengths and takes
// the size from the first frame header; a second one, or a scan or the end
// before any, is an error there. Anything this walk cannot follow within
// the bytes, such as a length that runs past them, is refused, as is a
// picture of more scans than encoders write.
ImageHeader readJpeg(Cursor in)
{
    in.skip(2);
    for (;;) {
        std::uint32_t marker = 0;
        if (!in.byte(&marker) || marker != 0xff)
            return ImageHeader();
        while (marker == 0xff) {
            if (!in.byte(&marker))
                return ImageHeader();
        }
        // Markers that stand alone, without a length.
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7))
            continue;
        std::uint32_t length = 0;
        if (marker == 0x00 || marker == 0xd8 || marker == 0xd9 || marker == 0xda
            || !in.bigEndian16(&length) || length < 2 || length - 2 > in.left())
            return ImageHeader();
        if (isFrameMarker(marker)) {
            std::uint32_t width = 0;
            std::uint32_t height = 0;
            if (length < 8 || !in.skip(1) || !in.bigEndian16(&height) || !in.bigEndian16(&width)
                || !in.skip(length - 7) || !scansWithinLimit(in))
                return ImageHeader();
            return header(ImageHeader::Format::Jpeg, width, height);
        }
        in.skip(length - 2);
    }
}

// Skips a GIF colour table of the size the flags give, if they say there is one.
bool skipColourTable(Cursor* in, std::uint32_t flags)
{
    return !(flags & 0x80) || in->skip(3u << ((flags & 0x07) + 1));
}

// Skips data sub-blocks up to and with the empty one that ends them.
bool skipSubBlocks(Cursor* in)
{
    for (;;) {
        std::uint32_t length = 0;
        if (!in->byte(&length))
            return false;
        if (length == 0)
            return true;
        if (!in->skip(length))
            return false;
    }
}

// The decoder allocates its picture at the first frame: the logical screen,
// or where a side of the screen is 0, the frame's far edge on that side.
// Frames that reach beyond the screen are cut to it there; the bound does
// not rely on that and takes the larger of the two, over every frame. No
// frame, no picture: refused.
ImageHeader readGif(Cursor in)
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t flags = 0;
    if (!in.skip(6) || !in.littleEndian16(&width) || !in.littleEndian16(&height) || !in.byte(&flags)
        || !in.skip(2) || !skipColourTable(&in, flags))
        return ImageHeader();
    bool frame = false;
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
            frame = true;
            width = std::max(width, left + frameWidth);
            height = std::max(height, top + frameHeight);
            // The code size byte, then the pixels.
            if (!skipColourTable(&in, flags) || !in.skip(1) || !skipSubBlocks(&in))
                break;
        } else if (introducer == 0x21) {
            // The label, then the extension's data.
            if (!in.skip(1) || !skipSubBlocks(&in))
                break;
        } else {
            // The trailer, or bytes the decoder stops at.
            break;
        }
    }
    return frame ? header(ImageHeader::Format::Gif, width, height) : ImageHeader();
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
