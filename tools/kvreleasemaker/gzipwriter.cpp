#include "gzipwriter.h"

#include <QFile>

#include <zlib.h>

bool gzipFile(const QString& source, const QString& destination, QString* error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
        return false;
    }
    gzFile out = gzopen(QFile::encodeName(destination).constData(), "wb9");
    if (out == nullptr) {
        *error = QStringLiteral("cannot write %1").arg(destination);
        return false;
    }
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    bool ok = true;
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (gzwrite(out, buffer.constData(), unsigned(got)) != int(got)) {
            *error = QStringLiteral("cannot write %1").arg(destination);
            ok = false;
            break;
        }
    }
    // gzclose flushes what zlib still holds; a full disk shows here.
    if (gzclose(out) != Z_OK && ok) {
        *error = QStringLiteral("cannot write %1").arg(destination);
        ok = false;
    }
    if (!ok)
        QFile::remove(destination);
    return ok;
}
