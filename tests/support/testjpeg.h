#ifndef TESTJPEG_H
#define TESTJPEG_H

#include <QByteArray>

#include <algorithm>

// A greyscale progressive JPEG of width x height whose scans only skip
// blocks: its tables come before the frame header, as many encoders write
// them, then `scans` identical AC refinement scans, each of which covers
// every block with end-of-band runs. A scan takes a dozen bytes, yet the
// decoder passes over every coefficient of every block in it; what decoding
// costs is then set by the number of scans and the picture's size, not by
// the bytes. The bytes of `insert`, if any, go in before scan number
// `before` (0: right after the frame header; `scans`: after the last scan).
inline QByteArray blockSkippingJpeg(
    int width, int height, int scans, const QByteArray& insert = QByteArray(), int before = 0)
{
    auto segment = [](char marker, const QByteArray& payload) {
        const int length = payload.size() + 2;
        return QByteArray("\xff", 1) + marker + char(length >> 8) + char(length & 0xff) + payload;
    };
    QByteArray jpeg("\xff\xd8", 2);
    jpeg += segment('\xdb', QByteArray(1, '\0') + QByteArray(64, '\x01'));
    // One AC table: the fifteen end-of-band run symbols, four-bit codes.
    QByteArray table("\x10\0\0\0\x0f", 5);
    table += QByteArray(12, '\0');
    for (int r = 0; r < 15; ++r)
        table += char(r << 4);
    jpeg += segment('\xc4', table);
    jpeg += segment('\xc2',
        QByteArray("\x08", 1) + char(height >> 8) + char(height & 0xff) + char(width >> 8)
            + char(width & 0xff) + QByteArray("\x01\x01\x11\x00", 4));

    QByteArray data;
    unsigned bits = 0;
    int count = 0;
    auto put = [&](unsigned value, int length) {
        for (int i = length - 1; i >= 0; --i) {
            bits = bits << 1 | (value >> i & 1);
            if (++count == 8) {
                data += char(bits);
                if (bits == 0xff)
                    data += '\0';
                bits = 0;
                count = 0;
            }
        }
    };
    // A run of 2^r + extra blocks is symbol r (code r), then r bits of extra.
    int blocks = ((width + 7) / 8) * ((height + 7) / 8);
    while (blocks > 0) {
        int r = 0;
        while (r < 14 && (2 << r) <= blocks)
            ++r;
        const int run = std::min(blocks, (2 << r) - 1);
        put(unsigned(r), 4);
        put(unsigned(run - (1 << r)), r);
        blocks -= run;
    }
    if (count > 0)
        put(0x7f, 8 - count);
    const QByteArray scan = segment('\xda', QByteArray("\x01\x01\x00\x01\x3f\x10", 6)) + data;
    jpeg += scan.repeated(before) + insert + scan.repeated(scans - before);
    return jpeg + QByteArray("\xff\xd9", 2);
}

#endif
