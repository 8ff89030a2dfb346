#ifndef BANNER_H
#define BANNER_H

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>

class QUdpSocket;

// Host name and port of the banner server. The host is built in; tests point
// both at a responder on the loopback interface.
extern QString bannerServerHost;
extern quint16 bannerServerPort;

// Asks the banner server over UDP for an advertisement: a two-byte request,
// answered by one datagram "image address,click address". Waits 5000 ms for
// the reply and asks once more before giving up. The banner is decoration, so
// every failure only ends the attempt with a debug line. The socket exists
// from the look-up's end to the attempt's end (the first reply, the last
// time-out or an error), which finished() tells; a look-up that fails, or
// finds no IPv4 address, ends the attempt too.
class Banner : public QObject
{
    Q_OBJECT
public:
    explicit Banner(QObject* parent);
    ~Banner() override;

    void run();

    // Time-outs so far.
    int retries() const { return m_retries; }
    // The port the replies come to; 0 when no attempt is under way.
    quint16 localPort() const;

    static constexpr int kReplyTimeoutMs = 5000;
    static constexpr int kMaxReplySize = 1024;

    // Whether image is a PNG, JPEG or GIF whose decoding allocates no more
    // than a banner may have; format, if given, receives the name of the
    // decoder to use, so that no other decoder reads the bytes. Only headers
    // are read: a few hundred kilobytes may make a decoder allocate
    // gigabytes.
    static bool hasBannerSize(const QByteArray& image, QByteArray* format = nullptr);
    static constexpr int kMaxImageSide = 4096;
    static constexpr qint64 kMaxImagePixels = 4 * 1024 * 1024;

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);
    // The attempt has ended and the socket is closed.
    void finished();

protected:
    void timerEvent(QTimerEvent* event) override;

private slots:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void sendRequest();
    bool isFromServer(const QHostAddress& sender, quint16 senderPort) const;
    void finish();

    QUdpSocket* m_socket;
    QBasicTimer m_timer;
    QHostAddress m_address;
    int m_retries;
    // Datagrams from anyone but the server, counted to be logged once.
    int m_ignored;
    bool m_finished;
};

#endif
