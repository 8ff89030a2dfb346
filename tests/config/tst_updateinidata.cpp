#include "configuration.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "testinifiles.h"

namespace {

QVariant readKey(const QString& path, const QString& key)
{
    QSettings settings(path, QSettings::IniFormat);
    return settings.value(key);
}

} // namespace

class TestUpdateIniData : public QObject
{
    Q_OBJECT

private:
    // The system temporary directory of the test (TMPDIR), and an update's
    // temporary directory made in it the way the updater makes one.
    QScopedPointer<QTemporaryDir> m_SystemTemp;
    QString m_SessionDir;

    // get() with sentinels in every out-parameter, so that an untouched one
    // can be told from a written one.
    struct Session
    {
        bool valid = false;
        int version = -77;
        QString type = QStringLiteral("untouched");
        QString dir = QStringLiteral("untouched");
        QString kv3dir = QStringLiteral("untouched");
    };

    static Session readSession()
    {
        Session session;
        session.valid
            = UpdateIniData::get(&session.version, &session.type, &session.dir, &session.kv3dir);
        return session;
    }

private slots:
    void init()
    {
        QFile::remove(appIniPath());
        m_SystemTemp.reset(new QTemporaryDir);
        QVERIFY(m_SystemTemp->isValid());
        qputenv("TMPDIR", QFile::encodeName(m_SystemTemp->path()));
        Configuration config;
        QVERIFY(config.createTempDir());
        m_SessionDir = config.m_TempDir;
    }

    void cleanup()
    {
        QFile::remove(appIniPath());
        qunsetenv("TMPDIR");
        m_SystemTemp.reset();
    }

    void iniPathIsBesideTheProgram()
    {
        QCOMPARE(UpdateIniData::getIniPath(),
            QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("update.ini"));
        QVERIFY(QDir::isAbsolutePath(UpdateIniData::getIniPath()));
    }

    void recordedSessionReadsBack()
    {
        UpdateIniData::modify(4711, m_SessionDir, QStringLiteral("/opt/kv3 client"),
            QStringLiteral("update_linux_x86"));
        const Session session = readSession();
        QVERIFY(session.valid);
        QCOMPARE(session.version, 4711);
        QCOMPARE(session.dir, m_SessionDir);
        QCOMPARE(session.kv3dir, QStringLiteral("/opt/kv3 client"));
        QCOMPARE(session.type, QStringLiteral("update_linux_x86"));
    }

    void modifyKeepsOtherGroups()
    {
        writeIniGroup(appIniPath(), QStringLiteral("Channel"),
            {{QStringLiteral("alpha"), QStringLiteral("http://127.0.0.1/a/")}});
        writeIniGroup(appIniPath(), QStringLiteral("current"),
            {{QStringLiteral("extra"), QStringLiteral("kept")}});
        UpdateIniData::modify(1, m_SessionDir, QString(), QStringLiteral("client_linux_x86"));
        QCOMPARE(readKey(appIniPath(), QStringLiteral("Channel/alpha")).toString(),
            QStringLiteral("http://127.0.0.1/a/"));
        QCOMPARE(readKey(appIniPath(), QStringLiteral("current/extra")).toString(),
            QStringLiteral("kept"));
        QCOMPARE(readKey(appIniPath(), QStringLiteral("current/version")).toInt(), 1);
    }

    void nullOutParametersAreAllowed()
    {
        UpdateIniData::modify(
            2, m_SessionDir, QStringLiteral("/opt/kv3"), QStringLiteral("client_linux_x86"));
        QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
        QString type;
        QVERIFY(UpdateIniData::get(nullptr, &type, nullptr, nullptr));
        QCOMPARE(type, QStringLiteral("client_linux_x86"));
    }

    void versionZeroIsAValidSession()
    {
        UpdateIniData::modify(
            0, m_SessionDir, QStringLiteral("/opt/kv3"), QStringLiteral("client_linux_x86"));
        const Session session = readSession();
        QVERIFY(session.valid);
        QCOMPARE(session.version, 0);
    }

    void missingKv3dirIsStillValid()
    {
        writeIniGroup(appIniPath(), QStringLiteral("current"),
            {{QStringLiteral("version"), 3}, {QStringLiteral("dir"), m_SessionDir},
                {QStringLiteral("type"), QStringLiteral("client_linux_x86")}});
        const Session session = readSession();
        QVERIFY(session.valid);
        QCOMPARE(session.kv3dir, QString());
        QCOMPARE(session.version, 3);
    }

