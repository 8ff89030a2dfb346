#include "fileunpackfunc_zip.h"

#include "replacingfilewriter.h"

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
    gzFile in = gzopen(source.toUtf8().constData(), "rb");
    if (!in)
        return false;
    // Written beside the destination and renamed over it, as the container
    // and patch writers do: a link at the destination is replaced, never
    // written through, and nothing half written stands under its name.
    kvpatch::ReplacingFileWriter out(QFile::encodeName(destination).toStdString());
    gzrewind(in);
    char buffer[kBufferSize];
    for (bool first = true;; first = false) {
        const int got = gzread(in, buffer, kBufferSize);
        // zlib passes a file without the gzip header through unchanged; a
        // damaged or wrong file must fail here instead of being installed.
        if (first && gzdirect(in)) {
            qDebug() << "unzipFile: not a gzip file" << source;
            gzclose(in);
            return false;
        }
        if (got == 0) {
            int error = Z_OK;
            gzerror(in, &error);
            // A stream cut off before its trailer reads as a short end.
            const bool complete = error == Z_OK || error == Z_STREAM_END;
            gzclose(in);
            if (!complete || !out.Commit()) {
                qDebug() << "unzipFile: incomplete" << source;
                return false;
            }
            return true;
        }
        if (got < 0 || !out.Write(buffer, size_t(got))) {
            gzclose(in);
            return false;
        }
    }
}
