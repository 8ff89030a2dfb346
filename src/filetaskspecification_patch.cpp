#include "filetaskspecification_patch.h"

#include "filefuncpatch.h"

#include <QDebug>

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList* rollbackList,
    const QString& source, const QString& patch, const QString& destination, QObject* parent,
    qreal weight, quint64 newSize)
    : SlowFileOpSpecification(
        QStringLiteral("Could not patch '%1' to '%2'").arg(source, destination), rollbackList,
        source, patch, destination, parent, weight)
    , m_NewSize(newSize)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << source << "patchFile:" << patch << "dstFile:" << destination;
}

ASyncFunc* FileTaskSpecification_patch::createFunc()
{
    return new FileFuncPatch(m_Source, m_Patch, m_Destination, m_NewSize);
}
