#ifndef DELETEENTRY_H
#define DELETEENTRY_H

#include <QList>
#include <QString>

// One installed path to delete.
struct DeleteEntry
{
    // Relative to the installation directory.
    QString path;
    bool isDir = false;
};

typedef QList<DeleteEntry> DeleteList;

#endif
