#include "banner.h"
#include "testbannerresponder.h"

#include <QBuffer>
#include <QImage>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include "enginetesthelpers.h"

namespace {

QByteArray png(int width, int height)
{
    QImage image(width, height, QImage::Format_Mono);
    image.fill(0);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class TestBanner : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestBannerResponder> m_Responder;

private slots:
    void init()
    {
        m_Responder = std::make_unique<TestBannerResponder>();
        QVERIFY(m_Responder->listen());
        bannerServerHost = QStringLiteral("127.0.0.1");
        bannerServerPort = m_Responder->port();
    }

    void cleanup() { m_Responder.reset(); }

    // Every reply is followed by a valid one: the valid one shows that the
    // first was read, so what the first emitted (or not) is known.
    void reply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("emitted");
        QTest::newRow("two parts") << QByteArray("a,b") << QStringList {"a", "b"};
        QTest::newRow("single comma") << QByteArray(",") << QStringList {"", ""};
        QTest::newRow("no comma") << QByteArray("ab") << QStringList();
        QTest::newRow("two commas") << QByteArray("a,b,c") << QStringList();
        QTest::newRow("empty") << QByteArray() << QStringList();
        QTest::newRow("latin-1") << QByteArray("\xe9,\xfc") << QStringList {"\u00e9", "\u00fc"};
        QByteArray longReply = "img," + QByteArray(3000, 'x');
        QTest::newRow("cut at 1024")
            << longReply << QStringList {"img", QString(1024 - 4, QLatin1Char('x'))};
    }

    void reply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, emitted);
        m_Responder->setReply(reply);
        Banner banner(nullptr);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();
        QTRY_COMPARE(m_Responder->requestCount(), 1);
        QCOMPARE(m_Responder->datagrams(), QList<QByteArray> {TestBannerResponder::requestBytes()});
        QUdpSocket late;
        late.writeDatagram("last,one", QHostAddress::LocalHost, banner.localPort());
        QTRY_VERIFY(!spy.isEmpty() && spy.last().at(0).toString() == QLatin1String("last"));
        QCOMPARE(spy.count(), emitted.isEmpty() ? 1 : 2);
        if (!emitted.isEmpty()) {
            QCOMPARE(spy.at(0).at(0).toString(), emitted.at(0));
            QCOMPARE(spy.at(0).at(1).toString(), emitted.at(1));
        }
    }

    void bannerSize_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("banner") << png(468, 60) << true;
        QTest::newRow("4096 wide") << png(4096, 1) << true;
        QTest::newRow("4097 wide") << png(4097, 1) << false;
        QTest::newRow("4097 high") << png(1, 4097) << false;
        QTest::newRow("4 megapixels") << png(2048, 2048) << true;
        QTest::newRow("beyond 4 megapixels") << png(2049, 2048) << false;
        QTest::newRow("30000x30000 header only") << QByteArray("P5 30000 30000 255\n") << false;
        QTest::newRow("not a picture") << QByteArray("<html></html>") << false;
    }

    void bannerSize()
    {
        QFETCH(QByteArray, image);
        QFETCH(bool, accepted);
        QCOMPARE(Banner::hasBannerSize(image), accepted);
    }

    void silentServerIsAskedTwice()
    {
        Banner banner(nullptr);
        banner.run();
        m_Responder->setSilent(true);
        QTRY_COMPARE_WITH_TIMEOUT(banner.retries(), 2, 3 * Banner::kReplyTimeoutMs);
        QCOMPARE(m_Responder->requestCount(), 2);
    }

    // Only IPv4 addresses are asked. The host is an IPv6 literal, so that no
    // name server is asked either.
    void ipv6OnlyHostSendsNothing()
    {
        QUdpSocket listener;
        if (!listener.bind(QHostAddress(QHostAddress::LocalHostIPv6), 0))
            QSKIP("no IPv6 loopback here");
        bannerServerHost = QStringLiteral("::1");
        bannerServerPort = listener.localPort();
        Banner banner(nullptr);
        banner.run();
        QTest::qWait(300);
        QVERIFY(!listener.hasPendingDatagrams());
        QCOMPARE(m_Responder->requestCount(), 0);
    }
};

QTEST_MAIN(TestBanner)
#include "tst_banner.moc"
