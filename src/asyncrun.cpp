#include "asyncrun.h"

#include "asyncfunc.h"
#include "threadhandover.h"

ASyncRun::ASyncRun(ASyncFunc* func)
    : m_Func(func)
{
    setAutoDelete(true);
}

ASyncRun::~ASyncRun()
{
    delete m_Func;
}

void ASyncRun::run()
{
    // The task wrote this runnable and the worker's inputs on its own thread.
    handOverAcquire(this);
    // Emitted on the pool thread; the task's connection is queued, so the
    // result reaches the GUI thread after the worker is gone.
    emit m_Func->runResult(m_Func->run());
}
