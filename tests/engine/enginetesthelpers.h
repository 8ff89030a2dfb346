#ifndef ENGINETESTHELPERS_H
#define ENGINETESTHELPERS_H

#include "configuration.h"
#include "testinifiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <memory>

inline bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// A private system temporary directory (TMPDIR) for one test: the update's
// temporary directories, the banner cache and the session's checks all go
// there, and nothing of the real one is touched.
class PrivateSystemTemp
{
public:
    PrivateSystemTemp()
        : m_Dir(std::make_unique<QTemporaryDir>())
        , m_Old(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(m_Dir->path()));
    }
    ~PrivateSystemTemp()
    {
        qputenv("TMPDIR", m_Old);
        m_Dir.reset();
    }
    bool isValid() const { return m_Dir->isValid(); }
    QString path() const { return m_Dir->path(); }

private:
    std::unique_ptr<QTemporaryDir> m_Dir;
    QByteArray m_Old;
};

// Stands for the banner server on 127.0.0.1: counts requests and answers
// each with the next of the given replies (none left: no answer).
class UdpBannerResponder : public QObject
{
    Q_OBJECT
public:
    UdpBannerResponder()
    {
        m_Socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        connect(&m_Socket, &QUdpSocket::readyRead, this, &UdpBannerResponder::onReadyRead);
    }
    quint16 port() const { return m_Socket.localPort(); }
    void send(const QByteArray& datagram)
    {
        if (!m_Peer.isNull())
            m_Socket.writeDatagram(datagram, m_Peer, m_PeerPort);
    }

    QList<QByteArray> replies;
    QList<QByteArray> requests;

private slots:
    void onReadyRead()
    {
        while (m_Socket.hasPendingDatagrams()) {
            QByteArray data(int(m_Socket.pendingDatagramSize()), '\0');
            m_Socket.readDatagram(data.data(), data.size(), &m_Peer, &m_PeerPort);
            requests.append(data);
            if (!replies.isEmpty())
                send(replies.takeFirst());
        }
    }

private:
    QUdpSocket m_Socket;
    QHostAddress m_Peer;
    quint16 m_PeerPort = 0;
};

#endif
