// The files and directories of one installation directory.
#pragma once

#include <QMap>
#include <QSet>
#include <QString>

class InstallationScan
{
public:
    // Lists every regular file (with its size) and directory below dir, as
    // "/"-separated relative paths. False with *error for a missing
    // directory, an unreadable entry, a symbolic link or a special file: the
    // updater ships and installs regular files only.
    bool scan(const QString& dir, QString* error);

    QString dir() const { return m_Dir; }
    const QMap<QString, qint64>& files() const { return m_Files; }
    const QSet<QString>& directories() const { return m_Directories; }
    bool hasFile(const QString& path) const { return m_Files.contains(path); }
    bool hasDirectory(const QString& path) const { return m_Directories.contains(path); }

private:
    QString m_Dir;
    QMap<QString, qint64> m_Files; // sorted, so trees come out the same each time
    QSet<QString> m_Directories;
};
