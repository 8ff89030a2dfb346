#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

#include <QString>
#include <QStringList>

// Starts the process that follows a successful update, detached so that it
// outlives the updater: the client's run script after stage two, the new
// updater after stage one. Outcomes are logged only.
class ProcessTools
{
public:
    static void startKv3Client(const QString& dir);
    static void startClientUpdater(const QString& dir, const QStringList& args);

private:
    static void startKv3Client_linux(const QString& dir);
    static void startNewUpdater_linux(const QString& dir, const QStringList& args);
};

#endif
