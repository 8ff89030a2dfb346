// Whole update sessions of the session driver against nginx on 127.0.0.1:
// both stages, continuation, clean-up of another version's session, cancel,
// the proxy setting and the banner.
#include "testbannerresponder.h"
#include "testnginx.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

#include "e2efixture.h"

namespace {

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool listening(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

// A plain file line of the product ini for a file with this content.
QString plainLine(const QByteArray& content)
{
    return QString::fromLatin1(
               QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex())
        + "::" + QString::number(content.size());
}

} // namespace

class TestE2eSessions : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_Releases;
    TestNginx m_Nginx;
    std::unique_ptr<SessionWorld> m_World;

    QString oldDir() const { return m_Releases.path() + "/old"; }
    QString newDir() const { return m_Releases.path() + "/new"; }
    QString serverDir() const { return m_Releases.path() + "/server"; }
    QString install() const { return m_World->path("install"); }

    SessionRun stageOne(const QProcessEnvironment& extra = QProcessEnvironment())
    {
        return m_World->run(install() + "/update", {}, extra);
    }

    // Release `version` with a plain copy of each file on the server and a
    // plain line for it beside the line the release tool wrote (keys
    // relative to the section, as the new installation or a spelling of
    // them); the session has been through stage one.
    void releaseWithPlainLines(
        int version, const QStringList& keys, const QByteArray& content = QByteArray())
    {
        const QString release = serverDir() + '/' + QString::number(version);
        QString log;
        QVERIFY2(makeRelease(oldDir(), newDir(), version, serverDir(), &log), qPrintable(log));
        QList<QPair<QString, QString>> lines;
        for (const QString& key : keys) {
            const QByteArray data
                = content.isNull() ? readFile(newDir() + '/' + QDir::cleanPath(key)) : content;
            QVERIFY(writeFile(release + "/client/" + key, data));
            lines.append({"client/" + key, plainLine(data)});
        }
        QVERIFY(addProductIniLines(release, lines));
        m_World->setChannel(m_Nginx.url(), version);
        QVERIFY(stageOne().exitCode == 0);
    }

    SessionRun stageTwo(int version, const QProcessEnvironment& extra = QProcessEnvironment())
    {
        return m_World->run(m_World->sessionDir() + "/update",
            {"--clientupdate", "client_linux_x86", QString::number(version), "#"}, extra);
    }

private slots:
    void initTestCase()
    {
        if (TestNginx::executable().isEmpty())
            QSKIP("nginx is not installed");
        QVERIFY(makeInstallations(oldDir(), newDir()));
        // The session driver plays the updater of both releases; the new
        // one differs by a tail that does not change what it runs.
        const QByteArray driver = readFile(SessionWorld::driver());
        QVERIFY(!driver.isEmpty());
        QVERIFY(writeFile(oldDir() + "/update", driver, true));
        QVERIFY(writeFile(newDir() + "/update", driver + "release 2", true));
        QString log;
        for (int version : {2, 3})
            QVERIFY2(makeRelease(oldDir(), newDir(), version, serverDir(), &log), qPrintable(log));
        QVERIFY2(m_Nginx.start(serverDir()), qPrintable(m_Nginx.errorString()));
    }

    void init()
    {
        m_World = std::make_unique<SessionWorld>();
        QVERIFY(m_World->isValid());
        QVERIFY(copyTree(oldDir(), install()));
        m_World->setChannel(m_Nginx.url(), 2);
    }

    void cleanup() { m_World.reset(); }

    void bothStagesUpdateTheInstallation()
    {
        const SessionRun one = stageOne();
        QVERIFY2(one.exitCode == 0, qPrintable(describe(one)));
        QVERIFY(one.messages.contains("Starting update process for updater"));
        QVERIFY(one.messages.contains("Removed temporary update.ini"));
        // Stage one never writes into the installation, and removes its
        // session file there.
        QCOMPARE(treeDifferences(install(), oldDir()), QStringList());
        // The new updater, built in the update's temporary directory.
        const QString session = m_World->sessionDir();
        QCOMPARE(readFile(session + "/update"), readFile(newDir() + "/update"));
        QVERIFY(QFileInfo(session + "/update").isExecutable());
        QSettings handOver(session + "/update.ini", QSettings::IniFormat);
        QCOMPARE(handOver.value("current/version").toInt(), 2);
        QCOMPARE(handOver.value("current/kv3dir").toString(), install());
        QCOMPARE(handOver.value("current/type").toString(), QStringLiteral("client_linux_x86"));

        const SessionRun two = stageTwo(2);
        QVERIFY2(two.exitCode == 0, qPrintable(describe(two)));
        QVERIFY(two.messages.contains("Starting update process for client"));
        QVERIFY(two.messages.contains("Temporary files removed."));
        QCOMPARE(treeDifferences(install(), newDir()), QStringList());
        QVERIFY(!QFileInfo::exists(session));
    }

