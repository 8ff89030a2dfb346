#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

// Keeps at most this much queued in the socket, so a large body never sits
// in memory as a whole.
constexpr qint64 kWriteAhead = 256 * 1024;
constexpr int kChunk = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

TestHttpResponse TestHttpResponse::ok(const QByteArray& body)
{
    TestHttpResponse r;
    r.body = body;
    return r;
}

TestHttpResponse TestHttpResponse::pattern(qint64 size)
{
    TestHttpResponse r;
    r.patternSize = size;
    return r;
}

TestHttpResponse TestHttpResponse::error(int status)
{
    TestHttpResponse r;
    r.status = status;
    r.body = reasonPhrase(status) + "\n";
    return r;
}

TestHttpResponse TestHttpResponse::headersThenSilence(qint64 contentLength)
{
    TestHttpResponse r;
    r.contentLength = contentLength;
    r.sendBytes = 0;
    r.stallAfterSending = true;
    return r;
}

TestHttpResponse TestHttpResponse::cutOff(const QByteArray& body, qint64 sendBytes)
{
    TestHttpResponse r;
    r.body = body;
    r.sendBytes = sendBytes;
    return r;
}

TestHttpResponse TestHttpResponse::trickle(const QByteArray& body, int bytes, int intervalMs)
{
    TestHttpResponse r;
    r.body = body;
    r.trickleBytes = bytes;
    r.trickleIntervalMs = intervalMs;
    return r;
}

TestHttpResponse TestHttpResponse::encoded(const QByteArray& body, const QByteArray& encoding)
{
    TestHttpResponse r;
    r.body = body;
    r.extraHeaders = "Content-Encoding: " + encoding + "\r\n";
    return r;
}

TestHttpResponse TestHttpResponse::endlessHeaderLines()
{
    TestHttpResponse r;
    r.endless = QByteArray("X-A: " + QByteArray(1000, 'a') + "\r\n").repeated(64);
    return r;
}

TestHttpResponse TestHttpResponse::endlessInterimReplies()
{
    TestHttpResponse r;
    r.status = 0;
    r.endless = QByteArray("HTTP/1. 100\n\n").repeated(5000);
    return r;
}

TestHttpResponse TestHttpResponse::tunnelTo(quint16 port)
{
    TestHttpResponse r;
    r.tunnelPort = port;
    return r;
}

// Accepts connections as TLS ones when it has a certificate.
class TestHttpListener : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

    QSslCertificate certificate;
    QSslKey key;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (certificate.isNull())
            return QTcpServer::incomingConnection(descriptor);
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }
};

TestHttpResponse TestHttpResponse::onDemand(const QByteArray& body)
{
    TestHttpResponse r;
    r.body = body;
    r.sendOnDemand = true;
    return r;
}

// One accepted connection: reads one request, then sends one response.
class TestHttpConnection : public QObject
{
    Q_OBJECT
public:
    TestHttpConnection(QTcpSocket* socket, TestHttpServer* server)
        : QObject(server)
        , m_Socket(socket)
        , m_Server(server)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &TestHttpConnection::onReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &TestHttpConnection::sendMore);
        connect(socket, &QTcpSocket::disconnected, this, &TestHttpConnection::onDisconnected);
        connect(&m_Trickle, &QTimer::timeout, this, &TestHttpConnection::sendMore);
    }

    void answer(const TestHttpResponse& response)
    {
        if (m_Closed)
            return;
        m_Response = response;
        const qint64 bodySize
            = response.patternSize >= 0 ? response.patternSize : response.body.size();
        m_ToSend = response.sendBytes >= 0 ? std::min(response.sendBytes, bodySize) : bodySize;
        if (response.tunnelPort != 0)
            return openTunnel(response.tunnelPort);
        QByteArray head = response.status == 0 ? QByteArray()
                                               : "HTTP/1.1 " + QByteArray::number(response.status)
                + " " + reasonPhrase(response.status) + "\r\n";
        if (!response.endless.isEmpty()) {
            m_Socket->write(head);
            sendMore();
            return;
        }
        head += "Content-Type: application/octet-stream\r\n";
        if (response.chunked)
            head += "Transfer-Encoding: chunked\r\n";
        else if (response.contentLength != -2) {
            const qint64 length = response.contentLength >= 0 ? response.contentLength : bodySize;
            head += "Content-Length: " + QByteArray::number(length) + "\r\n";
        }
        head += response.extraHeaders + "Connection: close\r\n\r\n";
        m_Socket->write(head);
        if (response.trickleBytes > 0) {
            m_Trickle.start(response.trickleIntervalMs);
            return;
        }
        if (response.sendOnDemand)
            return;
        sendMore();
    }

    void sendPiece(qint64 bytes)
    {
        if (m_Closed || m_Sent < 0 || !m_Response.sendOnDemand)
            return;
        writeBody(bytes);
        finishIfDone();
    }

    bool m_Counted = false;

