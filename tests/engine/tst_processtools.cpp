#include "configuration.h"
#include "processtools.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A shell script that records its working directory and its arguments, one
// per line, then renames the record into place so a reader never sees half.
bool writeRecorder(const QString& path, const QString& record)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("#!/bin/sh\n{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > '"
        + record.toUtf8() + ".part'\nmv '" + record.toUtf8() + ".part' '" + record.toUtf8()
        + "'\n");
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class TestProcessTools : public QObject
{
    Q_OBJECT

private slots:
    void newUpdaterGetsArgumentsOneByOne()
    {
        QTemporaryDir dir;
        QTemporaryDir out;
        const QString record = out.path() + "/record";
        QVERIFY(writeRecorder(dir.path() + "/update", record));
        const QStringList args
            = {"--clientupdate", "client_linux_x86", "4711", "Release 4.7 \"summer\" edition"};
        ProcessTools::startClientUpdater(dir.path(), args);
        QTRY_VERIFY(QFile::exists(record));
        QCOMPARE(readLines(record), QStringList {dir.path()} + args);
    }

    // Nothing to start: the log says which file was missing.
    void missingUpdaterStartsNothing()
    {
        QTemporaryDir dir;
        const QByteArray path = "\"" + dir.path().toUtf8() + "/update\"";
        QTest::ignoreMessage(QtDebugMsg, "Failed to find " + path);
        ProcessTools::startClientUpdater(dir.path(), {"--clientupdate"});
        QVERIFY(QDir(dir.path()).isEmpty());
    }

    void clientRunScriptStartsInItsDirectory()
    {
        QTemporaryDir dir;
        QTemporaryDir out;
        const QString record = out.path() + "/record";
        QVERIFY(writeRecorder(dir.path() + "/" + Configuration::getClientScriptName(), record));
        ProcessTools::startKv3Client(dir.path());
        QTRY_VERIFY(QFile::exists(record));
        QCOMPARE(readLines(record), QStringList {dir.path()});
    }
};

QTEST_MAIN(TestProcessTools)
#include "tst_processtools.moc"
