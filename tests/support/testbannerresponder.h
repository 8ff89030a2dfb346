#ifndef TESTBANNERRESPONDER_H
#define TESTBANNERRESPONDER_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QUdpSocket>

// The banner server's side of the exchange on the loopback network: every
// datagram that is exactly the two request bytes 0x01 0x01 is answered with
// the reply the test gives (sent as it stands, so a test can send replies
// that are too long, have no comma or several). Other datagrams are counted
// and ignored.
class TestBannerResponder : public QObject
{
    Q_OBJECT
public:
    explicit TestBannerResponder(QObject* parent = nullptr);

    // Binds address (127.0.0.1 unless given) on port (0: a free one).
    bool listen(quint16 port = 0, const QHostAddress& address = QHostAddress::LocalHost);
    quint16 port() const { return m_Socket.localPort(); }

    void setReply(const QByteArray& reply) { m_Reply = reply; }
    QByteArray reply() const { return m_Reply; }
    // Receive and count requests without answering (a server that is down).
    void setSilent(bool silent) { m_Silent = silent; }

    int requestCount() const { return m_Requests; }
    // Every datagram received, requests included, in order of arrival.
    QList<QByteArray> datagrams() const { return m_Datagrams; }

    // Sends datagram from the server's address and port, as a reply comes.
    void send(const QByteArray& datagram, const QHostAddress& address, quint16 port)
    {
        m_Socket.writeDatagram(datagram, address, port);
    }

    static QByteArray requestBytes() { return QByteArray("\x01\x01", 2); }

signals:
    void requestReceived();

private slots:
    void onReadyRead();

private:
    QUdpSocket m_Socket;
    QByteArray m_Reply;
    bool m_Silent = false;
    int m_Requests = 0;
    QList<QByteArray> m_Datagrams;
};

#endif
