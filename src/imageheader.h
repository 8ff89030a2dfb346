#ifndef IMAGEHEADER_H
#define IMAGEHEADER_H

#include <cstddef>
#include <cstdint>

// The picture that decoding an image allocates, read from its bytes without
// decoding them. Decoders do not all keep to the first size a header states:
// a GIF decoder allocates the logical screen whatever the frame says, and
// makes every pixel its codes give, inside the frame or not; an icon holds a
// picture of any size behind a directory entry of 16x16, a PNG decoder
// inflates compressed text beside the pixels. So only PNG, JPEG and GIF are
// known here, each read the way its decoder reads it; any other format, bytes
// cut short before the size, a PNG with compressed text, a JPEG of more scans
// than encoders write (each scan is a pass of the decoder over the whole
// picture) or with markers the check cannot follow the decoder through, and a
// GIF whose first frame's codes make more pixels than the frame holds, or
// codes the check cannot follow, come out as Unknown. Reads stay within the
// bytes given, whatever lengths they claim.
struct ImageHeader
{
    enum class Format
    {
        Unknown,
        Png,
        Jpeg,
        Gif
    };

    static ImageHeader read(const unsigned char* data, std::size_t size);

    // Progressive encoders write about ten scans; at the largest picture a
    // banner may have, each costs the decoder a few milliseconds.
    static constexpr int kMaxJpegScans = 32;

    // The entries of a GIF's code table; no code's string is longer.
    static constexpr std::uint32_t kGifCodes = 4096;

    Format format = Format::Unknown;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // The scans of a JPEG that the decoder may read: no more than
    // kMaxJpegScans.
    int scans = 0;
    // The pixels the codes of a GIF's first frame (the one a reader decodes)
    // make: no more than the frame holds and one code's string besides.
    std::uint64_t pixels = 0;
};

#endif
