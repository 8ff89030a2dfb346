#include "fileunpacktaskspecification_lzma2.h"

#include "fileunpackfunc_lzma2.h"

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList,
    const QString& source, const QString& destination, QObject* parent, qreal weight,
    uint32_t restoredLimit, bool plainOnly)
    : SlowFileOpSpecification(
        QStringLiteral("Could not unpack '%1' to '%2'").arg(source, destination), rollbackList,
        source, destination, parent, weight)
    , m_RestoredLimit(restoredLimit)
    , m_PlainOnly(plainOnly)
{
}

uint32_t FileUnpackTaskSpecification_lzma2::limitFor(quint64 installedSize)
{
    // The container cannot hold 4 GiB or more; such a size bounds nothing.
    return installedSize < UINT32_MAX ? uint32_t(installedSize) : UINT32_MAX;
}

ASyncFunc* FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(m_Source, m_Destination, m_RestoredLimit, m_PlainOnly);
}
