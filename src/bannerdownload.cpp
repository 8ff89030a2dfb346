#include "bannerdownload.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimerEvent>

#include <algorithm>

namespace {

constexpr qint64 kReadPiece = 64 * 1024;
// A chunk-size line: hexadecimal digits and perhaps extensions.
constexpr int kMaxChunkLine = 1024;

bool isTls(const QUrl& url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

quint16 defaultPort(const QUrl& url)
{
    return isTls(url) ? 443 : 80;
}

// A decimal or hexadecimal count of bytes, digits only; -1 when it is none
// or does not fit.
qint64 parseCount(const QByteArray& text, int base)
{
    if (text.isEmpty() || text.size() > 15)
        return -1;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, base);
    if (!ok || value < 0 || text.startsWith('+') || text.startsWith('-'))
        return -1;
    return value;
}

} // namespace

BannerDownload::BannerDownload(
    const QUrl& url, const QNetworkProxy& proxy, qint64 maxSize, int timeoutMs, QObject* parent)
    : QObject(parent)
    , m_url(url)
    , m_proxy(proxy)
    , m_maxSize(maxSize)
    , m_timeoutMs(timeoutMs)
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
    while (!m_ended && m_socket->bytesAvailable() > 0) {
        m_pending += m_socket->read(kReadPiece);
        const bool going = m_stage == Stage::Header ? readHeader() : readBody();
        if (!going)
            return;
    }
}

void BannerDownload::onDisconnected()
{
    onReadyRead();
    if (m_ended)
        return;
    if (m_stage == Stage::Header)
        return fail(QStringLiteral("Banner reply ended in its header"));
    // A body cut short is delivered as it came, like one that ends with the
    // connection.
    finish();
}

void BannerDownload::onError(QAbstractSocket::SocketError error)
{
    // The server's close is the end of a body, seen by onDisconnected.
    if (error == QAbstractSocket::RemoteHostClosedError || m_ended)
        return;
    // Whatever arrived before a failure goes on, possibly nothing.
    onReadyRead();
    if (!m_ended)
        finish();
}

bool BannerDownload::readHeader()
{
    for (;;) {
        int end = m_pending.indexOf("\r\n\r\n");
        int endSize = 4;
        const int lf = m_pending.indexOf("\n\n");
        if (lf >= 0 && (end < 0 || lf < end)) {
            end = lf;
            endSize = 2;
        }
        if (end < 0) {
            if (m_pending.size() > kMaxHeaderSize) {
                fail(QStringLiteral("Banner reply header too large"));
                return false;
            }
            return true;
        }
        if (end > kMaxHeaderSize) {
            fail(QStringLiteral("Banner reply header too large"));
            return false;
        }
        const QList<QByteArray> lines = m_pending.left(end).split('\n');
        m_pending.remove(0, end + endSize);
        const QList<QByteArray> status = lines.first().trimmed().split(' ');
        const int code = status.value(1).toInt();
        if (!status.first().startsWith("HTTP/1.") || code < 100 || code > 999) {
            fail(QStringLiteral("Banner reply is not HTTP"));
            return false;
        }
        // An interim reply; the real one follows.
        if (code < 200)
            continue;
        qint64 length = -1;
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray& line = lines.at(i);
            const int colon = line.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed().toLower();
            if (name == "content-encoding" && !value.isEmpty() && value != "identity") {
                fail(QStringLiteral("Banner was sent encoded as ")
                    + QString::fromLatin1(value.left(64)));
                return false;
            }
            if (name == "transfer-encoding" && !value.isEmpty() && value != "identity") {
                if (value != "chunked") {
                    fail(QStringLiteral("Banner was sent encoded as ")
                        + QString::fromLatin1(value.left(64)));
                    return false;
                }
                m_chunked = true;
            }
            if (name == "content-length") {
                const qint64 announced = parseCount(value, 10);
                if (announced < 0 || (length >= 0 && announced != length)) {
                    fail(QStringLiteral("Banner reply has an invalid length"));
                    return false;
                }
                length = announced;
            }
        }
        if (!m_chunked && length > m_maxSize) {
            fail(QStringLiteral("Banner size too large: %1").arg(length));
            return false;
        }
        if (code == 204 || code == 304)
            length = 0;
        m_stage = m_chunked ? Stage::ChunkSize : Stage::Body;
        m_remaining = m_chunked ? 0 : length;
        return readBody();
    }
}

bool BannerDownload::takeLine(int limit, QByteArray* line)
{
    const int end = m_pending.indexOf('\n');
    if (end < 0 || end > limit) {
        if (end > limit || (end < 0 && m_pending.size() > limit)) {
            fail(QStringLiteral("Banner reply has a line too long"));
            return false;
        }
        line->clear();
        return false;
    }
    *line = m_pending.left(end);
    if (line->endsWith('\r'))
        line->chop(1);
    m_pending.remove(0, end + 1);
    return true;
}

bool BannerDownload::takeBody(qint64 count)
{
    m_body += m_pending.left(int(count));
    m_pending.remove(0, int(count));
    if (m_body.size() > m_maxSize) {
        fail(QStringLiteral("Banner size too large: %1").arg(m_body.size()));
        return false;
    }
    if (m_remaining > 0)
        m_remaining -= count;
    return true;
}

bool BannerDownload::readBody()
{
    if (m_chunked)
        return readChunked();
    const qint64 count
        = m_remaining >= 0 ? std::min<qint64>(m_remaining, m_pending.size()) : m_pending.size();
    if (!takeBody(count))
        return false;
    m_pending.clear();
    if (m_remaining == 0) {
        finish();
        return false;
    }
    return true;
}

bool BannerDownload::readChunked()
{
    for (;;) {
        QByteArray line;
        switch (m_stage) {
        case Stage::ChunkSize: {
            if (!takeLine(kMaxChunkLine, &line))
                return !m_ended;
            const int extension = line.indexOf(';');
            const qint64 size
                = parseCount((extension < 0 ? line : line.left(extension)).trimmed(), 16);
            if (size < 0) {
                fail(QStringLiteral("Banner reply has an invalid chunk"));
                return false;
            }
            if (size > m_maxSize - m_body.size()) {
                fail(QStringLiteral("Banner size too large: %1").arg(m_body.size() + size));
                return false;
            }
            m_remaining = size;
            m_stage = size == 0 ? Stage::Trailer : Stage::ChunkData;
            break;
        }
        case Stage::ChunkData: {
            const qint64 count = std::min<qint64>(m_remaining, m_pending.size());
            if (!takeBody(count))
                return false;
            if (m_remaining > 0)
                return true;
            m_stage = Stage::ChunkEnd;
            break;
        }
        case Stage::ChunkEnd:
            if (!takeLine(2, &line))
                return !m_ended;
            if (!line.isEmpty()) {
                fail(QStringLiteral("Banner reply has an invalid chunk"));
                return false;
            }
            m_stage = Stage::ChunkSize;
            break;
        case Stage::Trailer:
            if (!takeLine(kMaxChunkLine, &line))
                return !m_ended;
            if (line.isEmpty()) {
                finish();
                return false;
            }
            break;
        default:
            return false;
        }
    }
}

void BannerDownload::finish()
{
    close();
    emit downloaded(m_body);
}

void BannerDownload::fail(const QString& reason)
{
    close();
    emit failed(reason);
}

void BannerDownload::close()
{
    m_ended = true;
    m_stage = Stage::Done;
    m_deadline.stop();
    m_pending.clear();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}
