// Reads arbitrary bytes as a banner image and, when the header check lets
// the window decode it, decodes it: a JPEG with the system's JPEG library,
// driven as Qt's reader drives it, counting the scans the library reads; a
// PNG or GIF with Qt's own reader, named as the window names it. The decoder
// must read no more scans than the check counted and make no picture wider
// or higher than the check said. A GIF's first frame is decoded once more,
// on its own in a picture that shows every pixel its codes make: the decoder
// must make no more than the check counted.
#include "banner.h"
#include "imageheader.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

#include <jpeglib.h>

namespace {

struct JpegDecode
{
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    int scans = 0;
    JDIMENSION width = 0;
    JDIMENSION height = 0;
};

// The library counts a scan when it has read the scan's header.
void recordScans(j_common_ptr common)
{
    auto* decode = static_cast<JpegDecode*>(common->client_data);
    decode->scans = std::max(decode->scans, decode->info.input_scan_number);
}

// An error ends the decode, as it ends Qt's; what was read up to it counts.
[[noreturn]] void stopDecoding(j_common_ptr common)
{
    recordScans(common);
    std::longjmp(static_cast<JpegDecode*>(common->client_data)->jump, 1);
}

void noMessage(j_common_ptr) { }

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

// Qt's reader keeps the comments, the Exif data and the colour profile, so
// the library reads those segments through its saving reader, not its
// skipping one; then it decodes in its ordinary mode, every scan before the
// first row.
void decodeJpeg(const uint8_t* data, size_t size, const ImageHeader& header)
{
    const auto decode = std::make_unique<JpegDecode>();
    jpeg_decompress_struct* info = &decode->info;
    info->err = jpeg_std_error(&decode->errors);
    decode->errors.error_exit = stopDecoding;
    decode->errors.output_message = noMessage;
    info->client_data = decode.get();
    if (setjmp(decode->jump) == 0) {
        jpeg_create_decompress(info);
        decode->progress.progress_monitor = recordScans;
        info->progress = &decode->progress;
        jpeg_mem_src(info, data, static_cast<unsigned long>(size));
        jpeg_save_markers(info, JPEG_COM, 0xffff);
        jpeg_save_markers(info, JPEG_APP0 + 1, 0xffff);
        jpeg_save_markers(info, JPEG_APP0 + 2, 0xffff);
        jpeg_read_header(info, TRUE);
        decode->width = info->image_width;
        decode->height = info->image_height;
        jpeg_start_decompress(info);
        // From the library's pool, so that an error leaves nothing behind.
        const JSAMPARRAY row = (*info->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(info),
            JPOOL_IMAGE, info->output_width * JDIMENSION(info->output_components), 1);
        while (info->output_scanline < info->output_height)
            jpeg_read_scanlines(info, row, 1);
        jpeg_finish_decompress(info);
    }
    recordScans(reinterpret_cast<j_common_ptr>(info));
    jpeg_destroy_decompress(info);
    if (decode->scans > header.scans || decode->scans > ImageHeader::kMaxJpegScans
        || decode->width > header.width || decode->height > header.height) {
        std::fprintf(stderr, "check: %ux%u, %d scans; decoder: %ux%u, %d scans\n", header.width,
            header.height, header.scans, decode->width, decode->height, decode->scans);
        std::abort();
    }
}

void decodeWithQt(const uint8_t* data, size_t size, const char* format, const ImageHeader& header)
{
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    const QImage image = QImageReader(&buffer, format).read();
    if (!image.isNull()
        && (std::uint32_t(image.width()) > header.width
            || std::uint32_t(image.height()) > header.height)) {
        std::fprintf(stderr, "check: %ux%u; decoder: %dx%d\n", header.width, header.height,
            image.width(), image.height());
        std::abort();
    }
}

// Where the reader finds the first frame's codes: its walk from the header
// to the first image descriptor, kept to what sets where blocks begin. The
// first block of a graphic-control or application extension is read by its
// length even when that is 0; other extensions are blocks up to an empty
// one. The code size and the blocks, then the trailer where they end; cut
// short, they stay cut, so that the reader reads no byte that was not
// there. Empty when the reader stops before a frame.
QByteArray firstFrameCodes(const uint8_t* data, size_t size)
{
    size_t at = 13;
    auto blocks = [&] {
        while (at < size && data[at] != 0)
            at += 1 + size_t(data[at]);
        ++at;
    };
    if (size < at)
        return QByteArray();
    if (data[10] & 0x80)
        at += 3u << ((data[10] & 7) + 1);
    while (at < size) {
        const uint8_t introducer = data[at++];
        if (introducer == 0x21) {
            if (at >= size)
                break;
            const uint8_t label = data[at++];
            if ((label == 0xf9 || label == 0xff) && at < size)
                at += 1 + size_t(data[at]);
            blocks();
        } else if (introducer == 0x2c) {
            at += 9;
            if (at > size)
                break;
            const uint8_t flags = data[at - 1];
            if (flags & 0x80)
                at += 3u << ((flags & 7) + 1);
            // The code size, then the blocks as far as they go.
            const size_t start = at;
            ++at;
            blocks();
            if (start >= size)
                return QByteArray();
            const QByteArray codes(
                reinterpret_cast<const char*>(data + start), int(std::min(at, size) - start));
            return at <= size ? codes + ';' : codes;
        } else {
            break;
        }
    }
    return QByteArray();
}

// The pixels past a frame's end do not show: the reader makes them and drops
// them. So the first frame's codes go into a frame of their own, as wide as
// its screen, with room for every pixel the check counted and a row more,
// not interlaced, in a colour table of white only; the reader puts its
// pixels in order into a picture cleared to zero, where each one shows. A
// pixel beyond the ones the check counted is one it did not count.
void decodeGifCodes(const uint8_t* data, size_t size, const ImageHeader& header)
{
    const QByteArray codes = firstFrameCodes(data, size);
    if (codes.isEmpty())
        return;
    const int width = 256;
    const int height = int(header.pixels / width) + 2;
    auto little16 = [](int value) { return QByteArray(1, char(value & 0xff)) + char(value >> 8); };
    const QByteArray screen = little16(width) + little16(height);
    QByteArray probe = "GIF89a" + screen + QByteArray("\xf7\0\0", 3) + QByteArray(768, '\xff') + ','
        + QByteArray(4, '\0') + screen + '\0' + codes;
    QBuffer buffer(&probe);
    buffer.open(QIODevice::ReadOnly);
    const QImage image = QImageReader(&buffer, "gif").read();
    if (image.isNull())
        return;
    uint64_t made = 0;
    for (int y = image.height() - 1; y >= 0 && made == 0; --y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = image.width() - 1; x >= 0; --x) {
            if (line[x] != 0) {
                made = uint64_t(y) * width + uint64_t(x) + 1;
                break;
            }
        }
    }
    if (made > header.pixels) {
        std::fprintf(stderr, "check: %llu pixels; decoder: %llu or more\n",
            static_cast<unsigned long long>(header.pixels), static_cast<unsigned long long>(made));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Qt's readers warn about every broken picture.
    qInstallMessageHandler(dropMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > std::size_t(std::numeric_limits<int>::max()))
        return 0;
    const ImageHeader header = ImageHeader::read(data, size);
    // What the window decodes; the rest it ignores.
    if (header.format == ImageHeader::Format::Unknown || header.width == 0 || header.height == 0
        || header.width > std::uint32_t(Banner::kMaxImageSide)
        || header.height > std::uint32_t(Banner::kMaxImageSide)
        || qint64(header.width) * header.height > Banner::kMaxImagePixels)
        return 0;
    switch (header.format) {
    case ImageHeader::Format::Jpeg:
        decodeJpeg(data, size, header);
        break;
    case ImageHeader::Format::Png:
        decodeWithQt(data, size, "png", header);
        break;
    case ImageHeader::Format::Gif:
        decodeWithQt(data, size, "gif", header);
        decodeGifCodes(data, size, header);
        break;
    case ImageHeader::Format::Unknown:
        break;
    }
    return 0;
}
