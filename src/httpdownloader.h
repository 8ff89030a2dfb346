#ifndef HTTPDOWNLOADER_H
#define HTTPDOWNLOADER_H

#include "httpfetch.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

// Runs one HTTP GET on a thread of its own and hands the body back as a
// single byte array (empty on any failure, a body beyond MaxBodySize or short
// of its announced length included). The object itself lives on the thread
// that created it; only the network manager and the reply live on the new
// thread.
class HTTPDownloader : public QThread
{
    Q_OBJECT
public:
    // Without a deadline a server that accepts the connection and never
    // answers would keep the query waiting forever; the whole request is
    // therefore aborted after timeoutMs.
    static const int DefaultTimeoutMs = HttpFetch::kDeadlineMs;
    // The body is held in memory until it is complete. The one query made
    // this way, the versions reply, is tens of bytes; without a bound an
    // endless reply would fill memory until the deadline.
    static const qint64 MaxBodySize = 64 * 1024;

    explicit HTTPDownloader(const QNetworkRequest& request, int timeoutMs = DefaultTimeoutMs);
    ~HTTPDownloader() override;

signals:
    void download_available(QByteArray data);

public slots:
    virtual void on_downloadFinished(QNetworkReply* reply);

protected:
    void run() override;

private:
    QNetworkRequest m_Request;
    int m_TimeoutMs;
};

#endif