private slots:
    void onReadyRead()
    {
        if (m_RequestSeen) {
            const QByteArray bytes = m_Socket->readAll();
            if (m_Upstream)
                m_Upstream->write(bytes);
            return;
        }
        m_Request += m_Socket->readAll();
        const int headerEnd = m_Request.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        m_RequestSeen = true;
        m_Server->requestArrived(this, m_Request.left(headerEnd));
    }

    void sendMore()
    {
        if (m_Closed || m_Sent < 0)
            return;
        if (!m_Response.endless.isEmpty()) {
            while (m_Socket->bytesToWrite() < kWriteAhead)
                m_Socket->write(m_Response.endless);
            return;
        }
        if (m_Response.sendOnDemand)
            return finishIfDone();
        if (m_Response.trickleBytes > 0) {
            if (sender() != &m_Trickle)
                return finishIfDone();
            writeBody(m_Response.trickleBytes);
            return finishIfDone();
        }
        while (m_Sent < m_ToSend && m_Socket->bytesToWrite() < kWriteAhead)
            writeBody(kChunk);
        finishIfDone();
    }

    void onDisconnected()
    {
        m_Closed = true;
        m_Trickle.stop();
        endAnswer();
        ++m_Server->m_ClosedConnections;
        deleteLater();
    }

private:
    // Agrees to the CONNECT request, then carries bytes both ways; either
    // side's close closes the other.
    void openTunnel(quint16 port)
    {
        m_Sent = -1;
        m_Upstream = new QTcpSocket(this);
        connect(m_Upstream, &QTcpSocket::readyRead, this,
            [this] { m_Socket->write(m_Upstream->readAll()); });
        connect(m_Upstream, &QTcpSocket::disconnected, m_Socket, &QTcpSocket::disconnectFromHost);
        connect(m_Socket, &QTcpSocket::disconnected, m_Upstream, &QTcpSocket::disconnectFromHost);
        m_Upstream->connectToHost(QHostAddress::LocalHost, port);
        m_Socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
        // What the client sent after its request belongs to the tunnel.
        m_Upstream->write(m_Request.mid(m_Request.indexOf("\r\n\r\n") + 4));
    }

    void writeBody(qint64 max)
    {
        const int n = int(std::min(max, m_ToSend - m_Sent));
        if (n <= 0)
            return;
        const QByteArray piece = m_Response.patternSize >= 0
            ? TestHttpServer::patternBytes(m_Sent, n)
            : QByteArray::fromRawData(m_Response.body.constData() + m_Sent, n);
        if (m_Response.chunked)
            m_Socket->write(QByteArray::number(n, 16) + "\r\n" + piece + "\r\n");
        else
            m_Socket->write(piece);
        m_Sent += n;
    }

    void finishIfDone()
    {
        if (m_Sent < m_ToSend || m_Socket->bytesToWrite() > 0)
            return;
        if (m_Response.chunked && !m_LastChunkSent) {
            m_LastChunkSent = true;
            m_Socket->write("0\r\n\r\n");
            return;
        }
        m_Trickle.stop();
        m_Sent = -1; // nothing more to send
        endAnswer();
        if (!m_Response.stallAfterSending)
            m_Socket->disconnectFromHost();
    }

    void endAnswer()
    {
        if (!m_Counted)
            return;
        m_Counted = false;
        m_Server->answerEnded();
    }

    QTcpSocket* m_Socket;
    TestHttpServer* m_Server;
    QTcpSocket* m_Upstream = nullptr;
    QTimer m_Trickle;
    QByteArray m_Request;
    bool m_RequestSeen = false;
    bool m_Closed = false;
    TestHttpResponse m_Response;
    qint64 m_ToSend = 0;
    qint64 m_Sent = 0;
    bool m_LastChunkSent = false;
};

