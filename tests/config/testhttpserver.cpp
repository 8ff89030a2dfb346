#include "testhttpserver.h"

#include <QHostAddress>
#include <QTcpSocket>

TestHttpServer::TestHttpServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_Server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

bool TestHttpServer::listen()
{
    return m_Server.listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return m_Server.serverPort();
}

QString TestHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void TestHttpServer::setReply(int status, const QByteArray& body)
{
    m_Status = status;
    m_Body = body;
}

void TestHttpServer::setSilent(bool silent)
{
    m_Silent = silent;
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_Server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &TestHttpServer::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, [this] { ++m_ClosedConnections; });
    }
}

void TestHttpServer::onReadyRead()
{
    QTcpSocket* socket = qobject_cast<QTcpSocket*>(sender());
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    const int headerEnd = request.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    m_RequestLines.append(request.left(request.indexOf("\r\n")));
    socket->setProperty("request", QByteArray());
    if (m_Silent)
        return;

    const QByteArray reason = m_Status == 200 ? "OK" : "Error";
    QByteArray response = "HTTP/1.1 " + QByteArray::number(m_Status) + " " + reason + "\r\n";
    response += "Content-Type: application/octet-stream\r\n";
    response += "Content-Length: " + QByteArray::number(m_Body.size()) + "\r\n";
    response += "Connection: close\r\n\r\n";
    response += m_Body;
    socket->write(response);
    socket->disconnectFromHost();
}
