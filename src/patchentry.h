#ifndef PATCHENTRY_H
#define PATCHENTRY_H

#include <QMultiHash>
#include <QString>

// A patch line of the product ini while its section is compiled: the patch
// file turns the installed file whose hash is baseHash into the new
// targetPath.
struct PatchEntry
{
    QString section;
    QString key;
    QString hash;
    quint64 size = 0;
    QString targetPath;
    QString baseHash;
    quint64 baseSize = 0;
};

// Patch lines of one section by targetPath; values() lists the most recently
// added first.
typedef QMultiHash<QString, PatchEntry> PatchTable;

#endif
