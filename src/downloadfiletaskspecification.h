#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadentry.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

// Fetches one listed file into the update's temporary directory and then
// checks its SHA-512 against the entry. A file that does not match is
// removed and fetched again; it counts as a failed attempt of the same five
// that network failures use, so a file that never matches fails the task and
// nothing unverified stays behind for the later phases to install.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileTaskSpecification(const DownloadEntry& entry, QNetworkAccessManager* manager,
        Configuration* config, QObject* parent, qreal weight);

    QString urlPath() const;
    QString targetFile() const;

public slots:
    void execute() override;
    void reset() override;
    void abort(TaskSpecification* cause) override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    // failedAttempts: attempts already used up by earlier rounds.
    void makeSubtasksAndStart(int failedAttempts);

    QString m_Section;
    QString m_Key;
    QString m_Hash;
    quint64 m_Size;
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    DownloadTaskSpecification* m_DownloadTask;
    // A sibling failed: no further round may start.
    bool m_Aborted;
};

#endif
