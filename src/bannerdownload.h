#ifndef BANNERDOWNLOAD_H
#define BANNERDOWNLOAD_H

#include "httpreplyparser.h"

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
// shares the thread waits. The socket classes' own proxy code reads a
// proxy's reply the same way, without a bound. Here the socket lives on the
// caller's thread and talks to the proxy itself, so the deadline really
// closes it, and every byte the connection carries is read by
// HttpReplyParser, within its bounds: the proxy's reply to CONNECT, then the
// reply to the GET. Whatever the status, the body is what is delivered: the
// window decides whether it is a picture.
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

signals:
    // The body has arrived (or the connection broke off in the body, with
    // what came).
    void downloaded(QByteArray body);
    // Nothing is delivered; the reason goes to the log.
    void failed(QString reason);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    enum class Phase
    {
        Connecting,
        // Waiting for the proxy's reply to CONNECT.
        Tunnel,
        Handshake,
        Reply
    };

    void onConnected();
    void startTls();
    void sendRequest();
    void onReadyRead();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    // Ends the download once the reply is read or has failed; false then.
    bool proceed(HttpReplyParser::State state);
    bool readTunnelReply();
    void fail(const QString& reason);
    void close();
    bool isTls() const;
    bool viaProxy() const;

    QUrl m_url;
    QNetworkProxy m_proxy;
    int m_timeoutMs;
    Phase m_phase = Phase::Connecting;
    HttpReplyParser m_tunnelReply;
    HttpReplyParser m_reply;
    // Null once the download has ended.
    QAbstractSocket* m_socket = nullptr;
    QBasicTimer m_deadline;
};

#endif
