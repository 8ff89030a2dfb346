#include "filerenametaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& source,
    const QString& newName, RollbackDataList* rollbackList, QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(newName, rollbackList, parent, weight)
    , m_Source(source)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QFileInfo target(m_Path);
    if (!target.dir().exists())
        QDir().mkdir(target.path());
    if (!QFile::rename(m_Source, m_Path)) {
        emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(m_Source, m_Path));
        return false;
    }
    addRollbackData(RollbackData(FILE_RENAME, m_Path, m_Source));
    return true;
}
