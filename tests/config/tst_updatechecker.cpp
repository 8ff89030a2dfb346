#include "UpdateMessage.pb.h"
#include "buildconfig.h"
#include "configuration.h"
#include "protobufhelper.h"
#include "testcutshortmanager.h"
#include "testhttpserver.h"
#include "updatechecker.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

using com::kelvarion::update::Channel;
using com::kelvarion::update::Versions;

namespace {

QByteArray serialized(const Versions& versions)
{
    const std::string bytes = versions.SerializePartialAsString();
    return QByteArray(bytes.data(), static_cast<int>(bytes.size()));
}

void addChannel(Versions* versions, const char* name, int number, const char* text)
{
    Channel* channel = versions->add_channels();
    channel->set_name(name);
    channel->set_version_number(number);
    channel->set_version_string(text);
}

QByteArray threeChannels()
{
    Versions versions;
    versions.set_licenseagreementid(4);
    addChannel(&versions, "stable", 1200, "1.2");
    addChannel(&versions, "beta", 1300, "1.3 beta");
    addChannel(&versions, "alpha", 1400, "1.4 alpha");
    return serialized(versions);
}

} // namespace

class TestUpdateChecker : public QObject
{
    Q_OBJECT

private:
    // The deadlines the deadline rows try in turn: short to keep them quick,
    // doubled until the server held the request before the deadline passed.
    static constexpr int kDeadlinesMs[] = {200, 400, 800, 1600, 3200, 6400, 12800, 25600};

    // Runs one query against url and returns the table it reported.
    UpdateVersions query(const QString& url, int timeoutMs = HTTPDownloader::DefaultTimeoutMs)
    {
        QPointer<UpdateChecker> checker = new UpdateChecker(nullptr, url, timeoutMs);
        QSignalSpy spy(checker.data(), &UpdateChecker::update_available);
        checker->check();
        if (!spy.wait(60000))
            return UpdateVersions {{QStringLiteral("no answer"), {}}};
        // The checker ends its own life after its one answer.
        if (!QTest::qWaitFor([&checker] { return checker.isNull(); }, 10000))
            return UpdateVersions {{QStringLiteral("checker still alive"), {}}};
        return spy.at(0).at(0).value<UpdateVersions>();
    }

    UpdateVersions queryServer(int status, const QByteArray& body)
    {
        TestHttpServer server;
        if (!server.listen())
            return UpdateVersions {{QStringLiteral("no server"), {}}};
        server.setReply(status, body);
        return query(server.url(QStringLiteral("/kv3-client-2")));
    }

private slots:
    void initTestCase()
    {
        initProtobuf();
        qRegisterMetaType<UpdateVersions>("UpdateVersions");
    }

    void cleanupTestCase() { shutdownProtobuf(); }

    void builtInAddressEndsInTheVersionsPath()
    {
        QString url;
        getVersionsUrl(url);
        QCOMPARE(url, QStringLiteral(KV_VERSIONS_URL));
        QVERIFY(url.endsWith(QLatin1String("/kv3-client-2")));
        QVERIFY(url.startsWith(QLatin1String("http://")));
    }

    void goodReplyGivesEveryChannel()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        server.setReply(200, threeChannels());
        const UpdateVersions table = query(server.url(QStringLiteral("/kv3-client-2")));

