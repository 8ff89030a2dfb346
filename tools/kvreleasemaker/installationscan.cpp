#include "installationscan.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

bool InstallationScan::scan(const QString& dir, QString* error)
{
    m_Files.clear();
    m_Directories.clear();
    const QFileInfo root(dir);
    if (!root.isDir()) {
        *error = QStringLiteral("%1 is not a directory").arg(dir);
        return false;
    }
    m_Dir = root.absoluteFilePath();
    const QDir base(m_Dir);
    QDirIterator it(m_Dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(info.filePath());
        if (info.isSymLink()) {
            *error = QStringLiteral("%1 is a symbolic link; the updater installs regular files "
                                    "only, so copy the file it points to into the release")
                         .arg(info.filePath());
            return false;
        }
        if (info.isDir()) {
            if (!info.isReadable() || !info.isExecutable()) {
                *error = QStringLiteral("cannot read the directory %1").arg(info.filePath());
                return false;
            }
            m_Directories.insert(relative);
        } else if (info.isFile()) {
            if (!info.isReadable()) {
                *error = QStringLiteral("cannot read %1").arg(info.filePath());
                return false;
            }
            m_Files.insert(relative, info.size());
        } else {
            *error = QStringLiteral("%1 is neither a file nor a directory").arg(info.filePath());
            return false;
        }
    }
    return true;
}
