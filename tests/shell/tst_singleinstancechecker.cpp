#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class TestSingleInstanceChecker : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_Temp;

private slots:
    void initTestCase()
    {
        // The local socket lies in the temporary directory; a private one
        // keeps parallel test runs apart.
        QVERIFY(m_Temp.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_Temp.path()));
    }

    void serverNameFromPathAndHome()
    {
        const QString name = SingleInstanceChecker::serverName(
            QStringLiteral("/opt/KV3/update"), QStringLiteral("/home/ann"));
        const QByteArray key("optkv3updatehomeann");
        QCOMPARE(name,
            QStringLiteral("KV3ClientUpdate")
                + QString::number(qChecksum(key.constData(), uint(key.size())), 16));
        QCOMPARE(name.mid(15), name.mid(15).toLower());
        QVERIFY(!name.mid(15).startsWith(QLatin1Char('0')));
        QCOMPARE(SingleInstanceChecker::serverName(),
            SingleInstanceChecker::serverName(
                QCoreApplication::applicationFilePath(), QDir::homePath()));
    }

    void serverNameDistinguishesInstallationsAndUsers_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("home");
        QTest::addColumn<bool>("same");
        QTest::newRow("letter case of the path") << "/OPT/kv3/Update"
                                                 << "/home/ann" << true;
        QTest::newRow("another directory") << "/opt/kv4/update"
                                           << "/home/ann" << false;
        QTest::newRow("another user") << "/opt/kv3/update"
                                      << "/home/bob" << false;
    }

    void serverNameDistinguishesInstallationsAndUsers()
    {
        QFETCH(QString, path);
        QFETCH(QString, home);
        QFETCH(bool, same);
        const QString reference = SingleInstanceChecker::serverName(
            QStringLiteral("/opt/kv3/update"), QStringLiteral("/home/ann"));
        QCOMPARE(SingleInstanceChecker::serverName(path, home) == reference, same);
    }

    void sendWithoutListenerFails() { QVERIFY(!SingleInstanceChecker::send(QStringLiteral("#"))); }

    void messageReachesRunningInstance_data()
    {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("received");
        QTest::newRow("show window") << "#"
                                     << "#";
        QTest::newRow("zero byte ends the text") << QString::fromLatin1("#\0tail", 6) << "#";
        QTest::newRow("other text") << "##"
                                    << "##";
    }

    void messageReachesRunningInstance()
    {
        QFETCH(QString, sent);
        QFETCH(QString, received);
        SingleInstanceChecker checker(nullptr);
        QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
        QVERIFY(SingleInstanceChecker::send(sent));
        QVERIFY(spy.wait(10000));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), received);
    }

    void silentConnectionEmitsNothingUntilReplaced()
    {
        SingleInstanceChecker checker(nullptr);
        QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
        QLocalSocket silent;
        silent.connectToServer(SingleInstanceChecker::serverName());
        QVERIFY(silent.waitForConnected(5000));
        // The silent connection is taken; a later one replaces it and is read.
        QTRY_COMPARE(checker.findChildren<QLocalSocket*>().size(), 1);
        QVERIFY(SingleInstanceChecker::send(QStringLiteral("#")));
        QVERIFY(spy.wait(10000));
        QCOMPARE(spy.count(), 1);
        QTRY_COMPARE(silent.state(), QLocalSocket::UnconnectedState);
    }

    // The socket lies in a directory any user can write to. Another user's
    // listener under the name is no running instance of ours.
    void listenerOfAnotherUserIsIgnored()
    {
        if (::geteuid() != 0)
            QSKIP("starting a listener as another user needs root");
        // The system interpreter: one under a user directory may be out of reach.
        const QString python = QStringLiteral("/usr/bin/python3");
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (!QFileInfo::exists(python) || setpriv.isEmpty())
            QSKIP("python3 and setpriv are needed");
        QTemporaryDir shared(QStringLiteral("/tmp/kv_instance_XXXXXX"));
        QVERIFY(shared.isValid());
        QFile::setPermissions(shared.path(), QFileDevice::Permissions(0x7777));
        qputenv("TMPDIR", QFile::encodeName(shared.path()));
        const QString socketPath = shared.filePath(SingleInstanceChecker::serverName());
        QProcess listener;
        listener.start(setpriv,
            {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                QStringLiteral("--clear-groups"), python, QStringLiteral("-c"),
                QStringLiteral("import socket,sys\n"
                               "s=socket.socket(socket.AF_UNIX)\n"
                               "s.bind(sys.argv[1]); s.listen(5)\n"
                               "print('ready', flush=True)\n"
                               "c,_=s.accept(); c.recv(100)\n"),
                socketPath});
        const bool ready = listener.waitForReadyRead(10000);
        const bool delivered = ready && SingleInstanceChecker::send(QStringLiteral("#"));
        listener.kill();
        listener.waitForFinished(10000);
        qputenv("TMPDIR", QFile::encodeName(m_Temp.path()));
        QVERIFY2(ready, listener.readAllStandardError().constData());
        QVERIFY(!delivered);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
