#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

class TestHttpConnection;
class TestHttpListener;

// What the server does with one request. The defaults give a plain 200 with
// the body; the other fields make it misbehave in the ways a real file server
// or the network between can.
struct TestHttpResponse
{
    int status = 200;
    // The body, or, when patternSize >= 0, that many bytes of a fixed
    // pattern made on the fly (see patternBytes) so that large bodies cost
    // the server no memory.
    QByteArray body;
    qint64 patternSize = -1;
    // Content-Length sent; -1 announces the real body size, -2 sends none
    // (the body then ends when the connection closes).
    qint64 contentLength = -1;
    // Body bytes actually sent; -1 sends all of them. Fewer bytes than the
    // Content-Length make a body cut off in the middle.
    qint64 sendBytes = -1;
    // After sending (the headers and sendBytes of the body) keep the
    // connection open and say nothing more.
    bool stallAfterSending = false;
    // Send the body in pieces of trickleBytes every trickleIntervalMs.
    int trickleBytes = 0;
    int trickleIntervalMs = 0;
    // Header lines sent as they are, each ending in CRLF.
    QByteArray extraHeaders;
    // Send no body until the test asks for it with sendPiece(), so that what
    // arrives between two steps of the test does not depend on timing.
    bool sendOnDemand = false;
    // Send the body with the chunked transfer encoding (in pieces of up to
    // 64 KiB), without a Content-Length.
    bool chunked = false;
    // Bytes sent again and again, as fast as the connection takes them,
    // without end: after the status line, or in place of the whole reply
    // when status is 0.
    QByteArray endless;
    // Answer a CONNECT request: agree, then carry bytes both ways between
    // the client and 127.0.0.1:tunnelPort.
    quint16 tunnelPort = 0;

    static TestHttpResponse ok(const QByteArray& body);
    static TestHttpResponse pattern(qint64 size);
    static TestHttpResponse error(int status);
    static TestHttpResponse headersThenSilence(qint64 contentLength);
    static TestHttpResponse cutOff(const QByteArray& body, qint64 sendBytes);
    static TestHttpResponse trickle(const QByteArray& body, int bytes, int intervalMs);
    // The body with a Content-Encoding header naming encoding.
    static TestHttpResponse encoded(const QByteArray& body, const QByteArray& encoding);
    static TestHttpResponse onDemand(const QByteArray& body);
    // Header lines of a kilobyte each.
    static TestHttpResponse endlessHeaderLines();
    // The shortest interim replies there are.
    static TestHttpResponse endlessInterimReplies();
    static TestHttpResponse tunnelTo(quint16 port);
};

// A small HTTP/1.1 server for tests on 127.0.0.1 and a free port. Every path
// has a list of responses, one per attempt: request n of a path gets entry n
// (the last entry for every later request); unknown paths get a 404. It
// counts requests per path and the most requests in progress at once, and
// can hold every answer back until the test releases it. Each response
// closes its connection. With setTls(), every connection is TLS with the
// certificate given; as a proxy, it answers CONNECT requests (the request
// line's target is the path).
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    explicit TestHttpServer(QObject* parent = nullptr);
    ~TestHttpServer() override;

    bool listen();
    // Serve over TLS; before listen().
    void setTls(const QSslCertificate& certificate, const QSslKey& key);
    quint16 port() const;
    // "http://127.0.0.1:<port>" followed by path.
    QString url(const QString& path) const;

    void serve(const QString& path, const QList<TestHttpResponse>& attempts);
    void serve(const QString& path, const TestHttpResponse& response);
    // The answer for every path without an entry of its own.
    void setReply(int status, const QByteArray& body);
    // Accept requests and never answer them.
    void setSilent(bool silent);
    // Hold answers back until release(); requests keep being counted.
    void setPaused(bool paused);
    void release();
    // Sends up to bytes more of the body of every open onDemand response.
    void sendPiece(qint64 bytes);

    int requestCount(const QString& path) const { return m_Counts.value(path); }
    int totalRequests() const { return m_RequestLines.size(); }
    // Request lines seen so far ("GET /path HTTP/1.1"), in order of arrival.
    QList<QByteArray> requestLines() const { return m_RequestLines; }
    // The value of header name in request number index (in order of
    // arrival); empty when that request did not send it.
    QByteArray requestHeader(int index, const QByteArray& name) const;
    QStringList requestedPaths() const;
    // Requests whose answer has not been completely sent yet.
    int activeRequests() const { return m_Active; }
    int maxActiveRequests() const { return m_MaxActive; }
    // Connections that have been closed, by either side.
    int closedConnections() const { return m_ClosedConnections; }

    // Byte i of the pattern is a fixed function of i, so tests can compute
    // hashes without the body in memory.
    static QByteArray patternBytes(qint64 offset, int length);
    static QByteArray patternSha512Hex(qint64 size);
    static QByteArray sha512Hex(const QByteArray& data);

private slots:
    void onNewConnection();

private:
    friend class TestHttpConnection;
    TestHttpResponse responseFor(const QString& path, int attempt) const;
    void requestArrived(TestHttpConnection* connection, const QByteArray& head);
    void answerEnded();

    TestHttpListener* m_Server;
    QHash<QString, QList<TestHttpResponse>> m_Routes;
    QHash<QString, int> m_Counts;
    TestHttpResponse m_Fallback;
    bool m_Silent = false;
    bool m_Paused = false;
    QList<TestHttpConnection*> m_Held;
    QList<QByteArray> m_RequestLines;
    QList<QByteArray> m_RequestHeads;
    int m_Active = 0;
    int m_MaxActive = 0;
    int m_ClosedConnections = 0;
};

#endif