        QCOMPARE(table.size(), 3);
        QCOMPARE(table.value(QStringLiteral("stable")),
            qMakePair(QStringLiteral("1200"), QStringLiteral("1.2")));
        QCOMPARE(table.value(QStringLiteral("beta")),
            qMakePair(QStringLiteral("1300"), QStringLiteral("1.3 beta")));
        QCOMPARE(table.value(QStringLiteral("alpha")),
            qMakePair(QStringLiteral("1400"), QStringLiteral("1.4 alpha")));
        QCOMPARE(server.requestLines(), QList<QByteArray> {"GET /kv3-client-2 HTTP/1.1"});
    }

    void repeatedChannelKeepsTheFirstEntry()
    {
        Versions versions;
        versions.set_licenseagreementid(1);
        addChannel(&versions, "beta", 10, "first");
        addChannel(&versions, "beta", 11, "second");
        const UpdateVersions table = queryServer(200, serialized(versions));
        QCOMPARE(table.size(), 1);
        QCOMPARE(table.value(QStringLiteral("beta")),
            qMakePair(QStringLiteral("10"), QStringLiteral("first")));
    }

    void negativeNumberIsWrittenUnsigned()
    {
        Versions versions;
        versions.set_licenseagreementid(1);
        addChannel(&versions, "stable", -1, "broken");
        const UpdateVersions table = queryServer(200, serialized(versions));
        QCOMPARE(table.value(QStringLiteral("stable")).first, QStringLiteral("4294967295"));
    }

    void replyWithoutChannelsGivesAnEmptyTable()
    {
        Versions versions;
        versions.set_licenseagreementid(1);
        QVERIFY(queryServer(200, serialized(versions)).isEmpty());
    }

    void failedQueriesGiveAnEmptyTable_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");

        Versions incomplete;
        incomplete.set_licenseagreementid(1);
        Channel* channel = incomplete.add_channels();
        channel->set_name("stable");
        channel->set_version_number(5);

        // Well-formed, but longer than any versions reply may be.
        Versions oversized;
        oversized.set_licenseagreementid(1);
        addChannel(
            &oversized, "stable", 1200, std::string(HTTPDownloader::MaxBodySize, 'x').c_str());

        QTest::newRow("missing required field") << 200 << serialized(incomplete);
        QTest::newRow("garbage bytes")
            << 200 << QByteArray("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff garbage");
        QTest::newRow("empty body") << 200 << QByteArray();
        QTest::newRow("404 with a valid body") << 404 << threeChannels();
        QTest::newRow("500") << 500 << threeChannels();
        QTest::newRow("valid reply beyond the bound") << 200 << serialized(oversized);
    }

    void failedQueriesGiveAnEmptyTable()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        const UpdateVersions table = queryServer(status, body);
        QVERIFY2(table.isEmpty(), qPrintable(table.keys().join(QLatin1Char(','))));
    }

    void encodedReplyGivesAnEmptyTable_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QByteArray>("body");
        // Inflated, the body would be a good reply.
        QTest::newRow("gzip") << QByteArray("gzip") << qCompress(threeChannels()).mid(4);
        QTest::newRow("deflate") << QByteArray("deflate") << qCompress(threeChannels()).mid(4);
        // Read as it is, the body is a good reply: only its label refuses it.
        QTest::newRow("good reply labelled gzip") << QByteArray("gzip") << threeChannels();
    }

    void encodedReplyGivesAnEmptyTable()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QByteArray, body);
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serve(QStringLiteral("/kv3-client-2"), TestHttpResponse::encoded(body, encoding));
        const UpdateVersions table = query(server.url(QStringLiteral("/kv3-client-2")));
        QVERIFY2(table.isEmpty(), qPrintable(table.keys().join(QLatin1Char(','))));
        QCOMPARE(server.requestHeader(0, "Accept-Encoding"), QByteArray("identity"));
    }

    // The network module ends a reply whose server closed the connection
    // short of the announced length now and then without an error. Cut at a
    // channel's boundary, the body would still parse, with the later
    // channels missing. The manager here ends it so every time; the reply
    // goes to the slot that the downloader's manager calls once it ends.
    void cutReplyReportedWholeGivesNoBody_data()
    {
        QTest::addColumn<int>("cutReplies");
        QTest::newRow("cut at a channel's boundary") << 1;
        QTest::newRow("whole") << 0;
    }

    void cutReplyReportedWholeGivesNoBody()
    {
        QFETCH(int, cutReplies);
        const QByteArray whole = threeChannels();
        Versions twoChannels;
        twoChannels.set_licenseagreementid(4);
        addChannel(&twoChannels, "stable", 1200, "1.2");
        addChannel(&twoChannels, "beta", 1300, "1.3 beta");
        const QByteArray cut = serialized(twoChannels);
        QVERIFY(whole.startsWith(cut));

        TestCutShortManager cutting(whole, cut.size(), cutReplies);
        QNetworkReply* reply
            = cutting.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:1/kv3-client-2"))));
        QSignalSpy ended(reply, &QNetworkReply::finished);
        QVERIFY(ended.wait(10000));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QPointer<HTTPDownloader> downloader = new HTTPDownloader(QNetworkRequest());
        QSignalSpy available(downloader.data(), &HTTPDownloader::download_available);
        downloader->on_downloadFinished(reply);
        QCOMPARE(available.count(), 1);
        QCOMPARE(available.at(0).at(0).toByteArray(), cutReplies ? QByteArray() : whole);
        QTRY_VERIFY(downloader.isNull());
    }

    // A reply longer than the bound is cut off as it arrives: the query ends
    // long before its deadline, here one far beyond query()'s wait.
    void endlessReplyEndsAsItArrives()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        TestHttpResponse endless = TestHttpResponse::pattern(1LL << 40);
        endless.contentLength = -2;
        server.serve(QStringLiteral("/kv3-client-2"), endless);
        const UpdateVersions table
            = query(server.url(QStringLiteral("/kv3-client-2")), 24 * 3600 * 1000);
        QVERIFY2(table.isEmpty(), qPrintable(table.keys().join(QLatin1Char(','))));
    }

    void closedPortGivesAnEmptyTable()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        QVERIFY(query(QStringLiteral("http://127.0.0.1:%1/kv3-client-2").arg(port)).isEmpty());
    }

    // A silent server's query ends at its deadline. Each try has a fresh
    // server and the next deadline: a loaded machine may hold the network
    // thread back for longer than any fixed one.
    void silentServerEndsAtTheDeadline()
    {
        for (int deadlineMs : kDeadlinesMs) {
            TestHttpServer server;
            QVERIFY(server.listen());
            server.setSilent(true);
            const UpdateVersions table
                = query(server.url(QStringLiteral("/kv3-client-2")), deadlineMs);
            QVERIFY2(table.isEmpty(), qPrintable(table.keys().join(QLatin1Char(','))));
            if (server.requestLines().isEmpty())
                continue;
            // The request did reach the server: the deadline, not a refusal,
            // ended it.
            QCOMPARE(server.requestLines().size(), 1);
            QTRY_COMPARE_WITH_TIMEOUT(server.closedConnections(), 1, 10000);
            return;
        }
        QFAIL("no request reached the server before its deadline");
    }

    void checkerGoesWithItsParentWhileTheQueryRuns()
    {
        for (int deadlineMs : kDeadlinesMs) {
            TestHttpServer server;
            QVERIFY(server.listen());
            server.setSilent(true);
            QObject* owner = new QObject;
            UpdateChecker* checker
                = new UpdateChecker(owner, server.url(QStringLiteral("/kv3-client-2")), deadlineMs);
            QPointer<UpdateChecker> watch = checker;
            QSignalSpy answered(checker, &UpdateChecker::update_available);
            checker->check();
            QTRY_VERIFY_WITH_TIMEOUT(
                server.requestLines().size() == 1 || !answered.isEmpty(), deadlineMs + 10000);
            // The server holds the request, or the deadline came first.
            const bool queryRuns = answered.isEmpty();
            delete owner;
            QVERIFY(watch.isNull());
            if (!queryRuns)
                continue;
            // The orphaned download still reaches its deadline and closes its
            // connection.
            QTRY_COMPARE_WITH_TIMEOUT(server.closedConnections(), 1, deadlineMs + 10000);
            QCOMPARE(server.requestLines().size(), 1);
            return;
        }
        QFAIL("no request reached the server before its deadline");
    }

    // The configuration takes its channel's entry from a real reply.
    void replyReachesTheConfiguration_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("error");
        QTest::newRow("beta") << int(CHANNEL_BETA) << 1300 << QString();
        QTest::newRow("alpha") << int(CHANNEL_ALPHA) << 1400 << QString();
        QTest::newRow("channel missing")
            << int(CHANNEL_ALPHA) << 0 << "Update server returned no version";
    }

    void replyReachesTheConfiguration()
    {
        QFETCH(int, channel);
        QFETCH(int, version);
        QFETCH(QString, error);
        TestHttpServer server;
        QVERIFY(server.listen());
        if (error.isEmpty()) {
            server.setReply(200, threeChannels());
        } else {
            Versions stableOnly;
            stableOnly.set_licenseagreementid(1);
            addChannel(&stableOnly, "stable", 1200, "1.2");
            server.setReply(200, serialized(stableOnly));
        }

        Configuration config;
        config.m_Channel = channel;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        UpdateChecker* checker
            = new UpdateChecker(&config, server.url(QStringLiteral("/kv3-client-2")));
        connect(
            checker, &UpdateChecker::update_available, &config, &Configuration::on_updateAvailable);
        checker->check();

        QTRY_COMPARE_WITH_TIMEOUT(ready.count() + fatal.count(), 1, 30000);
        QCOMPARE(config.m_Version, version);
        QCOMPARE(config.m_Ready, error.isEmpty());
        if (!error.isEmpty())
            QCOMPARE(fatal.at(0).at(0).toString(), error);
    }

    void versionForChannel_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("text");
        QTest::newRow("stable") << 0 << "1"
                                << "one";
        QTest::newRow("beta") << 1 << "2"
                              << "two";
        QTest::newRow("alpha missing") << 2 << QString() << QString();
        QTest::newRow("channel 3") << 3 << QString() << QString();
        QTest::newRow("channel -1") << -1 << QString() << QString();
    }

    void versionForChannel()
    {
        QFETCH(int, channel);
        QFETCH(QString, number);
        QFETCH(QString, text);
        UpdateVersions table;
        table.insert(
            QStringLiteral("stable"), qMakePair(QStringLiteral("1"), QStringLiteral("one")));
        table.insert(QStringLiteral("beta"), qMakePair(QStringLiteral("2"), QStringLiteral("two")));
        table.insert(
            QStringLiteral("other"), qMakePair(QStringLiteral("3"), QStringLiteral("three")));
        const QPair<QString, QString> pair = UpdateChecker::versionForChannel(table, channel);
        QCOMPARE(pair.first, number);
        QCOMPARE(pair.second, text);
        QVERIFY(pair.first.isEmpty() == number.isNull());
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
