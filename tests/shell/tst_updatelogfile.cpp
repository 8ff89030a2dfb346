#include "updatelogfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "shelltestfiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

// Child modes: the test program runs itself again for what ends a process
// or needs a fresh one (the log file object exists once per process).
const char* const kChildModeVariable = "KV_LOGFILE_CHILD";

const QRegularExpression kLinePattern(QStringLiteral(
    "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\t\\|\\t(Debug|Info|Warning|Critical|Fatal)"
    "\\t\\|\\t(.*)$"));

int runChild()
{
    const QByteArray mode = qgetenv(kChildModeVariable);
    UpdateLogFile::getInstance();
    qInstallMessageHandler(updateMessageHandler);
    if (mode == "fatal")
        qFatal("fatal record %d", 7);
    qDebug("child record");
    UpdateLogFile::getInstance()->close();
    return 0;
}

} // namespace

class TestUpdateLogFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_Temp;
    QString m_LogFile;

    QString logDir() const { return m_Temp.filePath(QStringLiteral("kelvarion_update_log")); }

    // The records of this process's log file, the final line feed removed.
    QList<QByteArray> records() const
    {
        QByteArray data = readAll(m_LogFile);
        if (data.endsWith('\n'))
            data.chop(1);
        return data.split('\n');
    }

    // Runs this program as a child in mode with its own temporary directory.
    int runChild(const QString& mode, const QString& tempDir, QProcess::ExitStatus* exitStatus)
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildModeVariable), mode);
        env.insert(QStringLiteral("TMPDIR"), tempDir);
        child.setProcessEnvironment(env);
        // The child's own output, a sanitizer's report among it, shows in
        // the test's.
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        if (!child.waitForFinished(120000))
            return -1;
        *exitStatus = child.exitStatus();
        return child.exitCode();
    }

    static QString onlyEntry(const QString& dir)
    {
        const QStringList entries = QDir(dir).entryList(QDir::Files | QDir::System);
        return entries.size() == 1 ? QDir(dir).filePath(entries.first()) : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_Temp.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_Temp.path()));
        writeFile(m_Temp.filePath(QStringLiteral("kv3_update_log")), QByteArray());
        UpdateLogFile::getInstance();
        qInstallMessageHandler(updateMessageHandler);
        QVERIFY(UpdateLogFile::s_enabled);
        QVERIFY(UpdateLogFile::getInstance()->isOpen());
        m_LogFile = UpdateLogFile::getInstance()->fileName();
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        UpdateLogFile::getInstance()->close();
    }

    void fileNameFromStartTime()
    {
        const QDateTime start(QDate(2026, 12, 6), QTime(7, 34, 3, 512));
        QCOMPARE(
            UpdateLogFile::fileNameFor(start), QStringLiteral("update__2026-12-06__07_34_03.log"));
        QCOMPARE(UpdateLogFile::logDirectory(QStringLiteral("/var/tmp")),
            QStringLiteral("/var/tmp/kelvarion_update_log/"));
    }

    void oneFilePerRunInPrivateDirectory()
    {
        QCOMPARE(QFileInfo(m_LogFile).absolutePath(), QFileInfo(logDir()).absoluteFilePath());
        QVERIFY(QRegularExpression(
            QStringLiteral("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$"))
                    .match(QFileInfo(m_LogFile).fileName())
                    .hasMatch());
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(logDir()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 07777), 0700);
        QCOMPARE(::stat(QFile::encodeName(m_LogFile).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 07777), 0600);
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("tag");
        QTest::newRow("debug") << int(QtDebugMsg) << QByteArray("Debug");
        QTest::newRow("info") << int(QtInfoMsg) << QByteArray("Info");
        QTest::newRow("warning") << int(QtWarningMsg) << QByteArray("Warning");
        QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray("Critical");
    }

    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, tag);
        const QString text = QStringLiteral("record of type %1 \u00e9").arg(type);
        QMessageLogger logger;
        switch (QtMsgType(type)) {
        case QtDebugMsg:
            logger.debug("%s", qPrintable(text));
            break;
        case QtInfoMsg:
            logger.info("%s", qPrintable(text));
            break;
        case QtWarningMsg:
            logger.warning("%s", qPrintable(text));
            break;
        default:
            logger.critical("%s", qPrintable(text));
            break;
        }
        const QByteArray last = records().last();
        const QRegularExpressionMatch match = kLinePattern.match(QString::fromLocal8Bit(last));
        QVERIFY2(match.hasMatch(), last.constData());
        QCOMPARE(match.captured(1).toLatin1(), tag);
        QCOMPARE(match.captured(2), text);
    }

    void lineBreakStaysInOneRecord()
    {
        qDebug("first half\nsecond half");
        const QList<QByteArray> lines = records();
        QVERIFY(lines.at(lines.size() - 2).endsWith("\t|\tDebug\t|\tfirst half"));
        QCOMPARE(lines.last(), QByteArray("second half"));
    }

    void markerRemovedDuringRunKeepsLogging()
    {
        QVERIFY(QFile::remove(m_Temp.filePath(QStringLiteral("kv3_update_log"))));
        qDebug("after the marker went");
        QVERIFY(records().last().endsWith("after the marker went"));
        writeFile(m_Temp.filePath(QStringLiteral("kv3_update_log")), QByteArray());
    }

    // Workers of the thread pool log while the GUI thread does: every record
    // arrives whole, once, and no line is torn or mixed with another.
    void threadsLoggingAtOnceLoseAndTearNothing()
    {
        const int threads = 8;
        const int perThread = 2000;
        const QByteArray filler(120, 'x');
        const int before = records().size();
        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back(QThread::create([t, filler] {
                for (int i = 0; i < perThread; ++i)
                    qDebug("thread %d record %d %s", t, i, filler.constData());
            }));
        }
        for (auto& worker : workers)
            worker->start();
        for (auto& worker : workers)
            QVERIFY(worker->wait(120000));

        const QList<QByteArray> lines = records().mid(before);
        QCOMPARE(lines.size(), threads * perThread);
        const QRegularExpression recordPattern(
            QStringLiteral("^thread (\\d+) record (\\d+) x{120}$"));
        QSet<QString> seen;
        for (const QByteArray& line : lines) {
            const QRegularExpressionMatch match = kLinePattern.match(QString::fromLocal8Bit(line));
            QVERIFY2(match.hasMatch(), line.constData());
            const QRegularExpressionMatch record = recordPattern.match(match.captured(2));
            QVERIFY2(record.hasMatch(), line.constData());
            seen.insert(record.captured(1) + QLatin1Char('/') + record.captured(2));
        }
        QCOMPARE(seen.size(), threads * perThread);
    }

    void fatalRecordIsWrittenThenProcessAborts()
    {
        QTemporaryDir temp;
        writeFile(temp.filePath(QStringLiteral("kv3_update_log")), QByteArray());
        QProcess::ExitStatus status = QProcess::NormalExit;
        runChild(QStringLiteral("fatal"), temp.path(), &status);
        QCOMPARE(status, QProcess::CrashExit);
        const QString file = onlyEntry(temp.filePath(QStringLiteral("kelvarion_update_log")));
        QVERIFY(!file.isEmpty());
        QVERIFY(readAll(file).endsWith("\t|\tFatal\t|\tfatal record 7\n"));
    }

    void withoutMarkerNothingIsCreated()
    {
        QTemporaryDir temp;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QCOMPARE(runChild(QStringLiteral("plain"), temp.path(), &status), 0);
        QCOMPARE(status, QProcess::NormalExit);
        QVERIFY(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    // Anyone can create entries in the shared temporary directory. A log
    // directory or log file that is not the running user's alone is not
    // used, and nothing is written through a planted link.
    void plantedEntriesAreNotUsed_data()
    {
        QTest::addColumn<QString>("plant");
        QTest::newRow("directory is a link") << "dirlink";
        QTest::newRow("directory writable by others") << "dirmode";
        QTest::newRow("directory of another user") << "dirowner";
        QTest::newRow("log file is a link") << "filelink";
        QTest::newRow("log file has another hard link") << "hardlink";
        QTest::newRow("log file of another user") << "fileowner";
    }

    void plantedEntriesAreNotUsed()
    {
        QFETCH(QString, plant);
        QTemporaryDir temp;
        const QString dir = temp.filePath(QStringLiteral("kelvarion_update_log"));
        const QString name = QStringLiteral("update__2026-12-06__07_34_03.log");
        const QString victimDir = temp.filePath(QStringLiteral("victim"));
        const QString victim = temp.filePath(QStringLiteral("victim/precious"));
        QVERIFY(QDir().mkpath(victimDir));
        writeFile(victim, "precious data\n");

        if (plant == QLatin1String("dirlink")) {
            QVERIFY(QFile::link(victimDir, dir));
        } else {
            QVERIFY(QDir().mkdir(dir));
            QFile::setPermissions(
                dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        const QByteArray nativeDir = QFile::encodeName(dir);
        const QByteArray nativeFile = QFile::encodeName(dir + QLatin1Char('/') + name);
        if (plant == QLatin1String("dirmode"))
            QCOMPARE(::chmod(nativeDir.constData(), 0777), 0);
        if (plant == QLatin1String("dirowner") || plant == QLatin1String("fileowner")) {
            if (::geteuid() != 0)
                QSKIP("changing an owner needs root");
        }
        if (plant == QLatin1String("dirowner"))
            QCOMPARE(::chown(nativeDir.constData(), 65534, 65534), 0);
        if (plant == QLatin1String("filelink"))
            QVERIFY(QFile::link(victim, dir + QLatin1Char('/') + name));
        if (plant == QLatin1String("hardlink"))
            QCOMPARE(::link(QFile::encodeName(victim).constData(), nativeFile.constData()), 0);
        if (plant == QLatin1String("fileowner")) {
            writeFile(dir + QLatin1Char('/') + name, "someone else's\n");
            QCOMPARE(::chown(nativeFile.constData(), 65534, 65534), 0);
        }

        std::unique_ptr<QFile> file(UpdateLogFile::openLogFile(dir + QLatin1Char('/'), name));
        QVERIFY(!file);
        QCOMPARE(readAll(victim), QByteArray("precious data\n"));
        QVERIFY(!QFileInfo::exists(victimDir + QLatin1Char('/') + name));
        if (plant == QLatin1String("fileowner"))
            QCOMPARE(readAll(dir + QLatin1Char('/') + name), QByteArray("someone else's\n"));
    }

    void ownExistingFileIsTruncated()
    {
        QTemporaryDir temp;
        const QString dir = temp.filePath(QStringLiteral("kelvarion_update_log/"));
        QVERIFY(QDir().mkdir(dir));
        QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 0755), 0);
        writeFile(dir + QStringLiteral("same.log"), "an earlier run in the same second\n");
        std::unique_ptr<QFile> file(UpdateLogFile::openLogFile(dir, QStringLiteral("same.log")));
        QVERIFY(file);
        QCOMPARE(file->size(), qint64(0));
    }
};

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsEmpty(kChildModeVariable)) {
        QCoreApplication app(argc, argv);
        return runChild();
    }
    QCoreApplication app(argc, argv);
    TestUpdateLogFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updatelogfile.moc"
