#include "testtasks.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

// Records the thread each worker runs on.
class ThreadProbeFunc : public ASyncFunc
{
public:
    explicit ThreadProbeFunc(QThread** seen)
        : m_Seen(seen)
    {
    }
    bool run() override
    {
        *m_Seen = QThread::currentThread();
        emit progress(0.5);
        emit message(QStringLiteral("from worker"));
        return true;
    }

private:
    QThread** m_Seen;
};

class ThreadProbeTask : public ASyncTaskSpecification
{
public:
    explicit ThreadProbeTask(QThread** seen)
        : ASyncTaskSpecification(nullptr, 1.0)
        , m_Seen(seen)
    {
    }
    ASyncFunc* createFunc() override { return new ThreadProbeFunc(m_Seen); }

private:
    QThread** m_Seen;
};

} // namespace

class TestASyncTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void workerRunsOnPoolAndReportsOnGuiThread()
    {
        QThread* workerThread = nullptr;
        ThreadProbeTask task(&workerThread);
        QList<QThread*> slotThreads;
        auto record = [&] { slotThreads << QThread::currentThread(); };
        connect(&task, &TaskSpecification::message, this, record);
        connect(&task, &TaskSpecification::updateProgress, this, record);
        connect(&task, &TaskSpecification::finished, this, record);
        task.execute();
        QCOMPARE(task.state(), int(STATE_RUNNING));
        QTRY_COMPARE(task.state(), int(STATE_FINISHED));
        QVERIFY(workerThread != nullptr);
        QVERIFY(workerThread != QThread::currentThread());
        QCOMPARE(slotThreads.size(), 4); // progress, message, final progress, finished
        for (QThread* t : slotThreads)
            QCOMPARE(t, QThread::currentThread());
    }

    void workerProgressIsWeighted()
    {
        QSemaphore gate;
        GatedTask task(&gate, true, nullptr, 0.8, {0.5});
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.execute();
        QTRY_COMPARE(progress.count(), 1);
        QCOMPARE(progress.at(0).at(0).toReal(), 0.4);
        gate.release();
        QTRY_COMPARE(task.state(), int(STATE_FINISHED));
    }

    void cancelDoesNotStopTheWorker_data()
    {
        QTest::addColumn<bool>("result");
        QTest::newRow("worker succeeds") << true;
        QTest::newRow("worker fails") << false;
    }
    void cancelDoesNotStopTheWorker()
    {
        QFETCH(bool, result);
        QSemaphore gate;
        GatedTask task(&gate, result, nullptr, 1.0);
        task.execute();
        task.cancel();
        QVERIFY(task.isCanceled());
        QCOMPARE(task.state(), int(STATE_RUNNING));
        gate.release();
        QTRY_COMPARE(task.state(), int(result ? STATE_FINISHED : STATE_FAILED));
    }

    void failedFileOpSendsItsTextAndAddsNoRecord()
    {
        QSemaphore gate(1);
        RollbackDataList undo;
        GatedFileOp task(&gate, false, &undo, "/x/dest");
        QStringList order;
        connect(&task, &TaskSpecification::message, this, [&](QString m) { order << m; });
        connect(&task, &TaskSpecification::canceled, this, [&] { order << "canceled"; });
        task.execute();
        QTRY_COMPARE(task.state(), int(STATE_FAILED));
        QCOMPARE(order,
            (QStringList {"worker says hello", "Could not copy 'a' to '/x/dest'", "canceled"}));
        QVERIFY(undo.isEmpty());
    }

    void succeededFileOpRecordsItsDestination()
    {
        QSemaphore gate(2);
        RollbackDataList undo;
        GatedFileOp withList(&gate, true, &undo, "/x/dest");
        GatedFileOp withoutList(&gate, true, nullptr, "/x/other");
        withList.execute();
        withoutList.execute();
        QTRY_COMPARE(withList.state(), int(STATE_FINISHED));
        QTRY_COMPARE(withoutList.state(), int(STATE_FINISHED));
        QCOMPARE(undo.size(), 1);
        QCOMPARE(undo.records().at(0).op(), int(FILE_CREATE));
        QCOMPARE(undo.records().at(0).path(), QString("/x/dest"));
    }

    void resultAfterResetIsDroppedButFileOpStillRecords_data()
    {
        QTest::addColumn<bool>("result");
        QTest::newRow("success") << true;
        QTest::newRow("failure") << false;
    }
    void resultAfterResetIsDroppedButFileOpStillRecords()
    {
        QFETCH(bool, result);
        QSemaphore gate(1);
        RollbackDataList undo;
        GatedFileOp task(&gate, result, &undo, "/x/dest");
        task.execute();
        task.reset(); // waits for the worker; its result is still queued
        QCOMPARE(task.state(), int(STATE_IDLE));
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        QTRY_VERIFY(undo.size() == 1 || messages.count() == 2);
        QCoreApplication::processEvents();
        QCOMPARE(task.state(), int(STATE_IDLE));
        QCOMPARE(task.progress(), 0.0);
        QCOMPARE(finished.count() + canceled.count() + progress.count(), 0);
        if (result)
            QCOMPARE(undo.size(), 1);
        else
            QCOMPARE(messages.last().at(0).toString(), QString("Could not copy 'a' to '/x/dest'"));
    }

    void manyWorkersAllReport()
    {
        QSemaphore gate(64);
        QList<GatedTask*> tasks;
        for (int i = 0; i < 64; ++i) {
            tasks << new GatedTask(&gate, i % 3 != 0, this, 1.0, {0.25, 0.75});
            tasks.last()->execute();
        }
        for (GatedTask* t : tasks)
            QTRY_VERIFY(t->state() != STATE_RUNNING);
        for (int i = 0; i < tasks.size(); ++i)
            QCOMPARE(tasks[i]->state(), int(i % 3 != 0 ? STATE_FINISHED : STATE_FAILED));
        qDeleteAll(tasks);
    }

    void taskDeletedBeforeWorkerEndsIsSafe()
    {
        QSemaphore gate;
        auto* task = new GatedTask(&gate, true, nullptr, 1.0, {0.1});
        task->execute();
        delete task; // the worker's queued signals must find no receiver
        gate.release();
        QThreadPool::globalInstance()->waitForDone(-1);
        QCoreApplication::processEvents();
    }
};

QTEST_GUILESS_MAIN(TestASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
