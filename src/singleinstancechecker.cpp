#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

const int kWaitMs = 1000;

// The socket file lies in the shared temporary directory, so another local
// user can listen under the name first. Only a listener of the same user
// counts as a running instance; anyone else's would otherwise make every
// start end at once.
bool peerIsSameUser(const QLocalSocket& socket)
{
    struct ucred cred;
    socklen_t length = sizeof cred;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return false;
    return cred.uid == ::geteuid();
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
    , m_socket(nullptr)
{
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    // A name that is taken (a socket file left by a crashed run) only means
    // that this instance hears nothing.
    m_server->listen(serverName());
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_server->close();
    if (m_socket != nullptr)
        m_socket->close();
}

QString SingleInstanceChecker::serverName()
{
    return serverName(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::serverName(const QString& executablePath, const QString& homeDir)
{
    QString key = executablePath.toLower() + homeDir;
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const QByteArray bytes = key.toUtf8();
    const quint16 checksum = qChecksum(bytes.constData(), uint(bytes.size()));
    return QLatin1String("KV3ClientUpdate") + QString::number(checksum, 16);
}

bool SingleInstanceChecker::send(const QString& message)
{
    QLocalSocket socket;
    socket.connectToServer(serverName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(kWaitMs))
        return false;
    if (!peerIsSameUser(socket)) {
        qDebug() << "Local server" << serverName() << "belongs to another user, ignored";
        return false;
    }
    if (socket.write(message.toLatin1()) == 0)
        return false;
    return socket.waitForBytesWritten(kWaitMs);
}

void SingleInstanceChecker::onNewConnection()
{
    delete m_socket;
    m_socket = m_server->nextPendingConnection();
    if (m_socket != nullptr)
        connect(m_socket, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (m_socket == nullptr)
        return;
    const QByteArray data = m_socket->readAll();
    const int end = data.indexOf('\0');
    const QString message = QString::fromUtf8(end < 0 ? data : data.left(end));
    // Delete before emitting: a slot may run a nested event loop.
    QLocalSocket* socket = m_socket;
    m_socket = nullptr;
    socket->deleteLater();
    emit otherInstanceActivate(message);
}
