#include "bannerdownload.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimerEvent>

namespace {

constexpr qint64 kReadPiece = 64 * 1024;

const char kUserAgent[] = "User-Agent: Mozilla/5.0\r\n";

// The server as a request names it: the host, an IPv6 address in brackets,
// then the port unless it is -1.
QByteArray hostAndPort(const QUrl& url, int port)
{
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    return port == -1 ? host : host + ':' + QByteArray::number(port);
}

} // namespace

BannerDownload::BannerDownload(
    const QUrl& url, const QNetworkProxy& proxy, qint64 maxSize, int timeoutMs, QObject* parent)
    : QObject(parent)
    , m_url(url)
    , m_proxy(proxy)
    , m_timeoutMs(timeoutMs)
    , m_tunnelReply(0, HttpReplyParser::Request::Connect)
    , m_reply(maxSize)
{
}

BannerDownload::~BannerDownload()
{
    close();
}

bool BannerDownload::isTls() const
{
    return m_url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

bool BannerDownload::viaProxy() const
{
    return m_proxy.type() == QNetworkProxy::HttpProxy;
}

void BannerDownload::start()
{
    m_deadline.start(m_timeoutMs, this);
#ifndef QT_NO_SSL
    m_socket = isTls() ? new QSslSocket(this) : new QTcpSocket(this);
#else
    if (isTls())
        return fail(QStringLiteral("Banner url needs TLS, which this build lacks"));
    m_socket = new QTcpSocket(this);
#endif
    // The socket talks to whom it is told, the proxy included: its own proxy
    // code would read the proxy's reply without a bound.
    m_socket->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    // What the socket holds before it is read stays small.
    m_socket->setReadBufferSize(kReadPiece);
    connect(m_socket, &QAbstractSocket::connected, this, &BannerDownload::onConnected);
    connect(m_socket, &QAbstractSocket::readyRead, this, &BannerDownload::onReadyRead);
    connect(m_socket, &QAbstractSocket::disconnected, this, &BannerDownload::onDisconnected);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &BannerDownload::onError);
    if (viaProxy())
        m_socket->connectToHost(m_proxy.hostName(), m_proxy.port());
    else
        m_socket->connectToHost(m_url.host(), quint16(m_url.port(isTls() ? 443 : 80)));
}

void BannerDownload::onConnected()
{
    if (!isTls())
        return sendRequest();
    if (!viaProxy())
        return startTls();
    // Through the proxy a TLS connection is a tunnel that the proxy opens to
    // the server on request.
    const QByteArray target = hostAndPort(m_url, m_url.port(443));
    m_phase = Phase::Tunnel;
    m_socket->write(
        "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n" + kUserAgent + "\r\n");
}

void BannerDownload::startTls()
{
#ifndef QT_NO_SSL
    auto* tls = static_cast<QSslSocket*>(m_socket);
    m_phase = Phase::Handshake;
    // The socket may be connected to the proxy: the certificate must name
    // the banner's host, and so must the name the server is asked for.
    tls->setPeerVerifyName(m_url.host());
    connect(tls, &QSslSocket::encrypted, this, &BannerDownload::sendRequest);
    tls->startClientEncryption();
#endif
}

void BannerDownload::sendRequest()
{
    m_phase = Phase::Reply;
    // A plain request through the proxy names the whole address; a tunnel
    // or a direct connection names the path.
    const bool absolute = !isTls() && viaProxy();
    QByteArray target = absolute
        ? m_url.toEncoded(QUrl::RemoveUserInfo | QUrl::RemoveFragment)
        : m_url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!absolute && !target.startsWith('/'))
        target.prepend('/');
    m_socket->write("GET " + target + " HTTP/1.1\r\nHost: " + hostAndPort(m_url, m_url.port())
        + "\r\n" + kUserAgent + "Accept-Encoding: identity\r\nConnection: close\r\n\r\n");
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
        switch (m_phase) {
        case Phase::Tunnel:
            if (!readTunnelReply())
                return;
            break;
        case Phase::Reply:
            if (!proceed(m_reply.feed(m_socket->read(kReadPiece))))
                return;
            break;
        case Phase::Connecting:
        case Phase::Handshake:
            // Nothing is asked yet; what a server says first waits for the
            // request.
            return;
        }
    }
}

// The proxy's reply to CONNECT; once it is read, the tunnel is the
// connection to the server.
bool BannerDownload::readTunnelReply()
{
    switch (m_tunnelReply.feed(m_socket->read(kReadPiece))) {
    case HttpReplyParser::State::Header:
    case HttpReplyParser::State::Body:
        return true;
    case HttpReplyParser::State::Done:
        startTls();
        return false;
    case HttpReplyParser::State::Failed:
        fail(m_tunnelReply.error());
        return false;
    }
    return false;
}

void BannerDownload::onDisconnected()
{
    onReadyRead();
    if (!m_socket)
        return;
    switch (m_phase) {
    case Phase::Reply:
        proceed(m_reply.end());
        break;
    case Phase::Tunnel:
        m_tunnelReply.end();
        fail(m_tunnelReply.error());
        break;
    case Phase::Connecting:
    case Phase::Handshake:
        fail(QStringLiteral("Banner connection closed before the request"));
        break;
    }
}

void BannerDownload::onError(QAbstractSocket::SocketError error)
{
    // The server's close is the end of a body, seen by onDisconnected.
    if (error == QAbstractSocket::RemoteHostClosedError || !m_socket)
        return;
    onReadyRead();
    if (!m_socket)
        return;
    // A body broken off is delivered as it came; before one, the failure is
    // the result, with the reason: a failed look-up, a refused connection,
    // a refused certificate.
    if (m_phase == Phase::Reply && m_reply.state() == HttpReplyParser::State::Body) {
        close();
        emit downloaded(m_reply.body());
        return;
    }
    fail(QStringLiteral("Banner download failed: ") + m_socket->errorString());
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
