#include "downloadtaskspecification.h"

#include "configuration.h"
#include "httpfetch.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <algorithm>

namespace {

// Data moves from the reply to the file through a fixed buffer of this size,
// so memory does not grow with the file.
constexpr qint64 kBlockSize = 4096;
// What the network module may hold for one reply before it stops reading
// from the socket. Without a bound a server faster than the disk would fill
// memory with the file.
constexpr qint64 kReplyBufferSize = 512 * 1024;

} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* manager,
    const QString& urlPath, int version, const QString& targetFile, qint64 expectedSize,
    QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_Manager(manager)
    , m_Reply(nullptr)
    , m_StallCount(0)
    , m_StallStartSize(0)
    , m_UrlPath(urlPath)
    , m_Version(version)
    , m_File(targetFile)
    , m_RetryCount(0)
    , m_LastPolledSize(0)
    , m_TotalSize(expectedSize)
    , m_ExpectedSize(expectedSize)
    , m_ReceivedSize(0)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    dropReply();
}

void DownloadTaskSpecification::execute()
{
    qDebug().noquote() << "Downloading" << m_UrlPath;
    emit message(QStringLiteral("Downloading %1").arg(m_UrlPath));
    setState(STATE_RUNNING);
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(m_File.fileName()));
        setError();
        return;
    }

    const QUrl url(updateBaseUrl + QString::number(m_Version) + QLatin1Char('/') + m_UrlPath,
        QUrl::TolerantMode);
    const QNetworkRequest request = HttpFetch::request(url);
    qDebug().noquote() << "Requesting download of" << url.toString();
    m_Reply = m_Manager->get(request);
    if (!m_Reply) {
        // Leave no empty file behind for a download that never started.
        m_File.close();
        m_File.remove();
        emit error(QStringLiteral("Download failed to initialize"));
        setError();
        return;
    }
    if (!m_Reply->isRunning()) {
        retryOrFail(m_Reply->errorString());
        return;
    }
    m_Reply->setReadBufferSize(kReplyBufferSize);
    connect(m_Reply, &QNetworkReply::downloadProgress, this,
        &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(
        m_Reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this,
        &DownloadTaskSpecification::onMetaDataChanged);
}

bool DownloadTaskSpecification::writeAvailableData()
{
    char buffer[kBlockSize];
    while (m_Reply) {
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 bytesRead = m_Reply->read(buffer, std::min(available, kBlockSize));
        if (bytesRead == 0)
            return true;
        if (bytesRead < 0) {
            retryOrFail(m_Reply->errorString());
            return false;
        }
        if (bytesRead > sizeLimit() - m_ReceivedSize) {
            failTooLarge();
            return false;
        }
        const qint64 bytesWritten = m_File.write(buffer, bytesRead);
        if (bytesWritten < 0) {
            retryOrFail(m_File.errorString());
            return false;
        }
        if (bytesWritten != bytesRead) {
            retryOrFail(
                QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                    .arg(m_File.fileName())
                    .arg(bytesRead)
                    .arg(bytesWritten));
            return false;
        }
        m_ReceivedSize += bytesWritten;
        if (m_ReceivedSize - m_StallStartSize >= kStallBytes) {
            m_StallCount = 0;
            m_StallStartSize = m_ReceivedSize;
        }
        if (m_TotalSize > 0)
            setProgress(std::min(1.0, qreal(m_ReceivedSize) / qreal(m_TotalSize)));
    }
    return true;
}

bool DownloadTaskSpecification::retryOrFail(const QString& reason)
{
    // The reason may refer to the reply that cleanup() lets go.
    const QString text = reason;
    cleanup();
    emit message(text);
    if (m_RetryCount++ < kMaxRestarts) {
        startDownload();
        return true;
    }
    emit message(QStringLiteral("Unable to download %1").arg(m_UrlPath));
    m_File.remove();
    setError();
    return false;
}

void DownloadTaskSpecification::dropReply()
{
    if (!m_Reply)
        return;
    disconnect(m_Reply, nullptr, this, nullptr);
    // Deleting a running reply stops its transfer.
    m_Reply->deleteLater();
    m_Reply = nullptr;
}

