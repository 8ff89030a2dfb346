#include "fileunpackfunc_zip.h"

#include <QDebug>
#include <QFile>

#include <zlib.h>

namespace {

constexpr int kBufferSize = 16384;

} // namespace

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString& source, const QString& destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileUnpackFunc_Zip::run()
{
    const bool ok = unzipFile(m_Destination, m_Source);
    if (!ok)
        QFile::remove(m_Destination);
    return ok;
}

bool unzipFile(const QString& destination, const QString& source)
{
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    gzFile in = gzopen(source.toUtf8().constData(), "rb");
    if (!in)
        return false;
    gzrewind(in);
    char buffer[kBufferSize];
    for (bool first = true;; first = false) {
        const int got = gzread(in, buffer, kBufferSize);
        // zlib passes a file without the gzip header through unchanged; a
        // damaged or wrong file must fail here instead of being installed.
        if (first && gzdirect(in)) {
            qDebug() << "unzipFile: not a gzip file" << source;
            gzclose(in);
            out.remove();
            return false;
        }
        if (got == 0) {
            int error = Z_OK;
            gzerror(in, &error);
            // A stream cut off before its trailer reads as a short end.
            const bool complete = error == Z_OK || error == Z_STREAM_END;
            gzclose(in);
            out.close();
            if (!complete || out.error() != QFileDevice::NoError) {
                qDebug() << "unzipFile: incomplete" << source;
                out.remove();
                return false;
            }
            return true;
        }
        if (got < 0 || out.write(buffer, got) != got) {
            gzclose(in);
            out.remove();
            return false;
        }
    }
}
