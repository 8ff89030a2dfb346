#ifndef DOWNLOADENTRY_H
#define DOWNLOADENTRY_H

#include <QList>
#include <QString>

// One file to fetch from the file server.
struct DownloadEntry
{
    // Product-ini section, which is also the file's directory on the server.
    QString section;
    // Name on the server relative to the section, and the name under which
    // the fetched file is stored in the update's temporary directory.
    QString key;
    // SHA-512 of the file as fetched, hexadecimal.
    QString hash;
    quint64 size = 0;
};

typedef QList<DownloadEntry> DownloadList;

#endif