    void interruptedSessionContinuesWithItsDownloads()
    {
        QVERIFY(stageOne().exitCode == 0);
        const int start = m_Nginx.requests().size();
        const SessionRun killed = stageTwo(2,
            environment({{"KV_E2E_ON", "^Downloading client/.* finished"}, {"KV_E2E_AFTER", "2"},
                {"KV_E2E_DO", "kill"}}));
        QVERIFY2(killed.killed, qPrintable(describe(killed)));
        QStringList fetched;
        for (const QString& line : killed.messages) {
            if (line.startsWith("Downloading client/") && line.endsWith(" finished"))
                fetched << line.mid(12, line.size() - 12 - 9);
        }
        QCOMPARE(fetched.size(), 2);

        const SessionRun again = stageTwo(2);
        QVERIFY2(again.exitCode == 0, qPrintable(describe(again)));
        QVERIFY(again.messages.contains("Previous update session for v. 2 found"));
        // Over both runs, what the first one finished was fetched once.
        for (const QString& path : fetched) {
            const QRegularExpression once("^200 /2/" + QRegularExpression::escape(path) + "$");
            QTRY_COMPARE_WITH_TIMEOUT(m_Nginx.requests().mid(start).filter(once).size(), 1, 30000);
        }
        QCOMPARE(treeDifferences(install(), newDir()), QStringList());
    }

    void sessionOfAnotherVersionIsRemoved()
    {
        const SessionRun killed = stageOne(
            environment({{"KV_E2E_ON", "^Downloading .* finished"}, {"KV_E2E_DO", "kill"}}));
        QVERIFY2(killed.killed, qPrintable(describe(killed)));
        const QString old = m_World->sessionDir();
        QVERIFY(writeFile(old + "/leftover/junk.bin", "junk"));

        m_World->setChannel(m_Nginx.url(), 3);
        const SessionRun run = stageOne();
        QVERIFY2(run.exitCode == 0, qPrintable(describe(run)));
        QVERIFY(run.messages.contains(
            QString("Cleanup previous session (v. 2, %1) files...").arg(old)));
        QVERIFY(run.messages.contains("Ok"));
        QVERIFY(!QFileInfo::exists(old + "/leftover"));
        QSettings handOver(m_World->sessionDir() + "/update.ini", QSettings::IniFormat);
        QCOMPARE(handOver.value("current/version").toInt(), 3);
        QCOMPARE(readFile(m_World->sessionDir() + "/update"), readFile(newDir() + "/update"));
        QCOMPARE(treeDifferences(install(), oldDir()), QStringList());
    }

    void cancelKeepsTheOldReleaseAndTheNextRunCompletes()
    {
        QVERIFY(stageOne().exitCode == 0);
        const SessionRun canceled = stageTwo(
            2, environment({{"KV_E2E_ON", "^Downloading client/"}, {"KV_E2E_DO", "cancel"}}));
        QVERIFY2(canceled.exitCode == 3, qPrintable(describe(canceled)));
        QCOMPARE(canceled.messages.last(), QStringLiteral("User aborted update"));
        QCOMPARE(treeDifferences(install(), oldDir()), QStringList());

        const SessionRun again = stageTwo(2);
        QVERIFY2(again.exitCode == 0, qPrintable(describe(again)));
        QCOMPARE(treeDifferences(install(), newDir()), QStringList());
    }

