#ifndef FILEHASHCACHE_H
#define FILEHASHCACHE_H

#include <QHash>
#include <QString>
#include <QStringList>

// The hash check of files during one compile of the product ini: each file
// is read and hashed at most once, however many expected hashes it is
// compared with (patch bases, the current version).
class FileHashCache
{
public:
    // Hashes the files not known yet, several at a time, so that reading
    // and hashing a whole installation keeps the disk and the cores busy.
    void hashAll(const QStringList& paths);
    // SHA-512 of the file against expected, without regard to case; an
    // unreadable file matches nothing. An empty expected hash selects the
    // signature check of the file against the signature file beside it.
    bool matches(const QString& path, const QString& expected);
    // Forgets a file that has been written since it was hashed.
    void forget(const QString& path);

private:
    // Digests by path; a null text marks a file that could not be read.
    QHash<QString, QString> m_Digests;
};

#endif
