#ifndef TESTTASKS_H
#define TESTTASKS_H

#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "composedtaskspecification.h"
#include "fastfileoptaskspecification.h"
#include "slowfileopspecification.h"

#include <QList>
#include <QSemaphore>

// A leaf task whose end the test decides: it only records execute() and
// abort() calls, and the test ends it with finish(), fail() or cancelNow().
class ManualTask : public TaskSpecification
{
    Q_OBJECT
public:
    explicit ManualTask(QObject* parent, qreal weight = 1.0)
        : TaskSpecification(parent, weight)
    {
    }

    int executeCount = 0;
    int cancelCount = 0;
    QList<TaskSpecification*> abortCauses;
    // What to do when the task is told to abort: nothing, or end at once.
    enum class OnAbort
    {
        Ignore,
        Cancel,
        Fail,
        Finish
    } onAbort
        = OnAbort::Ignore;
    // End synchronously inside execute().
    enum class OnExecute
    {
        Wait,
        Finish,
        Fail
    } onExecute
        = OnExecute::Wait;

    void execute() override
    {
        ++executeCount;
        setState(STATE_RUNNING);
        if (onExecute == OnExecute::Finish)
            setFinished();
        else if (onExecute == OnExecute::Fail)
            setError();
    }
    void cancel() override
    {
        ++cancelCount;
        TaskSpecification::cancel();
    }
    void abort(TaskSpecification* cause) override
    {
        abortCauses.append(cause);
        switch (onAbort) {
        case OnAbort::Ignore:
            break;
        case OnAbort::Cancel:
            setCanceled();
            break;
        case OnAbort::Fail:
            setError();
            break;
        case OnAbort::Finish:
            setFinished();
            break;
        }
    }

    void finish() { setFinished(); }
    void fail() { setError(); }
    void cancelNow() { setCanceled(); }
    void progressTo(qreal frac) { setProgress(frac); }
    void notifyOtherCancelled(TaskSpecification* cause) { onOtherTaskCancelled(cause); }
};

// A composed task that only adds the children the test hands it.
class TestComposedTask : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    TestComposedTask(int maxParallel, qreal weight = 1.0, QObject* parent = nullptr)
        : ComposedTaskSpecification(maxParallel, weight, parent)
    {
    }
    ManualTask* addManual(qreal weight = 1.0)
    {
        auto* child = new ManualTask(this, weight);
        addSubtask(child);
        return child;
    }
    void execute() override
    {
        setState(STATE_RUNNING);
        startSubtasks();
    }
    void clear() { clearSubtasks(); }
};

// A worker that blocks on a semaphore until the test releases it, so the test
// controls when the pool thread finishes.
class GatedFunc : public ASyncFunc
{
    Q_OBJECT
public:
    GatedFunc(QSemaphore* gate, bool result, QList<qreal> progressSteps)
        : m_Gate(gate)
        , m_Result(result)
        , m_Steps(std::move(progressSteps))
    {
    }
    bool run() override
    {
        for (qreal step : m_Steps)
            emit progress(step);
        emit message(QStringLiteral("worker says hello"));
        if (m_Gate)
            m_Gate->acquire();
        return m_Result;
    }

private:
    QSemaphore* m_Gate;
    bool m_Result;
    QList<qreal> m_Steps;
};

class GatedTask : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    GatedTask(QSemaphore* gate, bool result, QObject* parent, qreal weight, QList<qreal> steps = {})
        : ASyncTaskSpecification(parent, weight)
        , m_Gate(gate)
        , m_Result(result)
        , m_Steps(std::move(steps))
    {
    }
    ASyncFunc* createFunc() override { return new GatedFunc(m_Gate, m_Result, m_Steps); }

private:
    QSemaphore* m_Gate;
    bool m_Result;
    QList<qreal> m_Steps;
};

class GatedFileOp : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    GatedFileOp(QSemaphore* gate, bool result, RollbackDataList* list, const QString& dest,
        QObject* parent = nullptr)
        : SlowFileOpSpecification(QStringLiteral("Could not copy 'a' to '%1'").arg(dest), list,
            QStringLiteral("a"), dest, parent, 1.0)
        , m_Gate(gate)
        , m_Result(result)
    {
    }
    ASyncFunc* createFunc() override { return new GatedFunc(m_Gate, m_Result, {}); }

private:
    QSemaphore* m_Gate;
    bool m_Result;
};

// A fast file operation whose result the test chooses.
class FixedFastOp : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FixedFastOp(bool result, RollbackDataList* list, const QString& path)
        : FastFileOpTaskSpecification(path, list, nullptr, 1.0)
        , m_Result(result)
    {
    }
    bool doOp() override
    {
        if (m_Result)
            addRollbackData(RollbackData(FILE_CREATE, m_Path));
        else
            emit message(QStringLiteral("Could not do it"));
        return m_Result;
    }

private:
    bool m_Result;
};

#endif
