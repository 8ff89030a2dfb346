#include "banner.h"
#include "configuration.h"
#include "testbannerresponder.h"
#include "testcertificates.h"
#include "testhttpserver.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "enginetesthelpers.h"

#include <memory>

Q_DECLARE_METATYPE(TestHttpResponse)

namespace {

QStringList messages(const QSignalSpy& spy)
{
    QStringList texts;
    for (const QList<QVariant>& args : spy)
        texts << args.at(0).toString();
    return texts;
}

QVariant sessionValue(const QString& key)
{
    QSettings settings(appIniPath(), QSettings::IniFormat);
    return settings.value(QStringLiteral("current/") + key);
}

} // namespace

class TestUpdateEngine : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PrivateSystemTemp> m_Temp;
    std::unique_ptr<Configuration> m_Config;

    // A session directory as the updater creates it.
    QString makeSessionDir()
    {
        Configuration maker;
        if (!maker.createTempDir())
            return QString();
        return maker.m_TempDir;
    }

    std::unique_ptr<UpdateEngine> makeEngine()
    {
        return std::make_unique<UpdateEngine>(m_Config.get(), nullptr);
    }

    // The proxy of the settings, for engines made after this. Written through
    // QSettings: the process keeps what it read of the file, and checks the
    // file only for its size and time, which a row's file written a few
    // milliseconds after the last row's shares.
    void useProxy(const TestHttpServer& proxy)
    {
        writeIniGroup(appIniPath(), "update", {{"proxy", proxy.url(QString())}});
    }

    // Long enough for a loaded sanitizer build; what waits this long has
    // failed.
    static constexpr int kLongWaitMs = 30000;

