#ifndef UPDATELOGFILE_H
#define UPDATELOGFILE_H

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QTextStream>
#include <QtGlobal>

class QFile;

// Format of the time column of every log line.
extern const QString logTimestampFormat;

// The optional log file of a run. Logging is switched on for the whole
// process when the marker "kv3_update_log" exists in the system temporary
// directory at start-up; each run then writes its own file
// "kelvarion_update_log/update__<start time>.log" there. Created on first use
// (by main, before any other thread runs) and never destroyed.
class UpdateLogFile
{
public:
    // The process-wide object; the first call creates it and opens the file.
    static UpdateLogFile* getInstance();

    UpdateLogFile();

    // Opens this run's file when logging is switched on.
    void open();
    // Appends one complete line. Lines come from the GUI thread and from
    // pool workers alike; each is written whole, never interleaved.
    void writeLine(const char* tag, const QString& message);
    // Flushes and closes the file (at shutdown).
    void close();

    bool isOpen() const { return m_file != nullptr; }
    // Path of the open file, empty when none.
    QString fileName() const;

    // "update__2026-12-06__07_34_03.log" for a run started then.
    static QString fileNameFor(const QDateTime& start);
    // The marker, the log directory (with a final separator) and the file
    // are relative to this directory.
    static QString logDirectory(const QString& tempPath);
    // Opens the log file name in dir for writing, or returns null when dir
    // or the file is not the running user's alone (see SafeTempFile).
    static QFile* openLogFile(const QString& dir, const QString& name);

    static bool s_enabled;

private:
    static UpdateLogFile* instance;

    QFile* m_file;
    QString m_path;
    QTextStream m_stream;
    QMutex m_mutex;
};

// Qt's message handler of the updater: one line per message into the log
// file, nothing anywhere when logging is off. A fatal message ends the
// process after its line is written.
void updateMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);

#endif
