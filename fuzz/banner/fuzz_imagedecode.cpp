// Reads arbitrary bytes as a banner image and, when the header check lets
// the window decode it, decodes it: a JPEG with the system's JPEG library,
// driven as Qt's reader drives it, counting the scans the library reads; a
// PNG or GIF with Qt's own reader, named as the window names it. The decoder
// must read no more scans than the check counted and make no picture wider
// or higher than the check said.
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
        break;
    case ImageHeader::Format::Unknown:
        break;
    }
    return 0;
}
