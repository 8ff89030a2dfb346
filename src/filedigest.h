#ifndef FILEDIGEST_H
#define FILEDIGEST_H

#include <QByteArray>
#include <QString>

// SHA-512 digests as the product ini writes them: 128 hexadecimal digits.

enum class DigestStatus
{
    Ok,
    CannotOpen,
    ReadError
};

QString sha512Hex(const QByteArray& data);
// Hashes the file in fixed-size pieces, so memory stays bounded whatever the
// file's size. *hex is set only on DigestStatus::Ok.
DigestStatus sha512HexOfFile(const QString& path, QString* hex);
// Compares without regard to case and trims nothing; an empty expected text
// matches no digest.
bool digestMatches(const QString& digestHex, const QString& expected);

#endif
