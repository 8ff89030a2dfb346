#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "taskspecification.h"

class ASyncFunc;

// A task whose work runs as a worker on the global thread pool. A running
// worker is never interrupted: cancel() only sets the flag and the worker's
// result is still taken when it arrives.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject* parent, qreal weight);

public slots:
    void execute() override;
    void reset() override;

    // Returns a new worker holding copies of everything it needs.
    virtual ASyncFunc* createFunc() = 0;
    virtual void connectFunc(ASyncFunc* func);
    virtual void runDone(bool ok);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
    void onMessage(const QString& text);
    void onError(const QString& text);
};

#endif