private slots:
    void init()
    {
        QFile::remove(appIniPath());
        m_Temp = std::make_unique<PrivateSystemTemp>();
        QVERIFY(m_Temp->isValid());
        m_Config = std::make_unique<Configuration>();
        m_Config->m_Version = 3;
        m_Config->m_ClientType = QStringLiteral("update_linux_x86");
    }

    void cleanup()
    {
        m_Config.reset();
        m_Temp.reset();
        QFile::remove(appIniPath());
    }

    void noSessionCreatesTempDirAndRecordsIt()
    {
        auto engine = makeEngine();
        QVERIFY(engine->initialize());
        QCOMPARE(engine->state(), int(UpdateEngine::POST_INIT));
        QVERIFY(engine->isBusy());
        QCOMPARE(m_Config->m_TempDir, m_Temp->path() + "/kelvarion_temp_0");
        QVERIFY(QFileInfo(m_Config->m_TempDir).isDir());
        QCOMPARE(m_Config->m_InstallDir, Configuration::getAppDir());
        QCOMPARE(sessionValue("version").toInt(), 3);
        QCOMPARE(sessionValue("dir").toString(), m_Config->m_TempDir);
        QCOMPARE(sessionValue("kv3dir").toString(), Configuration::getAppDir());
        QCOMPARE(sessionValue("type").toString(), QStringLiteral("update_linux_x86"));
    }

    void sameVersionContinuesSession()
    {
        const QString dir = makeSessionDir();
        QVERIFY(!dir.isEmpty());
        QVERIFY(writeFile(dir + "/fetched.bin", "kept"));
        UpdateIniData::modify(
            3, dir, QStringLiteral("/opt/kv3"), QStringLiteral("update_linux_x86"));

        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::message);
        QVERIFY(engine->initialize());
        QCOMPARE(messages(spy), QStringList {"Previous update session for v. 3 found"});
        QCOMPARE(m_Config->m_TempDir, dir);
        QCOMPARE(m_Config->m_InstallDir, QStringLiteral("/opt/kv3"));
        QVERIFY(QFile::exists(dir + "/fetched.bin"));
    }

    void otherVersionRemovesOldSession()
    {
        const QString dir = makeSessionDir();
        QVERIFY(writeFile(dir + "/a.bin", "a"));
        QVERIFY(writeFile(dir + "/.hidden", "h"));
        QVERIFY(writeFile(dir + "/sub/deeper/b.bin", "b"));
        writeIniGroup(appIniPath(), "Channel", {{"beta", true}});
        UpdateIniData::modify(
            2, dir, QStringLiteral("/opt/kv3"), QStringLiteral("update_linux_x86"));

        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::message);
        QVERIFY(engine->initialize());
        QCOMPARE(messages(spy),
            (QStringList {QString("Cleanup previous session (v. 2, %1) files...").arg(dir), "Ok"}));
        QVERIFY(!QFile::exists(dir + "/a.bin"));
        QVERIFY(!QFile::exists(dir + "/sub/deeper/b.bin"));
        // Only the session went: the user's groups beside it stay.
        QVERIFY(QSettings(appIniPath(), QSettings::IniFormat).value("Channel/beta").toBool());
        // A new directory (the number is free again) and a new session.
        QVERIFY(QFileInfo(m_Config->m_TempDir).isDir());
        QVERIFY(QDir(m_Config->m_TempDir)
                    .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        QCOMPARE(m_Config->m_InstallDir, Configuration::getAppDir());
        QCOMPARE(sessionValue("version").toInt(), 3);
        QCOMPARE(sessionValue("dir").toString(), m_Config->m_TempDir);
    }

    void unusableTempDirFailsInitialize()
    {
        qputenv("TMPDIR", "/proc/version/none");
        auto engine = makeEngine();
        QSignalSpy fatal(m_Config.get(), &Configuration::fatalError);
        QVERIFY(!engine->initialize());
        QCOMPARE(engine->state(), int(UpdateEngine::PRE_INIT));
        QVERIFY(!engine->isBusy());
        QCOMPARE(fatal.count(), 1);
    }

    void proxy_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("none") << "" << int(QNetworkProxy::NoProxy) << "" << 0;
        QTest::newRow("default port")
            << "http://127.0.0.1" << int(QNetworkProxy::HttpProxy) << "127.0.0.1" << 3128;
        QTest::newRow("own port") << "http://127.0.0.1:8899" << int(QNetworkProxy::HttpProxy)
                                  << "127.0.0.1" << 8899;
    }

    void proxy()
    {
        QFETCH(QString, setting);
        QFETCH(int, type);
        QFETCH(QString, host);
        QFETCH(int, port);
        writeIniGroup(appIniPath(), "update", {{"proxy", setting}, {"streams", 2}});
        auto engine = makeEngine();
        QCOMPARE(m_Config->m_Streams, 2);
        const QNetworkProxy proxy = engine->networkManager()->proxy();
        QCOMPARE(int(proxy.type()), type);
        if (type == QNetworkProxy::HttpProxy) {
            QCOMPARE(proxy.hostName(), host);
            QCOMPARE(int(proxy.port()), port);
            QVERIFY(proxy.user().isEmpty());
            QVERIFY(proxy.password().isEmpty());
        }
    }

    void invalidProxyIsFatalFromTheEventLoop()
    {
        writeIniGroup(appIniPath(), "update", {{"proxy", "http://[nonsense"}});
        auto engine = makeEngine();
        // Reported once the window has had the chance to connect.
        QSignalSpy fatal(engine.get(), &UpdateEngine::fatalError);
        QCOMPARE(fatal.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(fatal.count(), 1, kLongWaitMs);
        QCOMPARE(fatal.at(0).at(0).toString(),
            QStringLiteral("'http://[nonsense' is an invalid proxy specification"));
    }

    void cancelOutsideARunDoesNothing()
    {
        auto engine = makeEngine();
        engine->cancelUpdate();
        QVERIFY(engine->initialize());
        engine->cancelUpdate();
        QCOMPARE(engine->state(), int(UpdateEngine::POST_INIT));
    }

    void configurationMessagesAreRelayed()
    {
        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::message);
        emit m_Config->message(QStringLiteral("from the configuration"));
        QCOMPARE(messages(spy), QStringList {"from the configuration"});
    }

    void failedRunKeepsSession()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        updateBaseUrl = server.url("/");
        auto engine = makeEngine();
        QSignalSpy messageSpy(engine.get(), &UpdateEngine::message);
        QSignalSpy canceled(engine.get(), &UpdateEngine::updateCanceled);
        QSignalSpy finished(engine.get(), &UpdateEngine::updateFinished);
        QSignalSpy downloads(engine.get(), &UpdateEngine::downloadProgress);
        QVERIFY(engine->initialize());
        QVERIFY(engine->startUpdate());
        QCOMPARE(engine->state(), int(UpdateEngine::RUNNING));
        QVERIFY(engine->isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, kLongWaitMs);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(engine->state(), int(UpdateEngine::CANCELED));
        QVERIFY(!engine->isBusy());
        QVERIFY(engine->rootTask() == nullptr);
        QVERIFY(!messages(messageSpy).contains("User aborted update"));
        QCOMPARE(downloads.last(), (QList<QVariant> {0ULL, 0ULL, 0ULL, false}));
        // The next run of the same release continues here.
        QVERIFY(QFileInfo(m_Config->m_TempDir).isDir());
        QCOMPARE(sessionValue("dir").toString(), m_Config->m_TempDir);
        engine->reset();
        QCOMPARE(engine->state(), int(UpdateEngine::PRE_INIT));
        QVERIFY(engine->initialize());
    }

    void userCancelIsReported()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        server.setPaused(true);
        updateBaseUrl = server.url("/");
        auto engine = makeEngine();
        QSignalSpy messageSpy(engine.get(), &UpdateEngine::message);
        QSignalSpy canceled(engine.get(), &UpdateEngine::updateCanceled);
        QVERIFY(engine->initialize());
        QVERIFY(engine->startUpdate());
        QTRY_COMPARE_WITH_TIMEOUT(server.totalRequests(), 1, kLongWaitMs);
        engine->cancelUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, kLongWaitMs);
        QCOMPARE(messages(messageSpy).last(), QStringLiteral("User aborted update"));
        QCOMPARE(engine->state(), int(UpdateEngine::CANCELED));
    }

    void removeDirectoryEmptiesButKeepsLinksAndDir()
    {
        QTemporaryDir outside;
        QVERIFY(writeFile(outside.path() + "/target.txt", "not ours"));
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.path() + "/a", "a"));
        QVERIFY(writeFile(dir.path() + "/.h", "h"));
        QVERIFY(writeFile(dir.path() + "/s/t/u", "u"));
        QVERIFY(QFile::link(outside.path(), dir.path() + "/linkdir"));
        QVERIFY(QFile::link(outside.path() + "/target.txt", dir.path() + "/linkfile"));

        auto engine = makeEngine();
        engine->removeDirectory(dir.path());
        QVERIFY(QFileInfo(dir.path()).isDir());
        QCOMPARE(
            QDir(dir.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            (QStringList {"linkdir", "linkfile"}));
        QVERIFY(QFile::exists(outside.path() + "/target.txt"));
    }

    void startUpCleanUpRemovesOnlyItsNames()
    {
        QTemporaryDir dir;
        const QStringList oldNames = {"_old_update", "_old_libQt5Core.so.5", "_old_libsqlite.so"};
        const QStringList qt4 = {"libQtCore.so.4", "libQtSql.so.4"};
        const QStringList kept = {"update", "_old_other", "libQt5Core.so.5", "_old_libQtCore.so"};
        for (const QString& name : oldNames + qt4 + kept)
            QVERIFY(writeFile(dir.path() + "/" + name, "x"));
        UpdateEngine::removeOldFiles(dir.path());
        UpdateEngine::removeQt4Files(dir.path());
        QStringList left = QDir(dir.path()).entryList(QDir::Files);
        QStringList expected = kept;
        left.sort();
        expected.sort();
        QCOMPARE(left, expected);
    }

    // Stage one forgets its session but keeps the user's settings beside
    // it; a file that held nothing else goes.
    void stageOneCleanupRemovesOnlyTheSession_data()
    {
        QTest::addColumn<bool>("userSettings");
        QTest::newRow("channel and update groups") << true;
        QTest::newRow("session only") << false;
    }

    void stageOneCleanupRemovesOnlyTheSession()
    {
        QFETCH(bool, userSettings);
        m_Config->m_ClientUpdate = 0;
        if (userSettings) {
            writeIniGroup(appIniPath(), "Channel", {{"alpha", "http://127.0.0.1/"}});
            writeIniGroup(appIniPath(), "update", {{"streams", 3}});
        }
        auto engine = makeEngine();
        QVERIFY(engine->initialize());
        QSignalSpy spy(engine.get(), &UpdateEngine::message);
        engine->cleanup();
        QCOMPARE(QFile::exists(appIniPath()), userSettings);
        if (userSettings) {
            const QSettings left(appIniPath(), QSettings::IniFormat);
            QCOMPARE(left.childGroups(), (QStringList {"Channel", "update"}));
            QCOMPARE(left.value("Channel/alpha").toString(), QStringLiteral("http://127.0.0.1/"));
            QCOMPARE(left.value("update/streams").toInt(), 3);
        }
        // Stage one leaves its temporary directory for stage two.
        QVERIFY(QFileInfo(m_Config->m_TempDir).isDir());
        QCOMPARE(messages(spy), QStringList {"Removed temporary update.ini"});
    }

    void stageTwoCleanupRemovesSession()
    {
        m_Config->m_ClientUpdate = 1;
        auto engine = makeEngine();
        QVERIFY(engine->initialize());
        QVERIFY(writeFile(m_Config->m_TempDir + "/sub/file", "x"));
        QSignalSpy spy(engine.get(), &UpdateEngine::message);
        engine->cleanup();
        QVERIFY(!QFileInfo::exists(m_Config->m_TempDir));
        QVERIFY(!QFile::exists(appIniPath()));
        QCOMPARE(
            messages(spy), (QStringList {"Remove temporary files...", "Temporary files removed."}));
    }

    void cachedBannerIsShownWithoutAsking()
    {
        QVERIFY(writeFile(m_Temp->path() + "/kelvarion_banner.jpg", "JPEGDATA"));
        QVERIFY(writeFile(m_Temp->path() + "/kelvarion_banner.txt",
            "http%3A%2F%2Fexample.invalid%2Fa%20b%00junk"));
        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        engine->getBanner();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("JPEGDATA"));
        QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("http://example.invalid/a b"));
        QVERIFY(engine->findChildren<Banner*>().isEmpty());
    }

    void incompleteBannerCacheAsksServer_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("url");
        QTest::newRow("no address") << QByteArray("JPEG") << QByteArray();
        QTest::newRow("no image") << QByteArray() << QByteArray("http%3A%2F%2Fa");
        // A cache file larger than any banner is not read.
        QTest::newRow("oversized image") << QByteArray(int(UpdateEngine::kMaxBannerSize) + 1, 'x')
                                         << QByteArray("http%3A%2F%2Fa");
    }

    void incompleteBannerCacheAsksServer()
    {
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, url);
        if (!image.isEmpty())
            QVERIFY(writeFile(m_Temp->path() + "/kelvarion_banner.jpg", image));
        if (!url.isEmpty())
            QVERIFY(writeFile(m_Temp->path() + "/kelvarion_banner.txt", url));
        TestBannerResponder responder;
        QVERIFY(responder.listen());
        responder.setSilent(true);
        bannerServerHost = QStringLiteral("127.0.0.1");
        bannerServerPort = responder.port();
        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        engine->getBanner();
        QCOMPARE(spy.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(responder.requestCount(), 1, kLongWaitMs);
    }

    void bannerImageDownload_data()
    {
        QTest::addColumn<TestHttpResponse>("response");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("path");
        auto row = [](const char* name, const TestHttpResponse& response, bool shown,
                       const QString& path = QStringLiteral("/banner.jpg")) {
            QTest::newRow(name) << response << shown << path;
        };
        const qint64 max = UpdateEngine::kMaxBannerSize;
        // Banner addresses often carry a query.
        row("query", TestHttpResponse::ok("IMAGE"), true,
            QStringLiteral("/banner.jpg?id=7&s=a%20b"));
        // The announced length ends the body, not the server's close.
        TestHttpResponse keptOpen = TestHttpResponse::ok("IMAGE");
        keptOpen.stallAfterSending = true;
        row("length, connection kept open", keptOpen, true);
        row("announced largest", TestHttpResponse::pattern(max), true);
        row("announced too large", TestHttpResponse::pattern(max + 1), false);
        TestHttpResponse unannounced = TestHttpResponse::pattern(max);
        unannounced.contentLength = -2;
        row("unannounced largest", unannounced, true);
        unannounced.patternSize = max + 1;
        row("unannounced too large", unannounced, false);
        // A server that announces nothing and never stops.
        unannounced.patternSize = qint64(1) << 40;
        row("unannounced endless", unannounced, false);
        // Whatever a failed download delivered still reaches the window.
        row("404", TestHttpResponse::error(404), true);
        // Bytes that are not the image as stored, whatever they would inflate to.
        const QByteArray image = TestHttpServer::patternBytes(0, 1000);
        row("gzip", TestHttpResponse::encoded(qCompress(image).mid(4), "gzip"), false);
        TestHttpResponse chunked = TestHttpResponse::pattern(max);
        chunked.chunked = true;
        row("chunked largest", chunked, true);
        chunked.patternSize = max + 1;
        row("chunked too large", chunked, false);
    }

    void bannerImageDownload()
    {
        QFETCH(TestHttpResponse, response);
        QFETCH(bool, shown);
        QFETCH(QString, path);
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serve(path, response);
        auto engine = makeEngine();
        // Longer than any wait below: a download that ends only at its
        // deadline shows nothing.
        engine->setBannerTimeout(kLongWaitMs);
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound",
            Q_ARG(QString, server.url(path)), Q_ARG(QString, QStringLiteral("http://c/"))));
        QVERIFY(engine->bannerDownloadInProgress());
        QTRY_VERIFY_WITH_TIMEOUT(!engine->bannerDownloadInProgress(), kLongWaitMs * 2);
        QCOMPARE(server.requestHeader(0, "Accept-Encoding"), QByteArray("identity"));
        QCOMPARE(spy.count(), shown ? 1 : 0);
        if (shown) {
            const QByteArray expected = response.patternSize >= 0
                ? TestHttpServer::patternBytes(0, int(response.patternSize))
                : response.body;
            QCOMPARE(spy.at(0).at(0).toByteArray(), expected);
            QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("http://c/"));
        }
    }

    // Through the proxy of the settings, as every download goes: a plain
    // request names the whole address, a TLS one asks for a tunnel (which
    // this proxy answers with a body, no tunnel: nothing is shown).
    void bannerThroughTheProxy_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("host");
        QTest::newRow("http") << "http://banner.kelvarion.invalid:8080/b.jpg?x=1"
                              << QByteArray(
                                     "GET http://banner.kelvarion.invalid:8080/b.jpg?x=1 HTTP/1.1")
                              << QByteArray("banner.kelvarion.invalid:8080");
        QTest::newRow("https") << "https://banner.kelvarion.invalid/b.jpg?x=1"
                               << QByteArray("CONNECT banner.kelvarion.invalid:443 HTTP/1.1")
                               << QByteArray("banner.kelvarion.invalid:443");
        QTest::newRow("http, IPv6") << "http://[2001:db8::1]:8080/b.jpg"
                                    << QByteArray("GET http://[2001:db8::1]:8080/b.jpg HTTP/1.1")
                                    << QByteArray("[2001:db8::1]:8080");
        QTest::newRow("https, IPv6")
            << "https://[2001:db8::1]/b.jpg" << QByteArray("CONNECT [2001:db8::1]:443 HTTP/1.1")
            << QByteArray("[2001:db8::1]:443");
        QTest::newRow("http, IPv6 of eight groups")
            << "http://[2001:db8:1:2:3:4:5:6]:8080/b.jpg"
            << QByteArray("GET http://[2001:db8:1:2:3:4:5:6]:8080/b.jpg HTTP/1.1")
            << QByteArray("[2001:db8:1:2:3:4:5:6]:8080");
        QTest::newRow("https, IPv6 of eight groups")
            << "https://[2001:db8:1:2:3:4:5:6]/b.jpg"
            << QByteArray("CONNECT [2001:db8:1:2:3:4:5:6]:443 HTTP/1.1")
            << QByteArray("[2001:db8:1:2:3:4:5:6]:443");
        // Without a port in the address the Host line names none either.
        QTest::newRow("http, default port")
            << "http://banner.kelvarion.invalid/b.jpg"
            << QByteArray("GET http://banner.kelvarion.invalid/b.jpg HTTP/1.1")
            << QByteArray("banner.kelvarion.invalid");
        // A name that Qt shows in Unicode (its domain allows that) goes out
        // in its ACE form in every line.
        QTest::newRow("http, international name")
            << QString::fromUtf8("http://b\xc3\xa4nner.kelvarion.de/b.jpg")
            << QByteArray("GET http://xn--bnner-gra.kelvarion.de/b.jpg HTTP/1.1")
            << QByteArray("xn--bnner-gra.kelvarion.de");
        QTest::newRow("https, international name")
            << QString::fromUtf8("https://b\xc3\xa4nner.kelvarion.de/b.jpg")
            << QByteArray("CONNECT xn--bnner-gra.kelvarion.de:443 HTTP/1.1")
            << QByteArray("xn--bnner-gra.kelvarion.de:443");
    }

    void bannerThroughTheProxy()
    {
        QFETCH(QString, address);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, host);
        TestHttpServer proxy;
        QVERIFY(proxy.listen());
        proxy.setReply(200, "IMAGE");
        useProxy(proxy);
        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound", Q_ARG(QString, address),
            Q_ARG(QString, QStringLiteral("http://c/"))));
        QTRY_VERIFY_WITH_TIMEOUT(!engine->bannerDownloadInProgress(), kLongWaitMs);
        QCOMPARE(proxy.requestLines(), QList<QByteArray> {request});
        QCOMPARE(proxy.requestHeader(0, "Host"), host);
        const bool tunnel = request.startsWith("CONNECT");
        QCOMPARE(spy.count(), tunnel ? 0 : 1);
        if (!tunnel)
            QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("IMAGE"));
    }

    // Over TLS, directly and through the proxy's tunnel, the server's
    // certificate must come from an authority the system trusts (here, only
    // the test's own) and name the banner's host, not the proxy's.
    void bannerOverTls_data()
    {
        QTest::addColumn<bool>("viaProxy");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("defaultPort");
        QTest::newRow("direct") << false << "localhost" << true << true << false;
        QTest::newRow("direct, untrusted") << false << "localhost" << false << false << false;
        QTest::newRow("tunnel") << true << "banner.test" << true << true << false;
        QTest::newRow("tunnel, untrusted") << true << "banner.test" << false << false << false;
        QTest::newRow("tunnel, another host's certificate")
            << true << "other.test" << true << false << false;
        // The proxy tunnels port 443 to the test's server.
        QTest::newRow("tunnel, no port in the address")
            << true << "banner.test" << true << true << true;
    }

    void bannerOverTls()
    {
        QFETCH(bool, viaProxy);
        QFETCH(QString, host);
        QFETCH(bool, trusted);
        QFETCH(bool, shown);
        QFETCH(bool, defaultPort);
        static const TestCertificates certificates({"banner.test", "localhost"});
        QVERIFY2(certificates.error().isEmpty(), qPrintable(certificates.error()));
        certificates.trustOnlyTestCa();
        TestHttpServer server;
        server.setTls(trusted ? certificates.signedByTestCa() : certificates.selfSigned(),
            certificates.key());
        QVERIFY(server.listen());
        server.serve("/b.jpg?id=1", TestHttpResponse::ok("IMAGE"));
        const QByteArray authority = host.toLatin1()
            + (defaultPort ? QByteArray() : ':' + QByteArray::number(server.port()));
        const QByteArray target = defaultPort ? authority + ":443" : authority;
        TestHttpServer proxy;
        QVERIFY(proxy.listen());
        proxy.serve(QString::fromLatin1(target), TestHttpResponse::tunnelTo(server.port()));
        if (viaProxy)
            useProxy(proxy);
        auto engine = makeEngine();
        if (!shown)
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Banner download failed: "));
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound",
            Q_ARG(QString, "https://" + authority + "/b.jpg?id=1"),
            Q_ARG(QString, QStringLiteral("http://c/"))));
        QTRY_VERIFY_WITH_TIMEOUT(!engine->bannerDownloadInProgress(), kLongWaitMs);
        QCOMPARE(proxy.requestLines(),
            viaProxy ? QList<QByteArray> {"CONNECT " + target + " HTTP/1.1"} : QList<QByteArray>());
        QCOMPARE(server.requestLines(),
            shown ? QList<QByteArray> {"GET /b.jpg?id=1 HTTP/1.1"} : QList<QByteArray>());
        QCOMPARE(spy.count(), shown ? 1 : 0);
        if (shown) {
            QCOMPARE(server.requestHeader(0, "Host"), authority);
            QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("IMAGE"));
        }
    }

    // Each ends with the reason in the log: the deadline, which is short
    // here, or a bound, which the deadline (long then) cannot stand in for.
    // Through the proxy, the banner's address is an https one, and the
    // proxy's reply to CONNECT is the one that misbehaves.
    void bannerThatDoesNotArriveIsNotShown_data()
    {
        QTest::addColumn<TestHttpResponse>("response");
        QTest::addColumn<bool>("viaProxy");
        QTest::addColumn<QString>("reason");
        QTest::newRow("silence after the headers")
            << TestHttpResponse::headersThenSilence(1000) << false << "timed out";
        // The network module reads such a body whole before it reports anything.
        TestHttpResponse unauthorized = TestHttpResponse::error(401);
        unauthorized.patternSize = qint64(1) << 40;
        unauthorized.contentLength = -2;
        unauthorized.extraHeaders = "WWW-Authenticate: Basic realm=\"banner\"\r\n";
        QTest::newRow("401 that never ends") << unauthorized << false << "size too large";
        // Faster than the network module reads a header, which held its
        // thread reading for as long as the server kept sending.
        QTest::newRow("header lines without end")
            << TestHttpResponse::endlessHeaderLines() << false << "reply header too large";
        QTest::newRow("interim replies without end")
            << TestHttpResponse::endlessInterimReplies() << false << "reply header too large";
        QTest::newRow("tunnel reply of header lines without end")
            << TestHttpResponse::endlessHeaderLines() << true << "proxy reply header too large";
        TestHttpResponse statusLine;
        statusLine.status = 0;
        statusLine.endless = QByteArray(64 * 1024, 'H');
        QTest::newRow("tunnel reply of a status line without end")
            << statusLine << true << "proxy reply header too large";
        QTest::newRow("tunnel refused")
            << TestHttpResponse::error(407) << true << "proxy refused the tunnel: 407";
        QTest::newRow("nothing listening") << TestHttpResponse() << false << "failed: ";
    }

    void bannerThatDoesNotArriveIsNotShown()
    {
        QFETCH(TestHttpResponse, response);
        QFETCH(bool, viaProxy);
        QFETCH(QString, reason);
        TestHttpServer server;
        QVERIFY(server.listen());
        const QString tunnelTarget = QStringLiteral("banner.kelvarion.invalid:443");
        server.serve(viaProxy ? tunnelTarget : QStringLiteral("/banner.jpg"), response);
        if (viaProxy)
            useProxy(server);
        const bool timed = reason == QLatin1String("timed out");
        const bool listening = reason != QLatin1String("failed: ");
        QString address = viaProxy ? QStringLiteral("https://banner.kelvarion.invalid/banner.jpg")
                                   : server.url("/banner.jpg");
        if (!listening) {
            // A port that was just free: the connection is refused.
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            address = QStringLiteral("http://127.0.0.1:%1/banner.jpg").arg(closed.serverPort());
        }
        auto engine = makeEngine();
        engine->setBannerTimeout(timed ? 300 : kLongWaitMs * 2);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Banner .*" + reason));
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound", Q_ARG(QString, address),
            Q_ARG(QString, QStringLiteral("http://c/"))));
        QTRY_VERIFY_WITH_TIMEOUT(!engine->bannerDownloadInProgress(), kLongWaitMs);
        // The connection is given up, not left open.
        if (listening)
            QTRY_COMPARE_WITH_TIMEOUT(server.closedConnections(), 1, kLongWaitMs);
        if (viaProxy)
            QCOMPARE(server.requestLines(),
                QList<QByteArray> {"CONNECT " + tunnelTarget.toLatin1() + " HTTP/1.1"});
        QCOMPARE(spy.count(), 0);
    }

    void bannerImageOnlyFromWebAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("file") << "file:///etc/passwd";
        QTest::newRow("qrc") << "qrc:/kelvarion_logo.png";
        QTest::newRow("ftp") << "ftp://127.0.0.1/banner.jpg";
        QTest::newRow("data") << "data:image/png;base64,AAAA";
        QTest::newRow("no host") << "http:///banner.jpg";
        QTest::newRow("invalid") << "http://[broken/banner.jpg";
    }

    void bannerImageOnlyFromWebAddresses()
    {
        QFETCH(QString, address);
        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound", Q_ARG(QString, address),
            Q_ARG(QString, QStringLiteral("http://c/"))));
        QVERIFY(!engine->bannerDownloadInProgress());
        QCoreApplication::processEvents();
        QCOMPARE(spy.count(), 0);
    }

    void bannerFromServerToWindow()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serve("/b.jpg", TestHttpResponse::ok("IMAGE"));
        TestBannerResponder responder;
        QVERIFY(responder.listen());
        responder.setReply((server.url("/b.jpg") + ",https://kelvarion.invalid/x?y=1").toLatin1());
        bannerServerHost = QStringLiteral("127.0.0.1");
        bannerServerPort = responder.port();
        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        engine->getBanner();
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, kLongWaitMs);
        QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("IMAGE"));
        QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("https://kelvarion.invalid/x?y=1"));
        // The client goes once its attempt has ended.
        QTRY_VERIFY_WITH_TIMEOUT(engine->findChildren<Banner*>().isEmpty(), kLongWaitMs);
    }
};

QTEST_MAIN(TestUpdateEngine)
#include "tst_updateengine.moc"
