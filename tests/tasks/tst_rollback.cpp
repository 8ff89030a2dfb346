#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Receives the undo warnings like a task would.
class Receiver : public QObject
{
    Q_OBJECT
public:
    QStringList lines;
public slots:
    void message(QString text) { lines << text; }
};

// A directory: no file removal takes it away.
const QString kUnremovable = QStringLiteral("/");

void touch(const QString& path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("x");
}

} // namespace

class TestRollback : public QObject
{
    Q_OBJECT
private slots:
    void undoesNewestFirst()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.path() + "/made";
        const QString file = dir + "/file";
        QVERIFY(QDir().mkdir(dir));
        touch(file);
        RollbackDataList list;
        list.add(RollbackData(DIR_CREATE, dir));
        list.add(RollbackData(FILE_CREATE, file));
        Receiver r;
        QVERIFY(list.rollback(&r));
        QVERIFY(!QFile::exists(file));
        QVERIFY(!QDir(dir).exists());
        QVERIFY(r.lines.isEmpty());
        QVERIFY(list.isEmpty());
        QVERIFY(list.rollback(&r)); // a second call finds nothing to do
    }

    void renameIsUndone()
    {
        QTemporaryDir tmp;
        const QString oldName = tmp.path() + "/old", newName = tmp.path() + "/new";
        touch(newName);
        RollbackDataList list;
        list.add(RollbackData(FILE_RENAME, newName, oldName));
        QVERIFY(list.rollback(nullptr));
        QVERIFY(QFile::exists(oldName));
        QVERIFY(!QFile::exists(newName));
    }

    void failuresAreReportedAndTheRestStillUndone()
    {
        QTemporaryDir tmp;
        const QString gone = tmp.path() + "/gone";
        const QString busyDir = tmp.path() + "/busy";
        const QString created = tmp.path() + "/created";
        QVERIFY(QDir().mkdir(busyDir));
        touch(busyDir + "/foreign");
        touch(created);
        RollbackDataList list;
        list.add(RollbackData(DIR_CREATE, busyDir));
        list.add(RollbackData(FILE_CREATE, gone));
        list.add(RollbackData(FILE_RENAME, tmp.path() + "/nothere", tmp.path() + "/was"));
        list.add(RollbackData(FILE_CREATE, created));
        list.add(RollbackData(DIR_CREATE, tmp.path() + "/gonedir"));
        Receiver r;
        QVERIFY(!list.rollback(&r));
        QVERIFY(!QFile::exists(created));
        QVERIFY(QDir(busyDir).exists());
        // What is already gone counts as undone.
        QCOMPARE(r.lines,
            (QStringList {QString("warning: rollback rename %1 to %2 failed")
                              .arg(tmp.path() + "/was", tmp.path() + "/nothere"),
                "warning: rollback create dir " + busyDir + " failed"}));
        // What is left is still to undo, oldest first.
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.records().at(0).path(), busyDir);
        QCOMPARE(list.records().at(1).op(), int(FILE_RENAME));
    }

    void nullReceiverGivesSameResultSilently()
    {
        RollbackDataList list;
        list.add(RollbackData(FILE_CREATE, kUnremovable));
        QVERIFY(!list.rollback(nullptr));
    }

    void receiverWithoutMessageMethod()
    {
        QObject plain;
        RollbackDataList list;
        list.add(RollbackData(FILE_CREATE, kUnremovable));
        QTest::ignoreMessage(
            QtDebugMsg, "Warning: message signal was not found in RollbackData::message");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("QMetaObject::invokeMethod.*"));
        QVERIFY(!list.rollback(&plain));
    }

    void taskReceiverSendsWarningsToDetailsLog()
    {
        ManualTask task(nullptr);
        QSignalSpy messages(&task, &TaskSpecification::message);
        RollbackDataList list;
        list.add(RollbackData(FILE_CREATE, kUnremovable));
        QVERIFY(!list.rollback(&task));
        QCOMPARE(messages.count(), 1);
    }

    void appendKeepsOrder()
    {
        RollbackDataList a, b;
        a.add(RollbackData(FILE_CREATE, "1"));
        b.add(RollbackData(FILE_CREATE, "2"));
        b.add(RollbackData(DIR_CREATE, "3"));
        a.append(b);
        QCOMPARE(a.size(), 3);
        QCOMPARE(a.records().at(2).path(), QString("3"));
        a.clear();
        QVERIFY(a.isEmpty());
    }

    void wrongConstructorStopsTheProcess_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("text");
        QTest::newRow("rename with one path") << "one"
                                              << "op!=FILE_RENAME";
        QTest::newRow("create with two paths") << "two"
                                               << "op==FILE_RENAME";
    }
    void wrongConstructorStopsTheProcess()
    {
        QFETCH(QString, mode);
        QFETCH(QString, text);
        QProcess child;
        child.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        child.start(
            QCoreApplication::applicationFilePath(), {"-misuse-rollback-constructor", mode});
        QVERIFY(child.waitForFinished(120000));
        // All of the child's output on failure: a sanitizer's report too.
        const QByteArray output = child.readAllStandardError();
        QVERIFY2(
            child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0, output.constData());
        QVERIFY2(output.contains(text.toUtf8()), qPrintable(text + QLatin1Char('\n') + output));
    }

    void fastFileOpEndsInsideExecute()
    {
        RollbackDataList undo;
        FixedFastOp bad(false, &undo, "/p");
        QSignalSpy messages(&bad, &TaskSpecification::message);
        QSignalSpy canceled(&bad, &TaskSpecification::canceled);
        bad.execute();
        QCOMPARE(bad.state(), int(STATE_FAILED));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(messages.count(), 1);
        QVERIFY(undo.isEmpty());

        FixedFastOp good(true, &undo, "/p");
        QSignalSpy finished(&good, &TaskSpecification::finished);
        good.execute();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(undo.size(), 1);

        FixedFastOp noList(true, nullptr, "/p");
        noList.execute();
        QCOMPARE(noList.state(), int(STATE_FINISHED));
    }
};

int main(int argc, char** argv)
{
    // Child mode for the constructor-misuse test: must never return normally.
    if (argc == 3 && qstrcmp(argv[1], "-misuse-rollback-constructor") == 0) {
        if (qstrcmp(argv[2], "one") == 0)
            RollbackData(FILE_RENAME, QStringLiteral("a"));
        else
            RollbackData(FILE_CREATE, QStringLiteral("a"), QStringLiteral("b"));
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestRollback test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_rollback.moc"
