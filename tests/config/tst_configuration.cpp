#include "buildconfig.h"
#include "configuration.h"
#include "updatechecker.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include "testinifiles.h"

#include <sys/stat.h>

namespace {

const QString kBuiltInBaseUrl = QStringLiteral(KV_UPDATE_BASE_URL);

// What the failed-query box showed before the test's click closed it.
struct ShownBox
{
    int count = 0;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    bool hadMainWindowParent = false;
};

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> m_ConfigDir;
    QScopedPointer<QTemporaryDir> m_SystemTemp;
    QByteArray m_SavedHome;

    QString configIniPath() const { return m_ConfigDir->filePath(QStringLiteral("update.ini")); }

    // Runs the event loop until the configuration quits it, closing every
    // message box on the way with its Abort button. Returns the loop's exit
    // code (0 for the configuration's quit; 1 if it never came).
    int runUntilQuit(ShownBox* box)
    {
        QTimer closer;
        connect(&closer, &QTimer::timeout, [box] {
            QMessageBox* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!shown)
                return;
            ++box->count;
            box->title = shown->windowTitle();
            box->text = shown->text();
            box->buttons = shown->standardButtons();
            box->hadMainWindowParent = shown->parentWidget()
                && shown->parentWidget()->objectName() == QLatin1String("MainWindow");
            shown->button(QMessageBox::Abort)->click();
        });
        closer.start(10);
        // Guards against a hang only; the query's own deadline is 30 s.
        QTimer::singleShot(60000, [] { QCoreApplication::exit(1); });
        return QCoreApplication::exec();
    }

    // A query against the built-in address fails in the test environment
    // (its host is reserved never to resolve); let it end the run as it must.
    void expectFailedQueryToQuit()
    {
        if (!QUrl(QStringLiteral(KV_VERSIONS_URL)).host().endsWith(QLatin1String(".invalid")))
            QSKIP("the built-in versions address may answer in this build");
        ShownBox box;
        QCOMPARE(runUntilQuit(&box), 0);
        QCOMPARE(box.count, 1);
        QCOMPARE(box.title, QStringLiteral("Error"));
        QCOMPARE(
            box.text, QStringLiteral("Failed to query latest client\nversion from update server."));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Abort));
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<UpdateVersions>("UpdateVersions");
        m_SavedHome = qgetenv("HOME");
        QFile::remove(appIniPath());
    }

    void init()
    {
        m_ConfigDir.reset(new QTemporaryDir);
        m_SystemTemp.reset(new QTemporaryDir);
        QVERIFY(m_ConfigDir->isValid());
        QVERIFY(m_SystemTemp->isValid());
        qputenv("KV3_CONFIG_DIR", QFile::encodeName(m_ConfigDir->path()));
        qputenv("TMPDIR", QFile::encodeName(m_SystemTemp->path()));
        updateBaseUrl.clear();
    }

    void cleanup()
    {
        QFile::remove(appIniPath());
        qputenv("HOME", m_SavedHome);
        qunsetenv("TMPDIR");
        m_ConfigDir.reset();
        m_SystemTemp.reset();
    }

    // ---- command line ----

    void noArgumentsAsksTheVersionsServer()
    {
        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QVERIFY(config.parseCommandLineOptions({QStringLiteral("update")}));
        QCOMPARE(config.m_ClientUpdate, 0);
        QCOMPARE(config.m_ClientType, QStringLiteral("update_linux_x86"));
        QCOMPARE(config.m_Version, 0);
        QVERIFY(!config.m_Ready);
        QVERIFY(config.findChild<UpdateChecker*>() != nullptr);

        expectFailedQueryToQuit();
        QVERIFY(!config.m_Ready);
        QCOMPARE(ready.count(), 0);
        QCOMPARE(fatal.count(), 0);
    }

    void clientUpdateWithVersionAndHash()
    {
        Configuration config;
        QVERIFY(config.parseCommandLineOptions(
            {QStringLiteral("update"), QStringLiteral("--clientupdate"),
                QStringLiteral("client_linux_x86"), QStringLiteral("12345"), QStringLiteral("#")}));
        QCOMPARE(config.m_ClientUpdate, 1);
        QCOMPARE(config.m_ClientType, QStringLiteral("client_linux_x86"));
        QCOMPARE(config.m_Version, 12345);
        QVERIFY(config.m_VersionString.isEmpty());
        QVERIFY(config.m_Ready);
        QVERIFY(config.findChild<UpdateChecker*>() == nullptr);
    }

    void clientUpdateKeepsTheVersionText()
    {
        Configuration config;
        QVERIFY(config.parseCommandLineOptions({QStringLiteral("update"),
            QStringLiteral("--clientupdate"), QStringLiteral("client_linux_x86"),
            QStringLiteral("77"), QStringLiteral("7.7 beta"), QStringLiteral("ignored")}));
        QCOMPARE(config.m_Version, 77);
        QCOMPARE(config.m_VersionString, QStringLiteral("7.7 beta"));
        QVERIFY(config.m_Ready);
    }

    void clientUpdateAloneAsksTheVersionsServer()
    {
        Configuration config;
        QVERIFY(config.parseCommandLineOptions(
            {QStringLiteral("update"), QStringLiteral("--clientupdate")}));
        QCOMPARE(config.m_ClientUpdate, 1);
        QCOMPARE(config.m_ClientType, QStringLiteral("client_linux_x86"));
        QVERIFY(!config.m_Ready);
        QVERIFY(config.findChild<UpdateChecker*>() != nullptr);
        expectFailedQueryToQuit();
    }

    void nouserIgnoresASingleArgument()
    {
        Configuration config;
        QVERIFY(config.parseCommandLineOptions({QStringLiteral("update"),
            QStringLiteral("--nouser"), QStringLiteral("client_linux_x86")}));
        QCOMPARE(config.m_ClientUpdate, 0);
        QCOMPARE(config.m_ClientType, QStringLiteral("update_linux_x86"));
        QVERIFY(config.findChild<UpdateChecker*>() != nullptr);
        expectFailedQueryToQuit();
    }

    void nouserWithTypeAndVersion()
    {
        Configuration config;
        QVERIFY(
            config.parseCommandLineOptions({QStringLiteral("update"), QStringLiteral("--nouser"),
                QStringLiteral("update_linux_x86"), QStringLiteral("900")}));
        QCOMPARE(config.m_ClientUpdate, 0);
        QCOMPARE(config.m_ClientType, QStringLiteral("update_linux_x86"));
        QCOMPARE(config.m_Version, 900);
        QVERIFY(config.m_Ready);
    }

    void plainForm_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("expected");
        QTest::newRow("12345") << "12345" << 12345;
        QTest::newRow("zero") << "0" << 0;
    }

    void plainForm()
    {
        QFETCH(QString, version);
        QFETCH(int, expected);
        Configuration config;
        QVERIFY(config.parseCommandLineOptions(
            {QStringLiteral("update"), QStringLiteral("client_linux_x86"), version}));
        QCOMPARE(config.m_ClientUpdate, 0);
        QCOMPARE(config.m_ClientType, QStringLiteral("client_linux_x86"));
        QCOMPARE(config.m_Version, expected);
        QVERIFY(config.m_Ready);
        QVERIFY(config.findChild<UpdateChecker*>() == nullptr);
    }

    void badVersionIsFatal_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("plain") << QStringList {"update", "client_linux_x86", "12a"};
        QTest::newRow("flag") << QStringList {
            "update", "--clientupdate", "client_linux_x86", "12a"};
    }

    void badVersionIsFatal()
    {
        QFETCH(QStringList, args);
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QVERIFY(!config.parseCommandLineOptions(args));
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(), QStringLiteral("Invalid version nr (12a)"));
        QVERIFY(!config.m_Ready);
        QCOMPARE(config.m_Version, 0);
    }

    void alphaRevnoWinsOverABadVersion()
    {
        writeIniGroup(configIniPath(), QStringLiteral("Channel"),
            {{QStringLiteral("alpha"), QStringLiteral("http://127.0.0.1:1/alpha")},
                {QStringLiteral("alphaRevno"), 55}});
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QVERIFY(config.parseCommandLineOptions({QStringLiteral("update"),
            QStringLiteral("client_linux_x86"), QStringLiteral("nonsense")}));
        QCOMPARE(fatal.count(), 0);
        QCOMPARE(config.m_Version, 55);
        QVERIFY(config.m_Ready);
    }

    void alphaRevnoWinsOverTheCommandLineAndTheServer()
    {
        writeIniGroup(configIniPath(), QStringLiteral("Channel"),
            {{QStringLiteral("alpha"), QStringLiteral("http://127.0.0.1:1/alpha")},
                {QStringLiteral("alphaRevno"), 55}});
        Configuration config;
        QVERIFY(config.parseCommandLineOptions({QStringLiteral("update")}));
        QCOMPARE(config.m_Version, 55);
        QCOMPARE(config.m_ClientType, QStringLiteral("update_linux_x86"));
        QVERIFY(config.m_Ready);
        QVERIFY(config.findChild<UpdateChecker*>() == nullptr);

        Configuration staged;
        QVERIFY(staged.parseCommandLineOptions(
            {QStringLiteral("update"), QStringLiteral("--clientupdate"),
                QStringLiteral("client_linux_x86"), QStringLiteral("12")}));
        QCOMPARE(staged.m_Version, 55);
    }

    void parseClientArgumentsNeedsBothValues()
    {
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QVERIFY(!config.parseClientArguments({QStringLiteral("update")}, 1));
        QVERIFY(!config.parseClientArguments(
            {QStringLiteral("update"), QStringLiteral("client_linux_x86")}, 1));
        QCOMPARE(fatal.count(), 2);
        QCOMPARE(fatal.at(0).at(0).toString(), QStringLiteral("No client type specified"));
        QCOMPARE(fatal.at(1).at(0).toString(), QStringLiteral("No client version specified"));
    }

    // ---- channel settings ----

    void noIniMeansStable()
    {
        Configuration config;
        config.m_Version = 3;
        config.getUpdateChannel();
        QCOMPARE(config.m_Channel, int(CHANNEL_STABLE));
        QCOMPARE(config.m_Version, 0);
        QCOMPARE(updateBaseUrl, kBuiltInBaseUrl);
        QVERIFY(updateBaseUrl.endsWith(QLatin1String("/updater-images/client/")));
    }

    void channelRules_data()
    {
        QTest::addColumn<QVariantMap>("channel");
        QTest::addColumn<int>("expectedChannel");
        QTest::addColumn<int>("expectedVersion");
        QTest::addColumn<QString>("expectedUrl");

        QTest::newRow("no channel keys")
            << QVariantMap {{"other", 1}} << int(CHANNEL_STABLE) << 0 << kBuiltInBaseUrl;
        QTest::newRow("beta") << QVariantMap {{"beta", true}} << int(CHANNEL_BETA) << 0
                              << kBuiltInBaseUrl;
        QTest::newRow("Beta") << QVariantMap {{"beta", false}, {"Beta", true}} << int(CHANNEL_BETA)
                              << 0 << kBuiltInBaseUrl;
        QTest::newRow("both false") << QVariantMap {{"beta", false}, {"Beta", false}}
                                    << int(CHANNEL_STABLE) << 0 << kBuiltInBaseUrl;
        QTest::newRow("malformed beta") << QVariantMap {{"beta", "false"}, {"alphaRevno", 9}}
                                        << int(CHANNEL_STABLE) << 0 << kBuiltInBaseUrl;
        QTest::newRow("alpha with revno")
            << QVariantMap {{"alpha", "http://127.0.0.1:8/images"}, {"alphaRevno", 42},
                   {"beta", true}}
            << int(CHANNEL_ALPHA) << 42 << "http://127.0.0.1:8/images/";
        QTest::newRow("alpha with slash")
            << QVariantMap {{"alpha", "http://127.0.0.1:8/images/"}} << int(CHANNEL_ALPHA) << 0
            << "http://127.0.0.1:8/images/";
        QTest::newRow("alpha bad revno")
            << QVariantMap {{"alpha", "http://127.0.0.1:8/a"}, {"alphaRevno", "x1"}}
            << int(CHANNEL_ALPHA) << 0 << "http://127.0.0.1:8/a/";
    }

    void channelRules()
    {
        QFETCH(QVariantMap, channel);
        QFETCH(int, expectedChannel);
        QFETCH(int, expectedVersion);
        QFETCH(QString, expectedUrl);

        writeIniGroup(configIniPath(), QStringLiteral("Channel"), channel);
        // The configuration directory's file hides the one beside the program.
        writeIniGroup(appIniPath(), QStringLiteral("Channel"),
            {{QStringLiteral("alpha"), QStringLiteral("http://127.0.0.1:9/other")},
                {QStringLiteral("alphaRevno"), 99}});
        Configuration config;
        config.getUpdateChannel();
        QCOMPARE(config.m_Channel, expectedChannel);
        QCOMPARE(config.m_Version, expectedVersion);
        QCOMPARE(updateBaseUrl, expectedUrl);
    }

    void iniBesideTheProgramIsTheSecondCandidate()
    {
        writeIniGroup(appIniPath(), QStringLiteral("Channel"), {{QStringLiteral("Beta"), true}});
        Configuration config;
        config.getUpdateChannel();
        QCOMPARE(config.m_Channel, int(CHANNEL_BETA));
        QCOMPARE(updateBaseUrl, kBuiltInBaseUrl);
    }

    void configDirFromTheEnvironment()
    {
        qputenv("KV3_CONFIG_DIR", "/some/where");
        QCOMPARE(Configuration::getConfigDir(), QStringLiteral("/some/where/"));
        qputenv("KV3_CONFIG_DIR", "/some/where/");
        QCOMPARE(Configuration::getConfigDir(), QStringLiteral("/some/where/"));

        QTemporaryDir home;
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("KV3_CONFIG_DIR", "");
        QCOMPARE(Configuration::getConfigDir(), home.path() + QStringLiteral("/.kv3client/"));
        qunsetenv("KV3_CONFIG_DIR");
        QCOMPARE(Configuration::getConfigDir(), home.path() + QStringLiteral("/.kv3client/"));

        // Without the variable the home directory's file is the first candidate.
        QVERIFY(QDir(home.path()).mkpath(QStringLiteral(".kv3client")));
        writeIniGroup(home.path() + QStringLiteral("/.kv3client/update.ini"),
            QStringLiteral("Channel"), {{QStringLiteral("beta"), true}});
        Configuration config;
        config.getUpdateChannel();
        QCOMPARE(config.m_Channel, int(CHANNEL_BETA));
    }

    // ---- update settings ----

    void streamsAndProxy_data()
    {
        QTest::addColumn<QVariant>("streams");
        QTest::addColumn<int>("expected");
        QTest::newRow("missing") << QVariant() << 6;
        QTest::newRow("zero") << QVariant(0) << 6;
        QTest::newRow("negative") << QVariant(-3) << 6;
        QTest::newRow("twenty") << QVariant(20) << 20;
        QTest::newRow("one") << QVariant(1) << 1;
        QTest::newRow("not a number") << QVariant(QStringLiteral("many")) << 6;
    }

    void streamsAndProxy()
    {
        QFETCH(QVariant, streams);
        QFETCH(int, expected);
        QVariantMap values {{QStringLiteral("proxy"), QStringLiteral("http://127.0.0.1:3128")}};
        if (streams.isValid())
            values.insert(QStringLiteral("streams"), streams);
        writeIniGroup(appIniPath(), QStringLiteral("update"), values);
        Configuration config;
        config.readUpdateSettings();
        QCOMPARE(config.m_Streams, expected);
        QCOMPARE(config.m_Proxy, QStringLiteral("http://127.0.0.1:3128"));
    }

    void noUpdateSettings()
    {
        Configuration config;
        config.readUpdateSettings();
        QCOMPARE(config.m_Streams, 6);
        QVERIFY(config.m_Proxy.isEmpty());
    }

    // ---- temporary directory ----

    void firstFreeCandidateIsCreatedPrivate()
    {
        QDir base(m_SystemTemp->path());
        for (int n = 0; n < 4; ++n)
            QVERIFY(base.mkdir(QStringLiteral("kelvarion_temp_%1").arg(n)));
        // A plain file and a dangling link are taken candidates too.
        QFile file(base.filePath(QStringLiteral("kelvarion_temp_4")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(QFile::link(base.filePath(QStringLiteral("nowhere")),
            base.filePath(QStringLiteral("kelvarion_temp_5"))));

        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QVERIFY(config.createTempDir());
        QCOMPARE(fatal.count(), 0);
        QCOMPARE(config.m_TempDir, base.filePath(QStringLiteral("kelvarion_temp_6")));
        QVERIFY(QFileInfo(config.m_TempDir).isDir());
        QVERIFY(!QFileInfo::exists(base.filePath(QStringLiteral("nowhere"))));

        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(config.m_TempDir).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
    }

    void modeIgnoresTheUmask()
    {
        const mode_t saved = ::umask(0277);
        Configuration config;
        const bool created = config.createTempDir();
        ::umask(saved);
        QVERIFY(created);
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(config.m_TempDir).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
    }

    void missingSystemTempIsCreated()
    {
        // TMPDIR names a directory that does not exist yet (QDir::tempPath()
        // is then empty): its parents are made, then it, for its owner only.
        const QString missing = m_SystemTemp->path() + QStringLiteral("/a/b");
        qputenv("TMPDIR", QFile::encodeName(missing));
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QVERIFY(config.createTempDir());
        QCOMPARE(fatal.count(), 0);
        QCOMPARE(config.m_TempDir, missing + QStringLiteral("/kelvarion_temp_0"));
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(missing).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
        QCOMPARE(::stat(QFile::encodeName(config.m_TempDir).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
    }

    void uncreatableSystemTempIsFatal()
    {
        const QString file = m_SystemTemp->path() + QStringLiteral("/file");
        QFile blocker(file);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString missing = file + QStringLiteral("/b");
        qputenv("TMPDIR", QFile::encodeName(missing));
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QVERIFY(!config.createTempDir());
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(), QStringLiteral("Unable to get temp directory."));
        QVERIFY(!QFileInfo::exists(missing));
        QVERIFY(config.m_TempDir.isEmpty());
    }

    void allCandidatesTaken()
    {
        QDir base(m_SystemTemp->path());
        for (int n = 0; n < 1000; ++n)
            QVERIFY(base.mkdir(QStringLiteral("kelvarion_temp_%1").arg(n)));
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QVERIFY(!config.createTempDir());
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(), QStringLiteral("Unable to create temp directory."));
        QVERIFY(config.m_TempDir.isEmpty());
        // 1000 candidates, not 1001.
        QVERIFY(!QFileInfo::exists(base.filePath(QStringLiteral("kelvarion_temp_1000"))));

        QVERIFY(!config.initalizeStart(QString(), QString()));
    }

    void initalizeStartKeepsAnEarlierSession()
    {
        Configuration config;
        QVERIFY(
            config.initalizeStart(QStringLiteral("/earlier/temp"), QStringLiteral("/opt/client")));
        QCOMPARE(config.m_TempDir, QStringLiteral("/earlier/temp"));
        QCOMPARE(config.m_InstallDir, QStringLiteral("/opt/client"));
        QVERIFY(!QFileInfo::exists(m_SystemTemp->filePath(QStringLiteral("kelvarion_temp_0"))));
    }

    void initalizeStartForANewSession()
    {
        Configuration config;
        QVERIFY(config.initalizeStart(QString(), QString()));
        QCOMPARE(config.m_TempDir, m_SystemTemp->filePath(QStringLiteral("kelvarion_temp_0")));
        QCOMPARE(config.m_InstallDir, QCoreApplication::applicationDirPath());
    }

    // ---- versions reply ----

    void replyForTheChannelMakesItReady()
    {
        Configuration config;
        config.m_Channel = CHANNEL_BETA;
        QSignalSpy ready(&config, &Configuration::ready);
        UpdateVersions versions;
        versions.insert(
            QStringLiteral("stable"), qMakePair(QStringLiteral("100"), QStringLiteral("1.0")));
        versions.insert(
            QStringLiteral("beta"), qMakePair(QStringLiteral("110"), QStringLiteral("1.1 beta")));
        config.on_updateAvailable(versions);
        QCOMPARE(ready.count(), 1);
        QVERIFY(config.m_Ready);
        QCOMPARE(config.m_Version, 110);
        QCOMPARE(config.m_VersionString, QStringLiteral("1.1 beta"));
    }

    void unusableReplies_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("error");
        QTest::newRow("channel missing") << int(CHANNEL_ALPHA) << "5"
                                         << "Update server returned no version";
        QTest::newRow("empty number") << int(CHANNEL_STABLE) << ""
                                      << "Update server returned no version";
        QTest::newRow("unsigned -1") << int(CHANNEL_STABLE) << "4294967295"
                                     << "Update server returned invalid version nr (4294967295)";
        QTest::newRow("text") << int(CHANNEL_STABLE) << "v5"
                              << "Update server returned invalid version nr (v5)";
    }

    void unusableReplies()
    {
        QFETCH(int, channel);
        QFETCH(QString, number);
        QFETCH(QString, error);
        Configuration config;
        config.m_Channel = channel;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        UpdateVersions versions;
        versions.insert(QStringLiteral("stable"), qMakePair(number, QStringLiteral("text")));
        config.on_updateAvailable(versions);
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(), error);
        QCOMPARE(ready.count(), 0);
        QVERIFY(!config.m_Ready);
        QCOMPARE(config.m_Version, 0);
    }

    void emptyReplyShowsABoxAndQuits()
    {
        QWidget window;
        window.setObjectName(QStringLiteral("MainWindow"));
        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QTimer::singleShot(0, &config, [&config] { config.on_updateAvailable(UpdateVersions()); });
        ShownBox box;
        QCOMPARE(runUntilQuit(&box), 0);
        QCOMPARE(box.count, 1);
        QVERIFY(box.hadMainWindowParent);
        QCOMPARE(
            box.text, QStringLiteral("Failed to query latest client\nversion from update server."));
        QCOMPARE(ready.count(), 0);
        QCOMPARE(fatal.count(), 0);
        QVERIFY(!config.m_Ready);
    }

    // ---- small helpers ----

    void namesAndClientBinary()
    {
        QCOMPARE(Configuration::defaultClientType(0), QStringLiteral("update_linux_x86"));
        QCOMPARE(Configuration::defaultClientType(1), QStringLiteral("client_linux_x86"));
        QCOMPARE(Configuration::getClientScriptName(), QStringLiteral("kv3client_runscript.sh"));
        QCOMPARE(Configuration::getAppDir(), QCoreApplication::applicationDirPath());

        Configuration config;
        QTemporaryDir dir;
        QVERIFY(!config.getClientBinaryName(QString()));
        QVERIFY(!config.getClientBinaryName(dir.path()));
        QFile binary(dir.filePath(QStringLiteral("kv3client_linux_amd64")));
        QVERIFY(binary.open(QIODevice::WriteOnly));
        binary.close();
        QVERIFY(config.getClientBinaryName(dir.path()));
    }
};

QTEST_MAIN(TestConfiguration)
#include "tst_configuration.moc"
