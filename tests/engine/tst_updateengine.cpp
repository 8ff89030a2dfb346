#include "banner.h"
#include "configuration.h"
#include "testbannerresponder.h"
#include "testhttpserver.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
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
        QTRY_COMPARE(fatal.count(), 1);
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
        QTRY_COMPARE(canceled.count(), 1);
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
        QTRY_COMPARE(server.totalRequests(), 1);
        engine->cancelUpdate();
        QTRY_COMPARE(canceled.count(), 1);
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
        QTRY_COMPARE(responder.requestCount(), 1);
    }

    void bannerImageDownload_data()
    {
        QTest::addColumn<TestHttpResponse>("response");
        QTest::addColumn<bool>("shown");
        const qint64 max = UpdateEngine::kMaxBannerSize;
        QTest::newRow("announced largest") << TestHttpResponse::pattern(max) << true;
        QTest::newRow("announced too large") << TestHttpResponse::pattern(max + 1) << false;
        TestHttpResponse unannounced = TestHttpResponse::pattern(max);
        unannounced.contentLength = -2;
        QTest::newRow("unannounced largest") << unannounced << true;
        unannounced.patternSize = max + 1;
        QTest::newRow("unannounced too large") << unannounced << false;
        // A server that announces nothing and never stops.
        unannounced.patternSize = qint64(1) << 40;
        QTest::newRow("unannounced endless") << unannounced << false;
        // Whatever a failed download delivered still reaches the window.
        QTest::newRow("404") << TestHttpResponse::error(404) << true;
        // Bytes that are not the image as stored, whatever they would inflate to.
        const QByteArray image = TestHttpServer::patternBytes(0, 1000);
        QTest::newRow("gzip") << TestHttpResponse::encoded(qCompress(image).mid(4), "gzip")
                              << false;
        TestHttpResponse chunked = TestHttpResponse::pattern(max);
        chunked.chunked = true;
        QTest::newRow("chunked largest") << chunked << true;
        chunked.patternSize = max + 1;
        QTest::newRow("chunked too large") << chunked << false;
    }

    void bannerImageDownload()
    {
        QFETCH(TestHttpResponse, response);
        QFETCH(bool, shown);
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serve("/banner.jpg", response);
        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound",
            Q_ARG(QString, server.url("/banner.jpg")),
            Q_ARG(QString, QStringLiteral("http://c/"))));
        QVERIFY(engine->bannerDownloadInProgress());
        QTRY_VERIFY(!engine->bannerDownloadInProgress());
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

    // Through the proxy of the settings, as every download goes, the request
    // names the whole address.
    void bannerThroughTheProxy()
    {
        TestHttpServer proxy;
        QVERIFY(proxy.listen());
        proxy.setReply(200, "IMAGE");
        QVERIFY(writeFile(appIniPath(), "[update]\nproxy=" + proxy.url(QString()).toUtf8() + "\n"));
        auto engine = makeEngine();
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound",
            Q_ARG(QString, QStringLiteral("http://banner.kelvarion.invalid:8080/b.jpg?x=1")),
            Q_ARG(QString, QStringLiteral("http://c/"))));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("IMAGE"));
        QCOMPARE(proxy.requestLines(),
            QList<QByteArray> {"GET http://banner.kelvarion.invalid:8080/b.jpg?x=1 HTTP/1.1"});
        QCOMPARE(proxy.requestHeader(0, "Host"), QByteArray("banner.kelvarion.invalid:8080"));
    }

    void bannerThatDoesNotArriveIsNotShown_data()
    {
        QTest::addColumn<TestHttpResponse>("response");
        QTest::newRow("silence after the headers") << TestHttpResponse::headersThenSilence(1000);
        // The network module reads such a body whole before it reports anything.
        TestHttpResponse unauthorized = TestHttpResponse::error(401);
        unauthorized.patternSize = qint64(1) << 40;
        unauthorized.contentLength = -2;
        unauthorized.extraHeaders = "WWW-Authenticate: Basic realm=\"banner\"\r\n";
        QTest::newRow("401 that never ends") << unauthorized;
        // Faster than the network module reads a header, which held its
        // thread reading for as long as the server kept sending.
        QTest::newRow("header lines without end") << TestHttpResponse::endlessHeaderLines();
    }

    void bannerThatDoesNotArriveIsNotShown()
    {
        QFETCH(TestHttpResponse, response);
        TestHttpServer server;
        QVERIFY(server.listen());
        server.serve("/banner.jpg", response);
        auto engine = makeEngine();
        engine->setBannerTimeout(300);
        QSignalSpy spy(engine.get(), &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound",
            Q_ARG(QString, server.url("/banner.jpg")),
            Q_ARG(QString, QStringLiteral("http://c/"))));
        QTRY_VERIFY_WITH_TIMEOUT(!engine->bannerDownloadInProgress(), 30000);
        // The connection is given up, not left open.
        QTRY_COMPARE_WITH_TIMEOUT(server.closedConnections(), 1, 30000);
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
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("IMAGE"));
        QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("https://kelvarion.invalid/x?y=1"));
    }
};

QTEST_MAIN(TestUpdateEngine)
#include "tst_updateengine.moc"
