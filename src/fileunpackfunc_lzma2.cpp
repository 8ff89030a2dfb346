#include "fileunpackfunc_lzma2.h"

#include "compressedfile.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& source, const QString& destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(m_Source, m_Destination);
}

bool unpackFile(const QString& source, const QString& destination)
{
    const bool ok = kvpatch::DecompressFile(
        source.toUtf8().toStdString(), destination.toUtf8().toStdString());
    qDebug() << "unpackFile" << source << destination << ok;
    return ok;
}
