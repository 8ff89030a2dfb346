#ifndef JOURNALLINE_H
#define JOURNALLINE_H

#include <QByteArray>
#include <QList>
#include <QString>

// One line of the journals that a stage-two run keeps in the installation: a
// kind letter, a space and a path relative to the installation,
// percent-encoded so that any file name fits on one line.
struct JournalLine
{
    char kind;
    QString path;

    QByteArray encoded() const;

    // The lines of the journal at journalPath; false when it cannot be
    // opened. Only lines ended by their newline count: a kill while the
    // journal was written may have cut the last one to a prefix of its
    // path, which names another file or a parent directory. Lines that do
    // not parse, or name a path outside the installation, are skipped too:
    // a journal must never make a repair touch anything else.
    static bool read(const QString& journalPath, QList<JournalLine>* lines);

    // Replaces the journal at journalPath by lines as a whole: written and
    // synced beside it, then renamed over it, so that a kill leaves either
    // the former journal or the new one. False when that failed; the former
    // journal is then still there.
    static bool write(const QString& journalPath, const QList<JournalLine>& lines);
    // Where write() prepares the new journal; a kill may leave it behind.
    static QString besidePath(const QString& journalPath);
};

#endif
