#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QFile>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file of the release with one HTTP GET into a file in the
// update's temporary directory, streaming the reply to disk in small blocks.
// An attempt fails on an HTTP status other than 200, a network or disk error,
// a body short of its announced or listed size, or when less than a kilobyte
// arrived over 16 of the engine's once-a-second polls; a failed attempt
// starts over from the first byte, up to five attempts in all. Runs on the
// GUI thread.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // expectedSize is the listed size, or -1 when unknown (the reply's
    // announced size is then used for progress).
    DownloadTaskSpecification(QNetworkAccessManager* manager, const QString& urlPath, int version,
        const QString& targetFile, qint64 expectedSize, QObject* parent, qreal weight);
    ~DownloadTaskSpecification() override;

    const QString& urlPath() const { return m_UrlPath; }
    QString targetFile() const { return m_File.fileName(); }
    // Failed attempts so far.
    int retryCount() const { return m_RetryCount; }
    // Counts attempts already spent elsewhere, so that a fresh download of
    // a file whose content was rejected shares the limit of five attempts.
    void setRetryCount(int count) { m_RetryCount = count; }

    // The greatest number of failed attempts after which one more is made.
    static constexpr int kMaxRestarts = 4;
    // Polls in a row that end an attempt unless kStallBytes arrived meanwhile.
    // A byte now and then does not keep an attempt alive: the update would
    // never end.
    static constexpr int kStallPolls = 16;
    static constexpr qint64 kStallBytes = 1024;
    // The most a download of unknown size (the product ini and its
    // signature) may bring; real inis stay far below it. It keeps a hostile
    // server from filling the temporary directory before anything is
    // checked. A listed file may bring no more than its listed size.
    static constexpr qint64 kUnknownSizeLimit = 32LL * 1024 * 1024;

public slots:
    void execute() override;
    void reset() override;
    void getDownloadProgress(
        quint64* done, quint64* total, quint64* speed, bool* downloading) override;
    void cancel() override;
    void abort(TaskSpecification* cause) override;

    virtual void downloadFinished();

protected:
    void startDownload();
    bool writeAvailableData();
    bool retryOrFail(const QString& reason);
    void cleanup();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply* reply);

private:
    void dropReply();
    qint64 sizeLimit() const;
    // The size the body of the current reply must have to be whole: the
    // length its server announced and, for a listed file, the listed size;
    // -1 when neither is known.
    qint64 requiredSize() const;
    void failTooLarge();

    QNetworkAccessManager* m_Manager;
    QNetworkReply* m_Reply;
    int m_StallCount;
    // What had arrived when the stall count last started from zero.
    qint64 m_StallStartSize;
    QString m_UrlPath;
    int m_Version;
    QFile m_File;
    int m_RetryCount;
    qint64 m_LastPolledSize;
    qint64 m_TotalSize;
    qint64 m_ExpectedSize;
    qint64 m_ReceivedSize;
};

#endif
