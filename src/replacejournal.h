#ifndef REPLACEJOURNAL_H
#define REPLACEJOURNAL_H

#include <QFile>
#include <QString>

class RollbackDataList;

// What a replacement phase is about to do to the installation, written
// before it does it: directories it creates, files it creates, installed
// files it keeps aside. A phase that ends removes its journal; one that was
// killed leaves it, and recover() then undoes whatever of it happened, so
// the installation is exactly as it was before that phase. Once a phase has
// succeeded the journal is marked done and recover() only removes the kept
// files that are left.
//
// The journal lies in the installation directory itself, so that it is found
// whatever happens to the update's temporary directory in between.
class ReplaceJournal
{
public:
    explicit ReplaceJournal(const QString& installDir = QString());
    ~ReplaceJournal();

    void setInstallDir(const QString& installDir);

    // Name beside an installed file under which its previous content is
    // kept while the phase runs.
    static QString keptPath(const QString& path);
    static QString journalPath(const QString& installDir);
    static QString donePath(const QString& installDir);

    // Each returns false when the line could not be written; the phase then
    // does not go on with the step. After one failure every later line
    // fails too: a line written in part must not run into the next one.
    bool noteDirCreate(const QString& relativePath);
    bool noteFileCreate(const QString& relativePath);
    bool noteFileKept(const QString& relativePath);

    // The phase succeeded: mark the journal done, remove the kept files and
    // the journal. False when the journal could not be marked done; it is
    // then still live, and the phase must be undone.
    bool commit();
    // The phase was undone: forget the journal.
    void discard();
    // The phase's undo stopped short: the journal keeps only the steps of
    // what is left in records, for the next run's repair. Without any step
    // left it is discarded.
    void keepOnly(const RollbackDataList& records);

    // Repairs what a killed phase left in installDir; returns false when
    // something could not be put back (the journal then stays for the next
    // attempt). Without a journal the replacement had succeeded: the
    // deletions of a run killed among them are completed (DeleteJournal),
    // and true is returned.
    static bool recover(const QString& installDir);

private:
    bool note(char kind, const QString& relativePath);
    void close();

    QString m_InstallDir;
    QFile m_File;
    // This phase has written the journal; commit() and discard() only ever
    // settle a journal of their own phase.
    bool m_Written = false;
    bool m_Failed = false;
};

#endif