    void invalidSessions_data()
    {
        QTest::addColumn<QVariantMap>("values");
        const QString existing = QDir::tempPath() + "/kelvarion_temp_0";
        const QVariantMap good {{"version", 3}, {"dir", existing}, {"kv3dir", "/opt/kv3"},
            {"type", "client_linux_x86"}};
        auto without = [good](const QString& key) {
            QVariantMap values = good;
            values.remove(key);
            return values;
        };
        auto with = [good](const QString& key, const QVariant& value) {
            QVariantMap values = good;
            values.insert(key, value);
            return values;
        };
        QTest::newRow("no version") << without("version");
        QTest::newRow("version not a number") << with("version", "3a");
        QTest::newRow("no type") << without("type");
        QTest::newRow("empty type") << with("type", "");
        QTest::newRow("no dir") << without("dir");
        QTest::newRow("dir gone") << with("dir", QDir::tempPath() + "/kelvarion_temp_7");
        QTest::newRow("empty group") << QVariantMap {{"unrelated", 1}};
    }

    void invalidSessions()
    {
        QFETCH(QVariantMap, values);
        writeIniGroup(appIniPath(), QStringLiteral("current"), values);
        const Session session = readSession();
        QVERIFY(!session.valid);
        QCOMPARE(session.version, -77);
        QCOMPARE(session.type, QStringLiteral("untouched"));
        QCOMPARE(session.dir, QStringLiteral("untouched"));
        QCOMPARE(session.kv3dir, QStringLiteral("untouched"));
    }

    void noFileIsNoSession() { QVERIFY(!readSession().valid); }

