#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(
    bool failOnError, const QString& path, bool recursive, QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , m_FailOnError(failOnError)
    , m_Recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const QFileInfo info(m_Path);
    bool ok = false;
    // A symbolic link is removed as a link: following one to a directory
    // would delete what it points to, which may lie outside the installation.
    if (!info.isDir() || info.isSymLink()) {
        ok = QFile::remove(m_Path);
        qDebug() << "Deleted file" << m_Path << ok;
        if (ok)
            emit message(QStringLiteral("Deleted file '%1'").arg(m_Path));
    } else if (!m_Recursive) {
        ok = QDir().rmpath(m_Path);
        qDebug() << "Deleted directory" << m_Path << ok;
        if (ok)
            emit message(QStringLiteral("Deleted directory '%1'").arg(m_Path));
    } else {
        ok = QDir(m_Path).removeRecursively();
        qDebug() << "Recursively deleted directory" << m_Path << ok;
        if (ok)
            emit message(QStringLiteral("Recursively deleted directory '%1'").arg(m_Path));
    }
    if (m_FailOnError && !ok) {
        emit message(QStringLiteral("Could not delete '%1'").arg(m_Path));
        return false;
    }
    return true;
}
