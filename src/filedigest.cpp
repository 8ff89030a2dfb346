#include "filedigest.h"

#include <QFile>

#include <tomcrypt.h>

namespace {

constexpr int digestLength = 64;
constexpr qint64 readPiece = 1 << 20;

QString toHex(const unsigned char* digest)
{
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char*>(digest), digestLength).toHex());
}

} // namespace

QString sha512Hex(const QByteArray& data)
{
    hash_state state;
    unsigned char digest[digestLength];
    sha512_init(&state);
    sha512_process(&state, reinterpret_cast<const unsigned char*>(data.constData()),
        static_cast<unsigned long>(data.size()));
    sha512_done(&state, digest);
    return toHex(digest);
}

DigestStatus sha512HexOfFile(const QString& path, QString* hex)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return DigestStatus::CannotOpen;
    hash_state state;
    sha512_init(&state);
    QByteArray piece(readPiece, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(piece.data(), readPiece);
        if (got < 0)
            return DigestStatus::ReadError;
        if (got == 0)
            break;
        sha512_process(&state, reinterpret_cast<const unsigned char*>(piece.constData()),
            static_cast<unsigned long>(got));
    }
    unsigned char digest[digestLength];
    sha512_done(&state, digest);
    *hex = toHex(digest);
    return DigestStatus::Ok;
}

bool digestMatches(const QString& digestHex, const QString& expected)
{
    return !expected.isEmpty() && digestHex.compare(expected, Qt::CaseInsensitive) == 0;
}