    void garbageFileIsNoSession()
    {
        QFile file(appIniPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\x00\xff[current\nversion==\n\x01\x02", 24);
        file.close();
        QVERIFY(!readSession().valid);
    }

    void sessionDirectoryRemovedLater()
    {
        UpdateIniData::modify(8, m_SessionDir, QString(), QStringLiteral("client_linux_x86"));
        QVERIFY(readSession().valid);
        QVERIFY(QDir(m_SessionDir).removeRecursively());
        QVERIFY(!readSession().valid);
    }

    // A session file may name any directory; only one that this user's
    // updater made is continued (and so, on another version, emptied).
    void onlyOurOwnTemporaryDirectoryIsASession_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("dir");
        QTest::addColumn<bool>("valid");
        QTest::newRow("made by the updater") << ""
                                             << "%t/kelvarion_temp_0" << true;
        QTest::newRow("another number") << "mkdir 0700"
                                        << "%t/kelvarion_temp_999" << true;
        QTest::newRow("root directory") << ""
                                        << "/" << false;
        QTest::newRow("current directory") << ""
                                           << "." << false;
        QTest::newRow("the system temporary directory") << ""
                                                        << "%t" << false;
        QTest::newRow("link to the home directory") << "link home"
                                                    << "%t/kelvarion_temp_5" << false;
        QTest::newRow("link to a private directory") << "link private"
                                                     << "%t/kelvarion_temp_5" << false;
        QTest::newRow("open to others") << "mkdir 0755"
                                        << "%t/kelvarion_temp_3" << false;
        QTest::newRow("open to the group") << "mkdir 0750"
                                           << "%t/kelvarion_temp_3" << false;
        QTest::newRow("others may enter") << "mkdir 0701"
                                          << "%t/kelvarion_temp_3" << false;
        QTest::newRow("owned by another user") << "mkdir 0700 other"
                                               << "%t/kelvarion_temp_3" << false;
        QTest::newRow("a file") << "file"
                                << "%t/kelvarion_temp_3" << false;
        QTest::newRow("number too large") << "mkdir 0700"
                                          << "%t/kelvarion_temp_1000" << false;
        QTest::newRow("leading zero") << "mkdir 0700"
                                      << "%t/kelvarion_temp_03" << false;
        QTest::newRow("sign") << "mkdir 0700"
                              << "%t/kelvarion_temp_+3" << false;
        QTest::newRow("no number") << "mkdir 0700"
                                   << "%t/kelvarion_temp_" << false;
        QTest::newRow("trailing slash") << ""
                                        << "%t/kelvarion_temp_0/" << false;
        QTest::newRow("other name") << "mkdir 0700"
                                    << "%t/other_temp_3" << false;
        QTest::newRow("one level deeper") << "mkdir 0700"
                                          << "%t/sub/kelvarion_temp_3" << false;
        QTest::newRow("dot-dot way in") << ""
                                        << "%t/sub/../kelvarion_temp_0" << false;
        QTest::newRow("relative") << ""
                                  << "kelvarion_temp_0" << false;
    }

    void onlyOurOwnTemporaryDirectoryIsASession()
    {
        QFETCH(QString, setup);
        QFETCH(QString, dir);
        QFETCH(bool, valid);
        const QString temp = QDir::tempPath();
        dir.replace("%t", temp);
        if (setup.startsWith("mkdir")) {
            QVERIFY(QDir().mkpath(dir));
            const mode_t mode = mode_t(setup.section(' ', 1, 1).toInt(nullptr, 8));
            QCOMPARE(::chmod(QFile::encodeName(dir).constData(), mode), 0);
            if (setup.endsWith("other")) {
                if (::geteuid() != 0)
                    QSKIP("only root can give a directory to another user");
                QCOMPARE(::chown(QFile::encodeName(dir).constData(), 65534, 65534), 0);
            }
        } else if (setup == "link home") {
            QVERIFY(QFile::link(QDir::homePath(), dir));
        } else if (setup == "link private") {
            QVERIFY(QFile::link(m_SessionDir, dir));
        } else if (setup == "file") {
            QFile file(dir);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir().mkpath(temp + "/sub"));
        QCOMPARE(UpdateIniData::isSessionDirectory(dir), valid);

        QVERIFY(QFile(m_SessionDir + "/keep").open(QIODevice::WriteOnly));
        UpdateIniData::modify(
            9, dir, QStringLiteral("/opt/kv3"), QStringLiteral("client_linux_x86"));
        const Session session = readSession();
        QCOMPARE(session.valid, valid);
        if (valid)
            QCOMPARE(session.dir, dir);
        // Reading a session never changes what its directory holds.
        QVERIFY(QFile::exists(m_SessionDir + "/keep"));
    }

    void tempIniNeedsAValidSession()
    {
        QTemporaryDir target;
        UpdateIniData::modifyTempIni(target.path());
        QVERIFY(!QFile::exists(target.filePath(QStringLiteral("update.ini"))));

        writeIniGroup(appIniPath(), QStringLiteral("current"), {{QStringLiteral("version"), 1}});
        UpdateIniData::modifyTempIni(target.path());
        QVERIFY(!QFile::exists(target.filePath(QStringLiteral("update.ini"))));
    }

    void tempIniHandsTheSessionToStageTwo()
    {
        writeIniGroup(appIniPath(), QStringLiteral("Channel"), {{QStringLiteral("beta"), true}});
        writeIniGroup(appIniPath(), QStringLiteral("update"),
            {{QStringLiteral("proxy"), QStringLiteral("http://127.0.0.1:3128")},
                {QStringLiteral("streams"), 3}});
        UpdateIniData::modify(
            55, m_SessionDir, QStringLiteral("/opt/kv3"), QStringLiteral("update_linux_x86"));
        UpdateIniData::modifyTempIni(m_SessionDir);

        const QString copy = m_SessionDir + "/update.ini";
        QVERIFY(QFile::exists(copy));
        QCOMPARE(readKey(copy, QStringLiteral("current/version")).toInt(), 55);
        QCOMPARE(readKey(copy, QStringLiteral("current/dir")).toString(), m_SessionDir);
        QCOMPARE(
            readKey(copy, QStringLiteral("current/kv3dir")).toString(), QStringLiteral("/opt/kv3"));
        QCOMPARE(readKey(copy, QStringLiteral("current/type")).toString(),
            QStringLiteral("client_linux_x86"));
        // The session and the network settings travel, not the channel.
        QVERIFY(!readKey(copy, QStringLiteral("Channel/beta")).isValid());
        QCOMPARE(readKey(copy, QStringLiteral("update/proxy")).toString(),
            QStringLiteral("http://127.0.0.1:3128"));
        QCOMPARE(readKey(copy, QStringLiteral("update/streams")).toInt(), 3);
        // The original keeps what stage one recorded.
        QCOMPARE(readKey(appIniPath(), QStringLiteral("current/type")).toString(),
            QStringLiteral("update_linux_x86"));
    }
};

QTEST_GUILESS_MAIN(TestUpdateIniData)
#include "tst_updateinidata.moc"