TestHttpServer::TestHttpServer(QObject* parent)
    : QObject(parent)
    , m_Server(new TestHttpListener(this))
{
    m_Fallback = TestHttpResponse::error(404);
    connect(m_Server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::listen()
{
    return m_Server->listen(QHostAddress::LocalHost, 0);
}

void TestHttpServer::setTls(const QSslCertificate& certificate, const QSslKey& key)
{
    m_Server->certificate = certificate;
    m_Server->key = key;
}

quint16 TestHttpServer::port() const
{
    return m_Server->serverPort();
}

QString TestHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void TestHttpServer::serve(const QString& path, const QList<TestHttpResponse>& attempts)
{
    m_Routes.insert(path, attempts);
}

void TestHttpServer::serve(const QString& path, const TestHttpResponse& response)
{
    serve(path, QList<TestHttpResponse> {response});
}

void TestHttpServer::setReply(int status, const QByteArray& body)
{
    m_Fallback = TestHttpResponse::error(status);
    m_Fallback.body = body;
}

void TestHttpServer::setSilent(bool silent)
{
    m_Silent = silent;
}

void TestHttpServer::setPaused(bool paused)
{
    m_Paused = paused;
}

void TestHttpServer::release()
{
    m_Paused = false;
    const QList<TestHttpConnection*> held = m_Held;
    m_Held.clear();
    for (TestHttpConnection* connection : held)
        connection->answer(responseFor(
            connection->property("path").toString(), connection->property("attempt").toInt()));
}

void TestHttpServer::sendPiece(qint64 bytes)
{
    for (TestHttpConnection* connection : findChildren<TestHttpConnection*>())
        connection->sendPiece(bytes);
}

QStringList TestHttpServer::requestedPaths() const
{
    QStringList paths;
    for (const QByteArray& line : m_RequestLines)
        paths << QString::fromLatin1(line.split(' ').value(1));
    return paths;
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_Server->nextPendingConnection())
        new TestHttpConnection(socket, this);
}

QByteArray TestHttpServer::requestHeader(int index, const QByteArray& name) const
{
    const QList<QByteArray> lines = m_RequestHeads.value(index).split('\n');
    for (const QByteArray& line : lines) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

void TestHttpServer::requestArrived(TestHttpConnection* connection, const QByteArray& head)
{
    const QByteArray requestLine = head.left(head.indexOf("\r\n"));
    m_RequestLines.append(requestLine);
    m_RequestHeads.append(head);
    const QString path = QString::fromLatin1(requestLine.split(' ').value(1));
    connection->setProperty("path", path);
    connection->setProperty("attempt", m_Counts.value(path));
    m_Counts[path] += 1;
    connection->m_Counted = true;
    m_MaxActive = std::max(m_MaxActive, ++m_Active);
    connect(connection, &QObject::destroyed, this,
        [this, connection] { m_Held.removeOne(connection); });
    if (m_Silent)
        return;
    if (m_Paused) {
        m_Held.append(connection);
        return;
    }
    connection->answer(responseFor(path, connection->property("attempt").toInt()));
}

TestHttpResponse TestHttpServer::responseFor(const QString& path, int attempt) const
{
    const auto route = m_Routes.constFind(path);
    if (route == m_Routes.constEnd() || route->isEmpty())
        return m_Fallback;
    return route->at(std::min(attempt, route->size() - 1));
}

void TestHttpServer::answerEnded()
{
    --m_Active;
}

QByteArray TestHttpServer::patternBytes(qint64 offset, int length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i) {
        const quint64 n = quint64(offset + i);
        bytes[i] = char((n * 131) ^ (n >> 9) ^ (n >> 17));
    }
    return bytes;
}

QByteArray TestHttpServer::patternSha512Hex(qint64 size)
{
    QCryptographicHash hash(QCryptographicHash::Sha512);
    for (qint64 offset = 0; offset < size; offset += kChunk)
        hash.addData(patternBytes(offset, int(std::min<qint64>(kChunk, size - offset))));
    return hash.result().toHex();
}

QByteArray TestHttpServer::sha512Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex();
}

#include "testhttpserver.moc"
