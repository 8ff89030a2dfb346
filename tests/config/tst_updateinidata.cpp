#include "updateinidata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

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
    QScopedPointer<QTemporaryDir> m_SessionDir;

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
        m_SessionDir.reset(new QTemporaryDir);
        QVERIFY(m_SessionDir->isValid());
    }

    void cleanup()
    {
        QFile::remove(appIniPath());
        m_SessionDir.reset();
    }

    void iniPathIsBesideTheProgram()
    {
        QCOMPARE(UpdateIniData::getIniPath(),
            QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("update.ini"));
        QVERIFY(QDir::isAbsolutePath(UpdateIniData::getIniPath()));
    }

    void recordedSessionReadsBack()
    {
        UpdateIniData::modify(4711, m_SessionDir->path(), QStringLiteral("/opt/kv3 client"),
            QStringLiteral("update_linux_x86"));
        const Session session = readSession();
        QVERIFY(session.valid);
        QCOMPARE(session.version, 4711);
        QCOMPARE(session.dir, m_SessionDir->path());
        QCOMPARE(session.kv3dir, QStringLiteral("/opt/kv3 client"));
        QCOMPARE(session.type, QStringLiteral("update_linux_x86"));
    }

    void modifyKeepsOtherGroups()
    {
        writeIniGroup(appIniPath(), QStringLiteral("Channel"),
            {{QStringLiteral("alpha"), QStringLiteral("http://127.0.0.1/a/")}});
        writeIniGroup(appIniPath(), QStringLiteral("current"),
            {{QStringLiteral("extra"), QStringLiteral("kept")}});
        UpdateIniData::modify(
            1, m_SessionDir->path(), QString(), QStringLiteral("client_linux_x86"));
        QCOMPARE(readKey(appIniPath(), QStringLiteral("Channel/alpha")).toString(),
            QStringLiteral("http://127.0.0.1/a/"));
        QCOMPARE(readKey(appIniPath(), QStringLiteral("current/extra")).toString(),
            QStringLiteral("kept"));
        QCOMPARE(readKey(appIniPath(), QStringLiteral("current/version")).toInt(), 1);
    }

    void nullOutParametersAreAllowed()
    {
        UpdateIniData::modify(2, m_SessionDir->path(), QStringLiteral("/opt/kv3"),
            QStringLiteral("client_linux_x86"));
        QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
        QString type;
        QVERIFY(UpdateIniData::get(nullptr, &type, nullptr, nullptr));
        QCOMPARE(type, QStringLiteral("client_linux_x86"));
    }

    void versionZeroIsAValidSession()
    {
        UpdateIniData::modify(0, m_SessionDir->path(), QStringLiteral("/opt/kv3"),
            QStringLiteral("client_linux_x86"));
        const Session session = readSession();
        QVERIFY(session.valid);
        QCOMPARE(session.version, 0);
    }

    void missingKv3dirIsStillValid()
    {
        writeIniGroup(appIniPath(), QStringLiteral("current"),
            {{QStringLiteral("version"), 3}, {QStringLiteral("dir"), m_SessionDir->path()},
                {QStringLiteral("type"), QStringLiteral("client_linux_x86")}});
        const Session session = readSession();
        QVERIFY(session.valid);
        QCOMPARE(session.kv3dir, QString());
        QCOMPARE(session.version, 3);
    }

    void invalidSessions_data()
    {
        QTest::addColumn<QVariantMap>("values");
        const QString existing = QDir::tempPath();
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
        QTest::newRow("dir gone") << with("dir", existing + "/kelvarion_no_such_session_dir");
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
        UpdateIniData::modify(
            8, m_SessionDir->path(), QString(), QStringLiteral("client_linux_x86"));
        QVERIFY(readSession().valid);
        QVERIFY(QDir(m_SessionDir->path()).removeRecursively());
        QVERIFY(!readSession().valid);
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
        UpdateIniData::modify(55, m_SessionDir->path(), QStringLiteral("/opt/kv3"),
            QStringLiteral("update_linux_x86"));
        UpdateIniData::modifyTempIni(m_SessionDir->path());

        const QString copy = m_SessionDir->filePath(QStringLiteral("update.ini"));
        QVERIFY(QFile::exists(copy));
        QCOMPARE(readKey(copy, QStringLiteral("current/version")).toInt(), 55);
        QCOMPARE(readKey(copy, QStringLiteral("current/dir")).toString(), m_SessionDir->path());
        QCOMPARE(
            readKey(copy, QStringLiteral("current/kv3dir")).toString(), QStringLiteral("/opt/kv3"));
        QCOMPARE(readKey(copy, QStringLiteral("current/type")).toString(),
            QStringLiteral("client_linux_x86"));
        // Only the session travels, not the channel settings.
        QVERIFY(!readKey(copy, QStringLiteral("Channel/beta")).isValid());
        // The original keeps what stage one recorded.
        QCOMPARE(readKey(appIniPath(), QStringLiteral("current/type")).toString(),
            QStringLiteral("update_linux_x86"));
    }
};

QTEST_GUILESS_MAIN(TestUpdateIniData)
#include "tst_updateinidata.moc"
