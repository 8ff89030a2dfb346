#include "bannerdownload.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimerEvent>

namespace {

constexpr qint64 kReadPiece = 64 * 1024;

bool isTls(const QUrl& url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

quint16 defaultPort(const QUrl& url)
{
    return isTls(url) ? 443 : 80;
}

} // namespace

BannerDownload::BannerDownload(
    const QUrl& url, const QNetworkProxy& proxy, qint64 maxSize, int timeoutMs, QObject* parent)
    : QObject(parent)
    , m_url(url)
    , m_proxy(proxy)
    , m_timeoutMs(timeoutMs)
    , m_reply(maxSize)
{
}

BannerDownload::~BannerDownload()
{
    close();
}

void BannerDownload::start()
{
    m_deadline.start(m_timeoutMs, this);
    const bool viaProxy = m_proxy.type() == QNetworkProxy::HttpProxy;
#ifndef QT_NO_SSL
    QSslSocket* tls = isTls(m_url) ? new QSslSocket(this) : nullptr;
#else
    if (isTls(m_url))
        return fail(QStringLiteral("Banner url needs TLS, which this build lacks"));
    QAbstractSocket* tls = nullptr;
#endif
    m_socket = tls ? static_cast<QAbstractSocket*>(tls) : new QTcpSocket(this);
    // A plain request goes to the proxy itself; through the proxy a TLS
    // socket asks it for a tunnel to the server.
    m_socket->setProxy(viaProxy && tls ? m_proxy : QNetworkProxy(QNetworkProxy::NoProxy));
    // What the socket holds before it is read stays small.
    m_socket->setReadBufferSize(kReadPiece);
    connect(m_socket, &QAbstractSocket::readyRead, this, &BannerDownload::onReadyRead);
    connect(m_socket, &QAbstractSocket::disconnected, this, &BannerDownload::onDisconnected);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &BannerDownload::onError);
    const quint16 port = quint16(m_url.port(defaultPort(m_url)));
#ifndef QT_NO_SSL
    if (tls) {
        connect(tls, &QSslSocket::encrypted, this, &BannerDownload::sendRequest);
        tls->connectToHostEncrypted(m_url.host(), port);
        return;
    }
#endif
    connect(m_socket, &QAbstractSocket::connected, this, &BannerDownload::sendRequest);
    if (viaProxy)
        m_socket->connectToHost(m_proxy.hostName(), m_proxy.port());
    else
        m_socket->connectToHost(m_url.host(), port);
}

void BannerDownload::sendRequest()
{
    // A plain request through the proxy names the whole address; a tunnel
    // or a direct connection names the path.
    const bool absolute = !isTls(m_url) && m_proxy.type() == QNetworkProxy::HttpProxy;
    QByteArray target = absolute
        ? m_url.toEncoded(QUrl::RemoveUserInfo | QUrl::RemoveFragment)
        : m_url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!absolute && !target.startsWith('/'))
        target.prepend('/');
    QByteArray host = m_url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (m_url.port() != -1)
        host += ':' + QByteArray::number(m_url.port());
    m_socket->write("GET " + target + " HTTP/1.1\r\nHost: " + host
        + "\r\nUser-Agent: Mozilla/5.0\r\nAccept-Encoding: identity\r\nConnection: close\r\n\r\n");
}

void BannerDownload::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_deadline.timerId())
        fail(QStringLiteral("Banner download timed out"));
    QObject::timerEvent(event);
}

void BannerDownload::onReadyRead()
{
    while (m_socket && m_socket->bytesAvailable() > 0) {
        if (!proceed(m_reply.feed(m_socket->read(kReadPiece))))
            return;
    }
}

void BannerDownload::onDisconnected()
{
    onReadyRead();
    if (m_socket)
        proceed(m_reply.end());
}

void BannerDownload::onError(QAbstractSocket::SocketError error)
{
    // The server's close is the end of a body, seen by onDisconnected.
    if (error == QAbstractSocket::RemoteHostClosedError || !m_socket)
        return;
    // Whatever arrived before a failure goes on, possibly nothing.
    onReadyRead();
    if (m_socket) {
        close();
        emit downloaded(m_reply.body());
    }
}

bool BannerDownload::proceed(HttpReplyParser::State state)
{
    switch (state) {
    case HttpReplyParser::State::Header:
    case HttpReplyParser::State::Body:
        return true;
    case HttpReplyParser::State::Done:
        close();
        emit downloaded(m_reply.body());
        return false;
    case HttpReplyParser::State::Failed:
        fail(m_reply.error());
        return false;
    }
    return false;
}

void BannerDownload::fail(const QString& reason)
{
    close();
    emit failed(reason);
}

void BannerDownload::close()
{
    m_deadline.stop();
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
}
