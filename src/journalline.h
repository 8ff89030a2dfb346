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
    // opened. Lines that do not parse, or name a path outside the
    // installation, are skipped: a journal must never make a repair touch
    // anything else.
    static bool read(const QString& journalPath, QList<JournalLine>* lines);
};

#endif
