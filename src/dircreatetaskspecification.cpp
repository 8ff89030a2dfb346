#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(
    const QString& directory, RollbackDataList* rollbackList, QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(directory, rollbackList, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return createDir(m_Path);
}

bool DirCreateTaskSpecification::createDir(const QString& directory)
{
    const QFileInfo info(directory);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(
            QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                .arg(directory));
        return false;
    }
    const QString parentPath = info.path();
    if (parentPath == QLatin1String(".") || info.isRoot() || parentPath == directory) {
        emit message(QStringLiteral("Could not create dir %1").arg(m_Path));
        return false;
    }
    // Missing parents first, so that each level is recorded before the
    // levels below it and an undo removes them deepest first.
    if (!QFileInfo::exists(parentPath) && !createDir(parentPath))
        return false;
    if (!QDir(parentPath).mkdir(info.fileName())) {
        emit message(QStringLiteral("unable to create dir %1").arg(directory));
        return false;
    }
    addRollbackData(RollbackData(DIR_CREATE, directory));
    return true;
}