    // The run's file-server address is a port of 127.0.0.1 where nothing
    // listens; only the proxy, which hands every request on to nginx,
    // reaches a server.
    void proxySettingReachesTheFileServer()
    {
        const QString tinyproxy
            = QStandardPaths::findExecutable("tinyproxy", {"/usr/bin", "/usr/sbin"});
        if (tinyproxy.isEmpty())
            QSKIP("tinyproxy is not installed");
        const quint16 port = freePort();
        const quint16 nowhere = freePort();
        QVERIFY(port != 0 && nowhere != 0 && port != nowhere);
        const QString conf = m_World->path("tinyproxy.conf");
        QVERIFY(writeFile(conf,
            QString("Port %1\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                    "LogLevel Info\nLogFile \"%2\"\nAllow 127.0.0.1\n"
                    "Upstream http 127.0.0.1:%3\n")
                .arg(port)
                .arg(m_World->path("tinyproxy.log"))
                .arg(m_Nginx.port())
                .toUtf8()));
        QProcess proxy;
        proxy.setProcessChannelMode(QProcess::ForwardedChannels);
        proxy.start(tinyproxy, {"-d", "-c", conf});
        QVERIFY(proxy.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(listening(port), 10000);

        m_World->setChannel(QString("http://127.0.0.1:%1/").arg(nowhere), 2);
        const SessionRun direct = stageOne();
        QVERIFY2(direct.exitCode == 3, qPrintable(describe(direct)));
        const int before = m_Nginx.requests().size();

        const QString proxyUrl = QString("http://127.0.0.1:%1").arg(port);
        SessionWorld::setUpdateSettings(install(), proxyUrl);
        const SessionRun one = stageOne();
        QVERIFY2(one.exitCode == 0, qPrintable(describe(one)));
        QTRY_VERIFY_WITH_TIMEOUT(m_Nginx.requests().size() > before, 30000);
        QCOMPARE(readFile(m_World->sessionDir() + "/update"), readFile(newDir() + "/update"));
        // Stage two goes through the same proxy.
        const SessionRun two = stageTwo(2);
        proxy.terminate();
        proxy.waitForFinished();
        QVERIFY2(two.exitCode == 0, qPrintable(describe(two)));
        // The proxy stays beside the updater for the next update.
        QCOMPARE(treeDifferences(install(), newDir(), {"update.ini"}), QStringList());
        QCOMPARE(QSettings(install() + "/update.ini", QSettings::IniFormat).value("update/proxy"),
            QVariant(proxyUrl));
    }

    // Files listed twice (a plain line beside a patched, a packed and a new
    // file's line, and one path spelled with ".") are installed once, from
    // what fetches the least.
    void linesAgreeingOnOnePathInstallOnce()
    {
        releaseWithPlainLines(4, {"data/big.bin", "data/./config.txt", "data/assets.bin"});
        const int start = m_Nginx.requests().size();
        const SessionRun two = stageTwo(4);
        QVERIFY2(two.exitCode == 0, qPrintable(describe(two)));
        QCOMPARE(treeDifferences(install(), newDir()), QStringList());
        QCOMPARE(m_Nginx.requests().mid(start).filter(QRegularExpression("\\.(bin|txt)$")),
            QStringList());
    }

    void linesDisagreeingOnOnePathChangeNothing()
    {
        releaseWithPlainLines(5, {"data/config.txt"}, "version=3\n");
        const int start = m_Nginx.requests().size();
        const SessionRun two = stageTwo(5);
        QVERIFY2(two.exitCode != 0, qPrintable(describe(two)));
        QVERIFY2(two.messages.contains("Product ini lists data/config.txt with different contents"),
            qPrintable(describe(two)));
        QCOMPARE(treeDifferences(install(), oldDir()), QStringList());
        // Only the product ini was fetched.
        QTRY_VERIFY_WITH_TIMEOUT(
            !m_Nginx.requests().mid(start).filter("kv3_client_linux_x86.ini").isEmpty(), 30000);
        QCOMPARE(m_Nginx.requests().mid(start).filter("/client/"), QStringList());
    }

    void bannerFromServerOrCache()
    {
        QVERIFY(writeFile(serverDir() + "/banner.jpg", QByteArray(5000, 'b')));
        TestBannerResponder responder;
        QVERIFY(responder.listen());
        responder.setReply(
            (m_Nginx.url("banner.jpg") + ",https://kelvarion.invalid/promo").toLatin1());
        const auto banner
            = environment({{"KV_E2E_BANNER", QString("127.0.0.1:%1").arg(responder.port())}});

        const SessionRun fetched = m_World->run(install() + "/update", {}, banner);
        QVERIFY2(fetched.exitCode == 0, qPrintable(describe(fetched)));
        QVERIFY(fetched.output.contains("banner: 5000 https://kelvarion.invalid/promo\n"));
        QCOMPARE(responder.requestCount(), 1);

        // What the window caches after showing a banner.
        QVERIFY(writeFile(m_World->tmpDir() + "/kelvarion_banner.jpg", QByteArray(700, 'c')));
        QVERIFY(writeFile(m_World->tmpDir() + "/kelvarion_banner.txt",
            "https%3A%2F%2Fkelvarion.invalid%2Fcached"));
        const SessionRun cached = m_World->run(install() + "/update", {}, banner);
        QVERIFY2(cached.exitCode == 0, qPrintable(describe(cached)));
        QVERIFY(cached.output.contains("banner: 700 https://kelvarion.invalid/cached\n"));
        QCOMPARE(responder.requestCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TestE2eSessions)
#include "tst_e2e_sessions.moc"
