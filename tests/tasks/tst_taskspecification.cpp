#include "testtasks.h"

#include <QSignalSpy>
#include <QtTest>

class TestTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void finishedReportsFullWeightBeforeFinished()
    {
        ManualTask task(nullptr, 0.4);
        QList<QString> order;
        connect(&task, &TaskSpecification::updateProgress, this,
            [&](qreal p) { order << QStringLiteral("progress %1").arg(p); });
        connect(&task, &TaskSpecification::finished, this, [&](TaskSpecification* t) {
            QCOMPARE(t, &task);
            order << QStringLiteral("finished");
        });
        task.execute();
        task.finish();
        QCOMPARE(order, (QList<QString> {"progress 0.4", "finished"}));
        QCOMPARE(task.state(), int(STATE_FINISHED));
        QCOMPARE(task.progress(), 0.4);
    }

    void failureAndCancelEmitOnlyCanceled_data()
    {
        QTest::addColumn<bool>("fail");
        QTest::newRow("failure") << true;
        QTest::newRow("cancel") << false;
    }
    void failureAndCancelEmitOnlyCanceled()
    {
        QFETCH(bool, fail);
        ManualTask task(nullptr, 0.5);
        task.execute();
        task.progressTo(0.5);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        if (fail)
            task.fail();
        else
            task.cancelNow();
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(canceled.at(0).at(0).value<TaskSpecification*>(), &task);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(progress.count(), 0);
        QCOMPARE(task.progress(), 0.25);
        QCOMPARE(task.state(), int(fail ? STATE_FAILED : STATE_CANCELED));
    }

    void progressIsWeighted()
    {
        ManualTask task(nullptr, 0.2);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.progressTo(0.5);
        QCOMPARE(progress.count(), 1);
        QCOMPARE(progress.at(0).at(0).toReal(), 0.1);
        QCOMPARE(task.progress(), 0.1);
    }

    void otherTaskCancelledAbortsOnlyRunningOthers()
    {
        ManualTask task(nullptr);
        ManualTask other(nullptr);
        task.notifyOtherCancelled(&other); // idle: nothing
        QVERIFY(task.abortCauses.isEmpty());
        task.execute();
        task.notifyOtherCancelled(&task); // itself: nothing
        QVERIFY(task.abortCauses.isEmpty());
        task.notifyOtherCancelled(&other);
        QCOMPARE(task.abortCauses, QList<TaskSpecification*> {&other});
        task.finish();
        task.notifyOtherCancelled(&other); // ended: nothing
        QCOMPARE(task.abortCauses.size(), 1);
    }

    void resetAfterFailureStartsOver()
    {
        ManualTask task(nullptr, 0.5);
        task.execute();
        task.progressTo(0.6);
        task.cancel();
        task.fail();
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.reset();
        QCOMPARE(task.state(), int(STATE_IDLE));
        QCOMPARE(task.progress(), 0.0);
        QVERIFY(!task.isCanceled());
        QCOMPARE(progress.count(), 1);
        QCOMPARE(progress.at(0).at(0).toReal(), 0.0);
    }

    void baseDownloadProgressOverwritesOutputs()
    {
        ManualTask task(nullptr);
        quint64 done = 5, total = 6, speed = 7;
        bool downloading = true;
        task.getDownloadProgress(&done, &total, &speed, &downloading);
        QCOMPARE(done, 0u);
        QCOMPARE(total, 0u);
        QCOMPARE(speed, 0u);
        QVERIFY(!downloading);
    }
};

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_taskspecification.moc"
