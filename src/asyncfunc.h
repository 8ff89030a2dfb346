#ifndef ASYNCFUNC_H
#define ASYNCFUNC_H

#include <QObject>
#include <QString>

// Work of a thread-pool task. A worker holds copies of everything it needs,
// runs once on a pool thread and reports only through its signals, which the
// task receives queued on the GUI thread.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc();

    // Runs on a pool thread; true means success.
    virtual bool run() = 0;
    // Runs the work on the calling thread and emits runResult there.
    void runHere();

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    void progress(qreal progress);
};

#endif
