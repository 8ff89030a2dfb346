#ifndef TESTGIF_H
#define TESTGIF_H

#include <QByteArray>
#include <QHash>
#include <QVector>

// GIFs built code by code, for the header check's rows and the decoding
// tests: the codes are packed the way a reader unpacks them, each in as many
// bits as the reader's table then needs.

// The codes of a frame in blocks of 255 bytes, with the empty block after.
inline QByteArray gifCodeBlocks(int minimumCodeSize, const QVector<int>& codes)
{
    const int clear = 1 << minimumCodeSize;
    int size = minimumCodeSize + 1;
    int limit = 2 * clear;
    int next = clear + 2;
    bool first = true;
    QByteArray bytes;
    quint32 bits = 0;
    int count = 0;
    for (int code : codes) {
        bits |= quint32(code) << count;
        count += size;
        while (count >= 8) {
            bytes += char(bits & 0xff);
            bits >>= 8;
            count -= 8;
        }
        // The reader's table after this code: a clear empties it, every code
        // but the first after a clear adds an entry.
        if (code == clear) {
            size = minimumCodeSize + 1;
            limit = 2 * clear;
            next = clear + 2;
            first = true;
        } else if (code != clear + 1) {
            if (!first && next < 4096 && ++next >= limit && limit < 4096) {
                limit *= 2;
                ++size;
            }
            first = false;
        }
    }
    if (count > 0)
        bytes += char(bits & 0xff);
    QByteArray blocks;
    for (int at = 0; at < bytes.size(); at += 255) {
        const QByteArray block = bytes.mid(at, 255);
        blocks += char(block.size()) + block;
    }
    return blocks + '\0';
}

// The codes that encode pixels (colour indices below 2^minimumCodeSize),
// with a clear code first and whenever the table is full, and the end code.
inline QVector<int> lzwCodes(int minimumCodeSize, const QByteArray& pixels)
{
    const int clear = 1 << minimumCodeSize;
    QVector<int> codes {clear};
    QHash<quint32, int> table;
    int next = clear + 2;
    int current = -1;
    for (char pixel : pixels) {
        const int colour = quint8(pixel);
        if (current < 0) {
            current = colour;
            continue;
        }
        const quint32 key = quint32(current) << 12 | quint32(colour);
        const auto found = table.constFind(key);
        if (found != table.constEnd()) {
            current = *found;
            continue;
        }
        codes << current;
        table.insert(key, next++);
        if (next == 4096) {
            codes << clear;
            table.clear();
            next = clear + 2;
        }
        current = colour;
    }
    if (current >= 0)
        codes << current;
    return codes << clear + 1;
}

// The codes of a picture of one colour that fill the table with ever longer
// strings (the next code each time) and then repeat the longest, `repeats`
// times: a few bytes a code, thousands of pixels each.
inline QVector<int> longStringCodes(int minimumCodeSize, int repeats)
{
    const int clear = 1 << minimumCodeSize;
    QVector<int> codes {clear, 0};
    for (int code = clear + 2; code < 4096; ++code)
        codes << code;
    for (int i = 0; i < repeats; ++i)
        codes << 4095;
    return codes << clear + 1;
}

inline QByteArray gifNumber(int value)
{
    return QByteArray(1, char(value & 0xff)) + char(value >> 8 & 0xff);
}

// A frame's image descriptor, with a local colour table when localColours
// is not 0, then its codes.
inline QByteArray gifFrame(int width, int height, int minimumCodeSize, const QVector<int>& codes,
    bool interlaced = false, int localColours = 0)
{
    int flags = interlaced ? 0x40 : 0;
    int tableBits = 0;
    while (localColours > 0 && (2 << tableBits) < localColours)
        ++tableBits;
    if (localColours > 0)
        flags |= 0x80 | tableBits;
    QByteArray frame
        = ',' + gifNumber(0) + gifNumber(0) + gifNumber(width) + gifNumber(height) + char(flags);
    if (localColours > 0)
        frame += QByteArray(3 * (2 << tableBits), '\x40');
    return frame + char(minimumCodeSize) + gifCodeBlocks(minimumCodeSize, codes);
}

// A GIF of a width x height screen with a global table of 256 colours and
// the frames (and extensions) given.
inline QByteArray gifFile(int width, int height, const QByteArray& frames)
{
    return "GIF89a" + gifNumber(width) + gifNumber(height) + QByteArray("\xf7\0\0", 3)
        + QByteArray(768, '\x80') + frames + ';';
}

#endif
