#ifndef BANNERDOWNLOAD_H
#define BANNERDOWNLOAD_H

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QByteArray>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QUrl>

// Fetches the banner image with an HTTP GET over a connection of its own.
//
// The network module's client reads a reply's header in its network thread
// one byte per system call, for as long as the socket has bytes waiting. A
// server that sends header lines faster than that keeps the thread in that
// loop: an abort, which is a call queued to that thread, never runs, the
// header grows in memory for the rest of the run, and every download that
// shares the thread waits. Here the socket lives on the caller's thread, so
// the deadline really closes it, and the header and the body are bounded as
// they arrive.
//
// Whatever the status, the body is what is delivered: the window decides
// whether it is a picture. The body is taken as sent; a reply in a content
// encoding other than identity is refused, as are transfer encodings other
// than chunked.
class BannerDownload : public QObject
{
    Q_OBJECT
public:
    // An http or https url; proxy is the HTTP proxy every download uses, or
    // NoProxy.
    BannerDownload(const QUrl& url, const QNetworkProxy& proxy, qint64 maxSize, int timeoutMs,
        QObject* parent);
    ~BannerDownload() override;

    void start();

    // The status line and header lines together; real servers send one or
    // two kilobytes.
    static constexpr int kMaxHeaderSize = 64 * 1024;

signals:
    // The body has arrived (or the connection ended, with what came).
    void downloaded(QByteArray body);
    // Nothing is delivered; the reason goes to the log.
    void failed(QString reason);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    enum class Stage
    {
        Header,
        Body,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailer,
        Done
    };

    void sendRequest();
    void onReadyRead();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    // Consumes what it can of m_pending; false once the download has ended.
    bool readHeader();
    bool readBody();
    bool readChunked();
    // The next CRLF- or LF-ended line of m_pending, without its end, or false
    // when no whole line is there yet (a line longer than limit fails).
    bool takeLine(int limit, QByteArray* line);
    bool takeBody(qint64 count);
    void finish();
    void fail(const QString& reason);
    void close();

    QUrl m_url;
    QNetworkProxy m_proxy;
    qint64 m_maxSize;
    int m_timeoutMs;
    QAbstractSocket* m_socket = nullptr;
    QBasicTimer m_deadline;
    Stage m_stage = Stage::Header;
    QByteArray m_pending;
    QByteArray m_body;
    // Body bytes still to come: from Content-Length, or of the current chunk;
    // -1 when the body ends with the connection.
    qint64 m_remaining = -1;
    bool m_chunked = false;
    bool m_ended = false;
};

#endif
