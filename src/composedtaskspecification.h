#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QList>

// A task made of child tasks. Children start in the order they were added, at
// most maxParallel at a time, always from the event loop (never inside a
// sibling's own signal). The first failure or cancel of a child stops further
// starts and tells the running siblings to abort; the task ends once no child
// runs, failed if any child failed, else canceled if any was canceled, else
// finished.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ComposedTaskSpecification(int maxParallel, qreal weight, QObject* parent);
    ~ComposedTaskSpecification() override;

    void addSubtask(TaskSpecification* child);
    int getSubtasksState() const;
    const QList<TaskSpecification*>& subtasks() const { return m_AllTasks; }
    int maxParallel() const { return m_MaxParallel; }

public slots:
    void reset() override;
    void getDownloadProgress(
        quint64* done, quint64* total, quint64* speed, bool* downloading) override;
    void cancel() override;
    void abort(TaskSpecification* cause) override;

    virtual void subtasksDone();
    virtual void connectSubtask(TaskSpecification* child);

signals:
    void startNextTask();

protected:
    void startSubtasks();
    // Disconnects every child from this task, schedules it for deletion and
    // empties the lists. Subclasses call it from their reset().
    void clearSubtasks();

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* child);
    void onSubTaskCanceled(TaskSpecification* child);

private:
    QList<TaskSpecification*> m_AllTasks;
    QList<TaskSpecification*> m_PendingTasks;
    QList<TaskSpecification*> m_RunningTasks;
    QList<TaskSpecification*> m_EndedTasks;
    int m_MaxParallel;
    bool m_ChildFailureSeen;
    bool m_OutcomeReported;
};

#endif
