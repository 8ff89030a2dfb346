#include "fileunpackfunc_lzma2.h"

#include "compressedfile.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(
    const QString& source, const QString& destination, uint32_t restoredLimit, bool plainOnly)
    : SlowFileOpFunc(source, destination)
    , m_RestoredLimit(restoredLimit)
    , m_PlainOnly(plainOnly)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(m_Source, m_Destination, m_RestoredLimit, m_PlainOnly);
}

bool unpackFile(
    const QString& source, const QString& destination, uint32_t restoredLimit, bool plainOnly)
{
    const bool ok = kvpatch::DecompressFile(source.toUtf8().toStdString(),
        destination.toUtf8().toStdString(), restoredLimit, plainOnly);
    qDebug() << "unpackFile" << source << destination << ok;
    return ok;
}
