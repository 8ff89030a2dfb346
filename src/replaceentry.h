#ifndef REPLACEENTRY_H
#define REPLACEENTRY_H

#include <QList>
#include <QString>

// One installed file to produce from what was fetched: copied as it is,
// unpacked, or patched from the installed file.
struct ReplaceEntry
{
    bool hasTargetPath() const { return !targetPath.isEmpty(); }
    bool hasPatch() const { return !patchKey.isEmpty(); }
    // Installed path relative to the installation directory.
    QString installPath() const { return hasTargetPath() ? targetPath : key; }
    // installPath(), with namePrefix put before its last component.
    QString filePath(const QString& namePrefix) const;

    // Section and key of the file line.
    QString section;
    QString key;
    // SHA-512 of the installed result; empty for a line without one.
    QString hash;
    quint64 size = 0;
    // Installed path; empty means the key is that path.
    QString targetPath;
    // Key of the patch file that produces the installed file from the
    // current one; empty means no patch.
    QString patchKey;
};

typedef QList<ReplaceEntry> ReplaceList;

#endif
