#ifndef DELETEJOURNAL_H
#define DELETEJOURNAL_H

#include "deleteentry.h"

#include <QString>

// The deletions of a stage-two run, written into the installation before the
// first of them. They start only after the replacement phase has succeeded,
// so a run killed among them leaves the new release with some of the old
// release's files still there. The next run completes them (recover(), right
// after the replacement journal's repair), so that the installation is the
// new release again before anything else happens.
class DeleteJournal
{
public:
    static QString journalPath(const QString& installDir);

    // False when the journal could not be written completely.
    static bool write(const QString& installDir, const DeleteList& list);
    // The deletions have all been made.
    static void remove(const QString& installDir);
    // Makes the deletions of a journal left behind and removes it. Paths
    // that would leave the installation are skipped. Without a journal
    // nothing is done.
    static void recover(const QString& installDir);

    // Deletes path (recursive: a whole directory tree; otherwise an empty
    // directory with its parents that become empty, or a file). A symbolic
    // link is removed as a link. *done, when given, says what was deleted.
    static bool deletePath(const QString& path, bool recursive, QString* done);
};

#endif
