#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

#include <QByteArray>
#include <QList>
#include <QTcpServer>

class QTcpSocket;

// A minimal HTTP/1.1 server on 127.0.0.1 and a free port. Answers every
// request with one canned status and body, or, when silent, accepts the
// connection and never answers.
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    explicit TestHttpServer(QObject* parent = nullptr);

    bool listen();
    quint16 port() const;
    QString url(const QString& path) const;

    void setReply(int status, const QByteArray& body);
    void setSilent(bool silent);

    // Request lines seen so far ("GET /path HTTP/1.1").
    QList<QByteArray> requestLines() const { return m_RequestLines; }
    // Connections the client has closed.
    int closedConnections() const { return m_ClosedConnections; }

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QTcpServer m_Server;
    int m_Status = 200;
    QByteArray m_Body;
    bool m_Silent = false;
    QList<QByteArray> m_RequestLines;
    int m_ClosedConnections = 0;
};

#endif
