#include "banner.h"

#include "buildconfig.h"
#include "imageheader.h"

#include <QDebug>
#include <QTimerEvent>
#include <QUdpSocket>

QString bannerServerHost = QStringLiteral(KV_BANNER_HOST);
quint16 bannerServerPort = 2009;

Banner::Banner(QObject* parent)
    : QObject(parent)
    , m_socket(nullptr)
    , m_retries(0)
    , m_ignored(0)
    , m_finished(false)
{
    qDebug() << "Creating Banner";
}

bool Banner::hasBannerSize(const QByteArray& image, QByteArray* format)
{
    const ImageHeader header = ImageHeader::read(
        reinterpret_cast<const unsigned char*>(image.constData()), std::size_t(image.size()));
    const char* name = nullptr;
    switch (header.format) {
    case ImageHeader::Format::Png:
        name = "png";
        break;
    case ImageHeader::Format::Jpeg:
        name = "jpeg";
        break;
    case ImageHeader::Format::Gif:
        name = "gif";
        break;
    case ImageHeader::Format::Unknown:
        return false;
    }
    if (header.width == 0 || header.height == 0 || header.width > kMaxImageSide
        || header.height > kMaxImageSide || qint64(header.width) * header.height > kMaxImagePixels)
        return false;
    if (format)
        *format = name;
    return true;
}

Banner::~Banner()
{
    m_timer.stop();
}

quint16 Banner::localPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

void Banner::run()
{
    qDebug() << "Looking up banner server";
    QHostInfo::lookupHost(bannerServerHost, this, SLOT(onResolved(QHostInfo)));
}

void Banner::onResolved(QHostInfo hostInfo)
{
    qDebug() << "Banner server lookup resolved, error =" << hostInfo.error();
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return finish();
    m_address.clear();
    for (const QHostAddress& address : hostInfo.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_address = address;
            break;
        }
    }
    if (m_address.isNull())
        return finish();
    // Connected to the server's address and port, the socket receives only
    // its datagrams: the system drops everyone else's before they cost a
    // read, let alone a log line.
    m_socket = new QUdpSocket(this);
    connect(m_socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(m_socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
    connect(m_socket, &QUdpSocket::connected, this, &Banner::sendRequest);
    m_socket->connectToHost(m_address, bannerServerPort);
}

void Banner::sendRequest()
{
    qDebug() << "Sending banner request to" << m_address;
    static const char request[2] = {0x01, 0x01};
    if (m_socket->write(request, sizeof(request)) != qint64(sizeof(request))) {
        qDebug() << "Failed to write to banner server";
        finish();
        return;
    }
    m_timer.start(kReplyTimeoutMs, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_timer.timerId()) {
        qDebug() << "get banner from server timed out";
        if (m_retries++ == 0)
            sendRequest();
        else
            finish();
    }
    QObject::timerEvent(event);
}

// Only the address and port asked may answer: anyone else who reaches the
// socket would otherwise choose the banner, and with it what is fetched.
bool Banner::isFromServer(const QHostAddress& sender, quint16 senderPort) const
{
    return !m_address.isNull() && senderPort == bannerServerPort && sender.isEqual(m_address);
}

void Banner::onReadyRead()
{
    while (m_socket && m_socket->hasPendingDatagrams()) {
        char buffer[kMaxReplySize];
        QHostAddress sender;
        quint16 senderPort = 0;
        // A longer datagram is cut at the buffer's end.
        const qint64 length = m_socket->readDatagram(buffer, sizeof(buffer), &sender, &senderPort);
        if (length < 0) {
            qDebug() << "Received no data from banner server";
            finish();
            return;
        }
        if (!isFromServer(sender, senderPort)) {
            ++m_ignored;
            continue;
        }
        // One reply is the answer; the socket closes with it, so a server
        // that keeps sending costs nothing more.
        finish();
        const QString reply = QString::fromLatin1(buffer, int(length));
        qDebug() << "Reply from banner server:" << reply;
        const QStringList parts = reply.split(QLatin1Char(','));
        if (parts.size() == 2)
            emit bannerFound(parts.at(0), parts.at(1));
        else
            qDebug() << "invalid response:" << reply;
        return;
    }
}

void Banner::onError(QAbstractSocket::SocketError socketError)
{
    qDebug() << "banner had socketerror: " << socketError;
    finish();
}

void Banner::finish()
{
    m_timer.stop();
    if (m_finished)
        return;
    m_finished = true;
    // Said once: a line per datagram would let anyone who reaches the port
    // fill the disk with the log.
    if (m_ignored > 0)
        qDebug() << "Ignored" << m_ignored << "datagrams from other senders";
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->close();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    emit finished();
}
