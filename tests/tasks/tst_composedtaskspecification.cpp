#include "testtasks.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// A leaf that reports fixed download statistics.
class StatTask : public ManualTask
{
public:
    StatTask(QObject* parent, quint64 done, quint64 total, quint64 speed, bool downloading)
        : ManualTask(parent)
        , m_Done(done)
        , m_Total(total)
        , m_Speed(speed)
        , m_Downloading(downloading)
    {
    }
    void getDownloadProgress(
        quint64* done, quint64* total, quint64* speed, bool* downloading) override
    {
        *done = m_Done;
        *total = m_Total;
        *speed = m_Speed;
        *downloading = m_Downloading;
    }

private:
    quint64 m_Done, m_Total, m_Speed;
    bool m_Downloading;
};

int executed(const QList<ManualTask*>& tasks)
{
    int n = 0;
    for (const ManualTask* t : tasks)
        n += t->executeCount;
    return n;
}

} // namespace

class TestComposedTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void emptyTaskFinishesInsideExecute()
    {
        TestComposedTask task(3, 0.3);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(progress.last().at(0).toReal(), 0.3);
        QCOMPARE(task.state(), int(STATE_FINISHED));
    }

    void childrenStartFromEventLoopUpToMaxParallel()
    {
        TestComposedTask task(2);
        QList<ManualTask*> kids;
        for (int i = 0; i < 5; ++i)
            kids << task.addManual();
        task.execute();
        QCOMPARE(executed(kids), 0); // nothing starts inside execute()
        QCoreApplication::processEvents();
        QCOMPARE(executed(kids), 2);
        QCOMPARE(kids[0]->executeCount, 1);
        QCOMPARE(kids[1]->executeCount, 1);

        kids[1]->finish();
        QCOMPARE(executed(kids), 2); // the successor waits for the event loop
        QCoreApplication::processEvents();
        QCOMPARE(executed(kids), 3);
        QCOMPARE(kids[2]->executeCount, 1);

        QSignalSpy finished(&task, &TaskSpecification::finished);
        for (ManualTask* kid : {kids[0], kids[2]})
            kid->finish();
        QCoreApplication::processEvents();
        QCOMPARE(executed(kids), 5);
        kids[3]->finish();
        kids[4]->finish();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(task.state(), int(STATE_FINISHED));
        for (ManualTask* kid : kids)
            QCOMPARE(kid->executeCount, 1);
    }

    void successorNeverStartsInsideChildSignal()
    {
        TestComposedTask task(1);
        ManualTask* first = task.addManual();
        ManualTask* second = task.addManual();
        int secondStartsSeenInSignal = -1;
        connect(first, &TaskSpecification::finished, this,
            [&] { secondStartsSeenInSignal = second->executeCount; });
        task.execute();
        QCoreApplication::processEvents();
        first->finish();
        QCOMPARE(secondStartsSeenInSignal, 0);
        QCOMPARE(second->executeCount, 0);
        QTRY_COMPARE(second->executeCount, 1);
    }

    void neverMoreThanMaxParallelRunning()
    {
        TestComposedTask task(3);
        QList<ManualTask*> kids;
        for (int i = 0; i < 12; ++i) {
            ManualTask* kid = task.addManual();
            kid->onExecute = ManualTask::OnExecute::Wait;
            kids << kid;
        }
        int maxRunning = 0;
        auto running = [&] {
            int n = 0;
            for (ManualTask* k : kids)
                n += k->state() == STATE_RUNNING;
            return n;
        };
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        while (finished.isEmpty()) {
            QCoreApplication::processEvents();
            maxRunning = std::max(maxRunning, running());
            for (ManualTask* k : kids)
                if (k->state() == STATE_RUNNING) {
                    k->finish();
                    break;
                }
        }
        QCOMPARE(maxRunning, 3);
        QCOMPARE(executed(kids), 12);
    }

    void failureSkipsTheRest()
    {
        TestComposedTask task(1);
        ManualTask* a = task.addManual();
        ManualTask* b = task.addManual();
        ManualTask* c = task.addManual();
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QTRY_COMPARE(a->executeCount, 1);
        a->finish();
        QTRY_COMPARE(b->executeCount, 1);
        b->fail();
        QCOMPARE(canceled.count(), 1); // reported synchronously: nothing else runs
        QCOMPARE(task.state(), int(STATE_FAILED));
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(c->executeCount, 0);
        QCOMPARE(c->state(), int(STATE_IDLE));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(finished.count(), 0);
    }

    void failureWinsWhateverTheAbortedSiblingDoes_data()
    {
        QTest::addColumn<int>("onAbort");
        QTest::newRow("sibling cancels") << int(ManualTask::OnAbort::Cancel);
        QTest::newRow("sibling fails") << int(ManualTask::OnAbort::Fail);
        QTest::newRow("sibling finishes") << int(ManualTask::OnAbort::Finish);
        QTest::newRow("sibling ends later") << int(ManualTask::OnAbort::Ignore);
    }
    void failureWinsWhateverTheAbortedSiblingDoes()
    {
        QFETCH(int, onAbort);
        TestComposedTask task(2);
        ManualTask* a = task.addManual();
        ManualTask* b = task.addManual();
        b->onAbort = ManualTask::OnAbort(onAbort);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_COMPARE(b->executeCount, 1);
        a->fail();
        QCOMPARE(b->abortCauses, QList<TaskSpecification*> {a});
        QCOMPARE(a->abortCauses.size(), 0); // the cause is not told to abort itself
        if (b->onAbort == ManualTask::OnAbort::Ignore) {
            QCOMPARE(canceled.count(), 0); // waits for the running sibling
            b->finish();
        }
        QTRY_COMPARE(canceled.count(), 1);
        QCOMPARE(task.state(), int(STATE_FAILED));
        QCoreApplication::processEvents();
        QCOMPARE(canceled.count(), 1);
    }

    void failureWinsOverCancelInAggregation()
    {
        TestComposedTask task(2);
        ManualTask* a = task.addManual();
        ManualTask* b = task.addManual();
        task.execute();
        QTRY_COMPARE(b->executeCount, 1);
        a->cancelNow();
        b->fail();
        QCOMPARE(task.state(), int(STATE_FAILED));
    }

    void cancelLeavesPendingChildrenUnstarted()
    {
        TestComposedTask task(1);
        ManualTask* a = task.addManual();
        ManualTask* b = task.addManual();
        ManualTask* c = task.addManual();
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_COMPARE(a->executeCount, 1);
        task.cancel();
        QCOMPARE(a->cancelCount, 1);
        QCOMPARE(b->cancelCount, 1); // every child hears the cancel
        QCOMPARE(c->cancelCount, 1);
        a->finish();
        QTRY_COMPARE(canceled.count(), 1);
        QCOMPARE(task.state(), int(STATE_CANCELED));
        QCOMPARE(b->state(), int(STATE_IDLE));
        QCOMPARE(c->state(), int(STATE_IDLE));
        QCOMPARE(b->executeCount + c->executeCount, 0);
    }

    void cancelAfterEveryChildFinishedStillFinishes()
    {
        TestComposedTask task(1);
        ManualTask* a = task.addManual();
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_COMPARE(a->executeCount, 1);
        a->finish();
        task.cancel(); // before the outcome is reported from the event loop
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(canceled.count(), 0);
        QCOMPARE(task.state(), int(STATE_FINISHED));
    }

    void cancelOnIdleTaskOnlySetsItsFlag()
    {
        TestComposedTask task(1);
        ManualTask* a = task.addManual();
        task.cancel();
        QVERIFY(task.isCanceled());
        QCOMPARE(a->cancelCount, 0);
        QVERIFY(!a->isCanceled());
    }

    void abortReachesGrandchildren()
    {
        TestComposedTask root(2);
        ManualTask* failing = root.addManual();
        auto* inner = new TestComposedTask(1, 1.0, &root);
        root.addSubtask(inner);
        ManualTask* grandchild = inner->addManual();
        grandchild->onAbort = ManualTask::OnAbort::Cancel;
        QSignalSpy canceled(&root, &TaskSpecification::canceled);
        root.execute();
        QTRY_COMPARE(grandchild->executeCount, 1);
        failing->fail();
        QCOMPARE(grandchild->abortCauses, QList<TaskSpecification*> {failing});
        QTRY_COMPARE(canceled.count(), 1);
        QCOMPARE(inner->state(), int(STATE_CANCELED));
        QCOMPARE(root.state(), int(STATE_FAILED));
    }

    void progressIsWeightedSumOfChildrenAndMayExceedOne()
    {
        // The root task's children weigh 1.15 in all.
        TestComposedTask task(1, 1.0);
        const QList<qreal> weights {0.1, 0.05, 0.4, 0.1, 0.4, 0.1};
        QList<ManualTask*> kids;
        for (qreal w : weights)
            kids << task.addManual(w);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        kids[2]->progressTo(0.5);
        QCOMPARE(progress.last().at(0).toReal(), 0.2);
        for (ManualTask* k : kids)
            k->progressTo(1.0);
        QVERIFY(qFuzzyCompare(task.progress(), 1.15));

        TestComposedTask half(1, 0.5);
        half.addManual(0.4)->progressTo(0.5);
        QVERIFY(qFuzzyCompare(half.progress(), 0.1));
    }

    void messagesAndErrorsAreRelayed()
    {
        TestComposedTask root(1);
        auto* inner = new TestComposedTask(1, 1.0, &root);
        root.addSubtask(inner);
        ManualTask* leaf = inner->addManual();
        QSignalSpy messages(&root, &TaskSpecification::message);
        QSignalSpy errors(&root, &TaskSpecification::error);
        emit leaf->message("line");
        emit leaf->error("boom");
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QString("line"));
        QCOMPARE(errors.at(0).at(0).toString(), QString("boom"));
    }

    void downloadProgressSkipsUnknownTotals()
    {
        TestComposedTask task(1);
        task.addSubtask(new StatTask(&task, 100, 1000, 10, true));
        task.addSubtask(new StatTask(&task, 50, 0, 7, false)); // size not known yet
        task.addSubtask(new StatTask(&task, 20, 200, 3, false));
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.getDownloadProgress(&done, &total, &speed, &downloading);
        QCOMPARE(done, 120u);
        QCOMPARE(total, 1200u);
        QCOMPARE(speed, 20u);
        QVERIFY(downloading);
    }

    void resetKeepsChildrenAndRunsAgain()
    {
        TestComposedTask task(1);
        ManualTask* a = task.addManual();
        a->onExecute = ManualTask::OnExecute::Fail;
        task.execute();
        QTRY_COMPARE(task.state(), int(STATE_FAILED));
        a->onExecute = ManualTask::OnExecute::Finish;
        task.reset();
        QCOMPARE(a->state(), int(STATE_IDLE));
        QCOMPARE(task.progress(), 0.0);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(a->executeCount, 2);
    }

    void clearSubtasksDisconnectsAndDeletesLater()
    {
        TestComposedTask task(1);
        QPointer<ManualTask> a = task.addManual();
        task.clear();
        QVERIFY(task.subtasks().isEmpty());
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        a->progressTo(1.0);
        QCOMPARE(progress.count(), 0);
        QVERIFY(!a.isNull());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(a.isNull());
    }
};

QTEST_GUILESS_MAIN(TestComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
