#include "testbannerresponder.h"

#include <QNetworkDatagram>

TestBannerResponder::TestBannerResponder(QObject* parent)
    : QObject(parent)
{
    connect(&m_Socket, &QUdpSocket::readyRead, this, &TestBannerResponder::onReadyRead);
}

bool TestBannerResponder::listen(quint16 port, const QHostAddress& address)
{
    return m_Socket.bind(address, port);
}

void TestBannerResponder::onReadyRead()
{
    while (m_Socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_Socket.receiveDatagram();
        if (!datagram.isValid())
            continue;
        m_Datagrams << datagram.data();
        if (datagram.data() != requestBytes())
            continue;
        ++m_Requests;
        if (!m_Silent)
            m_Socket.writeDatagram(m_Reply, datagram.senderAddress(), datagram.senderPort());
        emit requestReceived();
    }
}