void DownloadTaskSpecification::cleanup()
{
    dropReply();
    m_StallCount = 0;
    m_StallStartSize = 0;
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
    m_LastPolledSize = 0;
    m_TotalSize = m_ExpectedSize;
    m_ReceivedSize = 0;
    setProgress(0);
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug().noquote() << "Download finished:" << m_UrlPath << m_File.fileName() << m_File.isOpen()
                       << m_File.exists();
    emit message(QStringLiteral("Downloading %1 finished").arg(m_UrlPath));
    setFinished();
}

void DownloadTaskSpecification::getDownloadProgress(
    quint64* done, quint64* total, quint64* speed, bool* downloading)
{
    *done = quint64(m_ReceivedSize);
    *total = m_TotalSize < 0 ? 0 : quint64(m_TotalSize);
    *speed = quint64(std::max<qint64>(0, m_ReceivedSize - m_LastPolledSize));
    m_LastPolledSize = m_ReceivedSize;
    if (m_State != STATE_RUNNING || !m_Reply)
        return;
    if (m_StallCount++ >= kStallPolls - 1)
        retryOrFail(QStringLiteral("file %1 timed out").arg(m_UrlPath));
    else
        *downloading = true;
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_State != STATE_RUNNING)
        return;
    cleanup();
    setCanceled();
}

void DownloadTaskSpecification::abort(TaskSpecification*)
{
    if (m_Reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(m_UrlPath));
        cleanup();
    }
    setError();
}

void DownloadTaskSpecification::reset()
{
    cleanup();
    m_RetryCount = 0;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (bytesTotal <= 0 || m_TotalSize != -1)
        return;
    m_TotalSize = bytesTotal;
    // The reply hands over its first block before it reports the size, so
    // without this the progress would lag one block behind the file.
    if (m_ReceivedSize > 0)
        setProgress(std::min(1.0, qreal(m_ReceivedSize) / qreal(m_TotalSize)));
}

void DownloadTaskSpecification::onReadyRead()
{
    writeAvailableData();
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        retryOrFail(m_Reply->errorString());
        return;
    }
    if (!writeAvailableData())
        return;
    // The network module may end a reply whose connection closed early as
    // if the close ended the body; a body short of its size is a cut
    // connection all the same.
    const qint64 wholeSize = requiredSize();
    if (wholeSize >= 0 && m_ReceivedSize != wholeSize) {
        retryOrFail(QStringLiteral("%1 ended after %2 of %3 bytes")
                        .arg(m_UrlPath)
                        .arg(m_ReceivedSize)
                        .arg(wholeSize));
        return;
    }
    // The file is written through a buffer; a disk that fills up shows only
    // when the rest reaches it, and a truncated file must not count as done.
    if (!m_File.flush()) {
        retryOrFail(m_File.errorString());
        return;
    }
    m_Reply->close();
    m_Reply->deleteLater();
    m_Reply = nullptr;
    m_File.close();
    downloadFinished();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200) {
        retryOrFail(QStringLiteral("%1 returned %2").arg(m_UrlPath).arg(status.toInt()));
        return;
    }
    const QByteArray encoding = HttpFetch::foreignEncoding(m_Reply);
    if (!encoding.isEmpty()) {
        retryOrFail(QStringLiteral("%1 was sent encoded as %2")
                        .arg(m_UrlPath, QString::fromLatin1(encoding.left(64))));
        return;
    }
    // A body announced larger than allowed fails before any of it is read.
    if (HttpFetch::announcedLength(m_Reply) > sizeLimit())
        failTooLarge();
}

qint64 DownloadTaskSpecification::sizeLimit() const
{
    return m_ExpectedSize >= 0 ? m_ExpectedSize : kUnknownSizeLimit;
}

qint64 DownloadTaskSpecification::requiredSize() const
{
    if (!HttpFetch::isWhole(m_Reply, m_ReceivedSize))
        return HttpFetch::announcedLength(m_Reply);
    // Checked after the announced length: a server may announce and send
    // less than the signed product ini lists.
    return m_ExpectedSize;
}

void DownloadTaskSpecification::failTooLarge()
{
    retryOrFail(QStringLiteral("%1 is larger than %2 bytes").arg(m_UrlPath).arg(sizeLimit()));
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply*)
{
    disconnect(m_Manager, nullptr, this, nullptr);
    if (!m_Reply)
        startDownload();
}
