#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

// States of a task. The numbers matter: composed tasks aggregate them and the
// engine tests an ended root task for STATE_CANCELED.
enum TaskState
{
    STATE_IDLE = 0,
    STATE_RUNNING = 1,
    STATE_FINISHED = 2,
    STATE_FAILED = 3,
    STATE_CANCELED = 4
};

// One step of an update run. A task is started once with execute() and ends
// through exactly one of setFinished(), setError() or setCanceled(). It talks
// to its parent only through signals: weighted progress, details-log lines,
// error texts and its end.
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    TaskSpecification(QObject* parent, qreal weight);

    qreal weight() const { return m_Weight; }
    qreal progress() const { return m_Progress; }
    int state() const { return m_State; }
    bool isCanceled() const { return m_Cancel; }

    void setWeight(qreal weight);

public slots:
    virtual void execute() = 0;
    virtual void reset();
    // Adds nothing by default; download and composed tasks report their
    // transfer statistics. The engine's once-a-second poll also drives the
    // downloads' stall time-out through this call.
    virtual void getDownloadProgress(
        quint64* done, quint64* total, quint64* speed, bool* downloading);
    virtual void cancel();
    // Called when a sibling failed or was canceled; nothing by default.
    virtual void abort(TaskSpecification* cause);

signals:
    void finished(TaskSpecification* task);
    // Emitted for a failure and for a cancel alike; state() tells which.
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    // Carries the weighted progress (weight x fraction).
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification* cause);

protected slots:
    void onOtherTaskCancelled(TaskSpecification* cause);

protected:
    void setProgress(qreal frac);
    void setFinished();
    void setError();
    void setCanceled();
    void setState(TaskState state) { m_State = state; }

    bool m_Cancel;
    qreal m_Weight;
    qreal m_Progress;
    int m_State;
};

#endif
