#include "filetaskstesthelpers.h"
#include "prepostinstallfunc.h"
#include "prepostinstalllisttaskspecification.h"
#include "prepostinstalltaskspecification.h"

#include <QTemporaryDir>
#include <QThread>

#include <memory>

// Stands in for the window: counts reboot requests and where they arrive.
class RebootReceiver : public QObject
{
    Q_OBJECT
public:
    int calls = 0;
    bool onGuiThread = true;

public slots:
    void onRebootWithConfirmation()
    {
        ++calls;
        onGuiThread
            = onGuiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    }
};

// Install commands as real child processes: scripts and programs that exit
// with various statuses, crash, take longer than one wait slice, or are
// missing.
class TestPrePostInstall : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    Configuration m_Config;

    void script(const QString& name, const QByteArray& body)
    {
        const QString path = m_Dir->filePath(name);
        QVERIFY(writeFile(path, "#!/bin/sh\n" + body + "\n"));
        QVERIFY(setMode(path, 0755));
    }

    struct Run
    {
        int state;
        QStringList messages;
    };

    Run run(const PrePostInstallList& list)
    {
        PrePostInstallListTaskSpecification task(&list, &m_Config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        const bool ended = runTask(&task);
        // Let queued reboot requests arrive.
        QCoreApplication::processEvents();
        return {ended ? task.state() : -1, messageTexts(messages)};
    }

private slots:
    void init()
    {
        m_Dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Dir->isValid());
        m_Config.m_TempDir = m_Dir->path();
        script(QStringLiteral("ok.sh"), "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.txt\"");
        script(QStringLiteral("exit1.sh"), "exit 1");
        script(QStringLiteral("exit2.sh"), "exit 2");
        script(QStringLiteral("reboot.sh"), "exit 1010");
        script(QStringLiteral("crash.sh"), "kill -SEGV $$");
        script(QStringLiteral("slow.sh"), "sleep 1; exit 0");
        script(QStringLiteral("talkative.sh"), "head -c 4000000 /dev/zero; exit 0");
        // Fetched like every download: without an execute bit.
        QVERIFY(writeFile(m_Dir->filePath(QStringLiteral("fetched.sh")), "#!/bin/sh\nexit 0\n"));
        QVERIFY(QDir(m_Dir->path()).mkdir(QStringLiteral("directory")));
        QVERIFY(QFile::copy(QStringLiteral("/bin/true"), m_Dir->filePath(QStringLiteral("true"))));
        QVERIFY(
            QFile::copy(QStringLiteral("/bin/false"), m_Dir->filePath(QStringLiteral("false"))));
        PrePostInstallTaskSpecification::setRebootReceiver(nullptr);
    }

    void cleanup() { PrePostInstallFunc::setWaitSliceMs(30000); }

    void oneCommand_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("state");
        QTest::addColumn<QStringList>("messages");
        const QString started = QStringLiteral("Starting install condition");
        auto row = [&](const char* name, const char* command, TaskState state, QStringList more) {
            QTest::newRow(name) << QString::fromLatin1(command) << int(state)
                                << (QStringList {started,
                                        QStringLiteral("Starting %1").arg(QLatin1String(command))}
                                       + more);
        };
        row("exit 0", "ok.sh", STATE_FINISHED, {"ok.sh completed sucessfully"});
        row("program exit 0", "true", STATE_FINISHED, {"true completed sucessfully"});
        row("exit 1", "exit1.sh", STATE_FAILED, {"Failed to complete exit1.sh, exit code: 1"});
        row("program exit 1", "false", STATE_FAILED, {"Failed to complete false, exit code: 1"});
        row("exit 2", "exit2.sh", STATE_FAILED, {});
        row("crash", "crash.sh", STATE_FAILED, {});
        row("reboot", "reboot.sh", STATE_FINISHED,
            {"reboot.sh completed sucessfully, reboot required"});
        row("past one wait slice", "slow.sh", STATE_FINISHED, {"slow.sh completed sucessfully"});
        row("much output", "talkative.sh", STATE_FINISHED, {"talkative.sh completed sucessfully"});
        row("fetched without execute bit", "fetched.sh", STATE_FINISHED,
            {"fetched.sh completed sucessfully"});
    }

    void oneCommand()
    {
        QFETCH(QString, command);
        QFETCH(int, state);
        QFETCH(QStringList, messages);
        PrePostInstallFunc::setWaitSliceMs(200);
        const Run result = run({PrePostInstallCommand(command, {})});
        QCOMPARE(result.state, state);
        QCOMPARE(result.messages, messages);
    }

    void commandThatCannotStart_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("missing") << "missing.sh";
        QTest::newRow("directory") << "directory";
    }

    void commandThatCannotStart()
    {
        QFETCH(QString, command);
        const Run result = run({PrePostInstallCommand(command, {})});
        QCOMPARE(result.state, int(STATE_FAILED));
        // The reason the system gave is part of the message.
        QCOMPARE(result.messages.size(), 3);
        QVERIFY2(
            result.messages.last().startsWith(QStringLiteral("Failed to start %1: ").arg(command))
                && result.messages.last().size() > command.size() + 18,
            qPrintable(result.messages.join(QLatin1Char('\n'))));
    }

    void argumentsGetTheDoubleDash()
    {
        QVERIFY(run({PrePostInstallCommand(QStringLiteral("ok.sh"), {"a", "b c"})}).state
            == STATE_FINISHED);
        QCOMPARE(readFile(m_Dir->filePath(QStringLiteral("args.txt"))), QByteArray("--a\n--b c\n"));
        QVERIFY(run({PrePostInstallCommand(QStringLiteral("ok.sh"), {})}).state == STATE_FINISHED);
        QCOMPARE(readFile(m_Dir->filePath(QStringLiteral("args.txt"))), QByteArray("\n"));
    }

    // 1010 arrives as 242 on Linux: the request reaches the receiver once,
    // on the GUI thread, and later commands still run. A receiver that is
    // gone is forgotten; the request then goes nowhere and the list runs on.
    void rebootRequest_data()
    {
        QTest::addColumn<bool>("receiverGone");
        QTest::newRow("receiver") << false;
        QTest::newRow("receiver gone") << true;
    }

    void rebootRequest()
    {
        QFETCH(bool, receiverGone);
        auto receiver = std::make_unique<RebootReceiver>();
        PrePostInstallTaskSpecification::setRebootReceiver(receiver.get());
        if (receiverGone) {
            receiver.reset();
            QVERIFY(PrePostInstallTaskSpecification::rebootReceiver() == nullptr);
        }
        const Run result = run({PrePostInstallCommand(QStringLiteral("reboot.sh"), {}),
            PrePostInstallCommand(QStringLiteral("ok.sh"), {})});
        QCOMPARE(result.state, int(STATE_FINISHED));
        QCOMPARE(result.messages.last(), QStringLiteral("ok.sh completed sucessfully"));
        QVERIFY(QFileInfo::exists(m_Dir->filePath(QStringLiteral("args.txt"))));
        if (receiverGone)
            return;
        QTRY_COMPARE(receiver->calls, 1);
        QVERIFY(receiver->onGuiThread);
    }

    void failureStopsTheList()
    {
        const Run result = run({PrePostInstallCommand(QStringLiteral("exit2.sh"), {}),
            PrePostInstallCommand(QStringLiteral("ok.sh"), {})});
        QCOMPARE(result.state, int(STATE_FAILED));
        QVERIFY(!result.messages.contains(QStringLiteral("Starting ok.sh")));
        QVERIFY(!QFileInfo::exists(m_Dir->filePath(QStringLiteral("args.txt"))));
    }

    void emptyListFinishesAtOnceWithoutMessage()
    {
        const PrePostInstallList list;
        PrePostInstallListTaskSpecification task(&list, &m_Config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QCOMPARE(task.state(), int(STATE_FINISHED));
        QVERIFY(messages.isEmpty());
    }

    void everyCommandWeighsOneTenth()
    {
        const PrePostInstallList list {PrePostInstallCommand(QStringLiteral("true"), {}),
            PrePostInstallCommand(QStringLiteral("true"), {}),
            PrePostInstallCommand(QStringLiteral("true"), {})};
        PrePostInstallListTaskSpecification task(&list, &m_Config, nullptr, 0.1);
        QVERIFY(runTask(&task));
        QCOMPARE(task.subtasks().size(), list.size());
        for (TaskSpecification* child : task.subtasks())
            QCOMPARE(child->weight(), 0.1);
    }
};

QTEST_GUILESS_MAIN(TestPrePostInstall)
#include "tst_prepostinstall.moc"
