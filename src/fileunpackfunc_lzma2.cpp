#include "fileunpackfunc_lzma2.h"

#include "compressedfile.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(
    const QString& source, const QString& destination, uint32_t restoredLimit)
    : SlowFileOpFunc(source, destination)
    , m_RestoredLimit(restoredLimit)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(m_Source, m_Destination, m_RestoredLimit);
}

bool unpackFile(const QString& source, const QString& destination, uint32_t restoredLimit)
{
    const bool ok = kvpatch::DecompressFile(
        source.toUtf8().toStdString(), destination.toUtf8().toStdString(), restoredLimit);
    qDebug() << "unpackFile" << source << destination << ok;
    return ok;
}
