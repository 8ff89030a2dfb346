#include "testbannerresponder.h"
#include "testnginx.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

namespace {

struct Fetched
{
    int status = 0;
    QByteArray body;
};

Fetched fetch(const QString& url)
{
    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(url)));
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!done.wait(20000))
        return {};
    Fetched result {
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    delete reply;
    return result;
}

bool portAnswers(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(5000);
}

void writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(data.size()));
}

QByteArray askBanner(quint16 port, const QByteArray& datagram)
{
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::LocalHost));
    QSignalSpy arrived(&socket, &QUdpSocket::readyRead);
    socket.writeDatagram(datagram, QHostAddress::LocalHost, port);
    // The responder may live in this thread: wait in the event loop.
    if (!arrived.wait(20000))
        return QByteArray();
    return socket.receiveDatagram().data();
}

} // namespace

class TestFileServer : public QObject
{
    Q_OBJECT
private slots:
    void servesTheGivenTreeAndStops();
    void twoAtOnceOnDifferentPorts();
    void refusesMissingRoot();
    void bannerRepliesOnlyToRequests();
    void silentBannerCountsRequests();
    void standaloneServerForScripts();
};

void TestFileServer::servesTheGivenTreeAndStops()
{
    QTemporaryDir root;
    QByteArray big(300000, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + (i >> 9));
    writeFile(root.path() + "/1234/client/big.bin", big);

    TestNginx nginx;
    QVERIFY2(nginx.start(root.path()), qPrintable(nginx.errorString()));
    QVERIFY(nginx.isRunning());
    QVERIFY(nginx.url().startsWith("http://127.0.0.1:"));

    const Fetched file = fetch(nginx.url("1234/client/big.bin"));
    QCOMPARE(file.status, 200);
    QCOMPARE(file.body, big);
    QCOMPARE(fetch(nginx.url("1234/missing")).status, 404);
    // nginx logs an answer once it has sent it, which may be just after the
    // client has read it.
    QTRY_COMPARE_WITH_TIMEOUT(
        nginx.requests(), QStringList({"200 /1234/client/big.bin", "404 /1234/missing"}), 30000);

    const quint16 port = nginx.port();
    nginx.stop();
    QVERIFY(!nginx.isRunning());
    QVERIFY(!portAnswers(port));
}

void TestFileServer::twoAtOnceOnDifferentPorts()
{
    QTemporaryDir a;
    QTemporaryDir b;
    writeFile(a.path() + "/f", "a");
    writeFile(b.path() + "/f", "b");
    TestNginx first;
    TestNginx second;
    QVERIFY2(first.start(a.path()), qPrintable(first.errorString()));
    QVERIFY2(second.start(b.path()), qPrintable(second.errorString()));
    QVERIFY(first.port() != second.port());
    QCOMPARE(fetch(first.url("f")).body, QByteArray("a"));
    QCOMPARE(fetch(second.url("f")).body, QByteArray("b"));
}

void TestFileServer::refusesMissingRoot()
{
    TestNginx nginx;
    QVERIFY(!nginx.start("/nonexistent/kv_test_root"));
    QVERIFY(nginx.errorString().contains("does not exist"));
    QVERIFY(!nginx.isRunning());
}

void TestFileServer::bannerRepliesOnlyToRequests()
{
    TestBannerResponder responder;
    QVERIFY(responder.listen());
    responder.setReply("http://127.0.0.1/banner.jpg,http://example.invalid/");
    QCOMPARE(askBanner(responder.port(), TestBannerResponder::requestBytes()), responder.reply());
    // The responder answers as it reads a datagram: once it has read one
    // that is no request, a reply to it would be waiting here by now.
    QUdpSocket asking;
    QVERIFY(asking.bind(QHostAddress(QHostAddress::LocalHost)));
    asking.writeDatagram(QByteArray("\x01\x01\x01", 3), QHostAddress::LocalHost, responder.port());
    QTRY_COMPARE_WITH_TIMEOUT(responder.datagrams().size(), 2, 30000);
    QVERIFY(!asking.hasPendingDatagrams());
    QCOMPARE(responder.requestCount(), 1);
}

void TestFileServer::silentBannerCountsRequests()
{
    TestBannerResponder responder;
    QVERIFY(responder.listen());
    responder.setSilent(true);
    QSignalSpy requests(&responder, &TestBannerResponder::requestReceived);
    QUdpSocket socket;
    socket.writeDatagram(
        TestBannerResponder::requestBytes(), QHostAddress::LocalHost, responder.port());
    QVERIFY(requests.wait(20000));
    QCOMPARE(responder.requestCount(), 1);
    QVERIFY(!socket.hasPendingDatagrams());
}

void TestFileServer::standaloneServerForScripts()
{
    const QString program = qEnvironmentVariable("KV_TEST_SERVE");
    if (program.isEmpty())
        QSKIP("KV_TEST_SERVE is not set (run through ctest)");
    QTemporaryDir root;
    writeFile(root.path() + "/www/x.txt", "served");
    const QString readyFile = root.path() + "/ready";

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(program,
        {"--root", root.path() + "/www", "--banner-reply", "a,b", "--ready-file", readyFile});
    QVERIFY(server.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        QFile::exists(readyFile) || server.state() == QProcess::NotRunning, 30000);
    QFile ready(readyFile);
    QVERIFY(ready.open(QIODevice::ReadOnly));
    QHash<QByteArray, QByteArray> values;
    for (const QByteArray& line : ready.readAll().split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            values.insert(line.left(eq), line.mid(eq + 1));
    }
    const quint16 httpPort = quint16(values.value("KV_HTTP_PORT").toUInt());
    const quint16 bannerPort = quint16(values.value("KV_BANNER_PORT").toUInt());
    QVERIFY(httpPort != 0 && bannerPort != 0);
    QCOMPARE(values.value("KV_HTTP_URL"),
        QByteArray("http://127.0.0.1:") + QByteArray::number(httpPort) + '/');
    QCOMPARE(
        fetch(QString::fromUtf8(values.value("KV_HTTP_URL")) + "x.txt").body, QByteArray("served"));
    QCOMPARE(askBanner(bannerPort, TestBannerResponder::requestBytes()), QByteArray("a,b"));

    server.terminate();
    QVERIFY(server.waitForFinished(20000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    QVERIFY(!portAnswers(httpPort));
}

QTEST_GUILESS_MAIN(TestFileServer)
#include "tst_fileserver.moc"
