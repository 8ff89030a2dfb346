#ifndef UPDATECHECKER_H
#define UPDATECHECKER_H

#include "httpdownloader.h"
#include "updateversions.h"

#include <QObject>
#include <QPair>
#include <QString>

// The built-in address of the versions server (a build setting).
extern const char* const defaultVersionsUrl;

// Copies the built-in versions address into url.
void getVersionsUrl(QString& url);

// Asks the versions server once for the latest release of every channel and
// reports the answer with update_available, an empty table on any failure.
// Deletes itself after that one signal.
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    // The real flow uses the built-in address and the default deadline.
    explicit UpdateChecker(QObject* parent,
        const QString& versionsUrl = QString::fromLatin1(defaultVersionsUrl),
        int timeoutMs = HTTPDownloader::DefaultTimeoutMs);

    // Starts the query on a thread of its own.
    void check();

    // The entry of channel 0 ("stable"), 1 ("beta") or 2 ("alpha"); two empty
    // texts for any other number or a channel missing from the table.
    static QPair<QString, QString> versionForChannel(const UpdateVersions& versions, int channel);

signals:
    void update_available(UpdateVersions versions);

public slots:
    void on_updateCheckAvailable(QByteArray updateData);

private:
    QString m_VersionsUrl;
    int m_TimeoutMs;
};

#endif
