#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"
#include "threadhandover.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
{
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc* func = createFunc();
    connectFunc(func);
    ASyncRun* runnable = new ASyncRun(func);
    // The runnable and the worker's inputs, written here, are read on the
    // pool thread.
    handOverRelease(runnable);
    QThreadPool::globalInstance()->start(runnable, 0);
    setState(STATE_RUNNING);
}

void ASyncTaskSpecification::connectFunc(ASyncFunc* func)
{
    // Each signal of the worker hands what it wrote on the pool thread to
    // this thread: marked as it is emitted (connected first, so before the
    // queued call is posted) and as its queued call arrives here.
    const auto handOver = [this] { handOverRelease(this); };
    connect(func, &ASyncFunc::runResult, func, handOver, Qt::DirectConnection);
    connect(func, &ASyncFunc::message, func, handOver, Qt::DirectConnection);
    connect(func, &ASyncFunc::error, func, handOver, Qt::DirectConnection);
    connect(func, &ASyncFunc::progress, func, handOver, Qt::DirectConnection);
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::message, this, &ASyncTaskSpecification::onMessage, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &ASyncTaskSpecification::onError, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    handOverAcquire(this);
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    handOverAcquire(this);
    setProgress(progress);
}

void ASyncTaskSpecification::onMessage(const QString& text)
{
    handOverAcquire(this);
    emit message(text);
}

void ASyncTaskSpecification::onError(const QString& text)
{
    handOverAcquire(this);
    emit error(text);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (m_State != STATE_RUNNING)
        return;
    if (ok)
        setFinished();
    else
        setError();
}

void ASyncTaskSpecification::reset()
{
    // A worker may still hold copies of this task's inputs; let every worker
    // of the pool end before the task starts over.
    QThreadPool::globalInstance()->waitForDone(-1);
    TaskSpecification::reset();
}
