#include "httpdownloader.h"

#include "httpfetch.h"
#include "threadhandover.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

HTTPDownloader::HTTPDownloader(const QNetworkRequest& request, int timeoutMs)
    : m_Request(request)
    , m_TimeoutMs(timeoutMs)
{
    // The reply pointer crosses from the download thread to ours.
    qRegisterMetaType<QNetworkReply*>("QNetworkReply*");
}

void HTTPDownloader::run()
{
    // Created here so that it and its reply belong to this thread; the
    // finished slot runs on the thread of this object through its queue.
    QNetworkAccessManager* manager = new QNetworkAccessManager();
    connect(manager, &QNetworkAccessManager::finished, this, &HTTPDownloader::on_downloadFinished);
    QNetworkReply* reply = manager->get(m_Request);
    // One byte beyond the bound is enough to know the body is too long; the
    // reply is then aborted rather than left to wait for the deadline.
    reply->setReadBufferSize(MaxBodySize + 1);
    connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > MaxBodySize)
            reply->abort();
    });

    // An aborted reply finishes with an error, which ends the query like any
    // other failure.
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::finished, &deadline, &QTimer::stop);
    deadline.start(m_TimeoutMs);

    // What this thread set up and read of this object reaches this object's
    // thread with the queued finished call and before the deletion.
    handOverRelease(this);
    exec();

    deadline.stop();
    delete manager;
}

HTTPDownloader::~HTTPDownloader()
{
    handOverAcquire(this);
}

void HTTPDownloader::on_downloadFinished(QNetworkReply* reply)
{
    handOverAcquire(this);
    QByteArray body;
    // The read buffer is a bound only for the network module's own reads: a
    // short body that came at once may still lie beyond it.
    if (reply->error() == QNetworkReply::NoError && reply->bytesAvailable() <= MaxBodySize
        && HttpFetch::foreignEncoding(reply).isEmpty())
        body = reply->readAll();
    // A reply cut at a channel's boundary would still parse, with the later
    // channels missing.
    if (!HttpFetch::isWhole(reply, body.size()))
        body.clear();
    emit download_available(body);
    reply->deleteLater();
    quit();
    // The object belongs to this thread, so it is deleted here, once the
    // download thread has ended (which takes no longer than its network
    // manager's clean-up). Deleting it on the thread's finished signal
    // instead would have that thread read the object as it queues the
    // signal, unordered with the deletion here for anything but Qt's own
    // locks.
    wait();
    deleteLater();
}
