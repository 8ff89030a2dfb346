#include "composedtaskspecification.h"

#include <algorithm>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, qreal weight, QObject* parent)
    : TaskSpecification(parent, weight)
    , m_MaxParallel(maxParallel)
    , m_ChildFailureSeen(false)
    , m_OutcomeReported(false)
{
    // Queued, so that a child's end never starts its successor inside the
    // child's own finished() emission.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
        &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubtasks();
}

void ComposedTaskSpecification::addSubtask(TaskSpecification* child)
{
    m_AllTasks.append(child);
    m_PendingTasks.append(child);
    connectSubtask(child);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::connectSubtask(TaskSpecification* child)
{
    connect(
        child, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(
        child, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(child, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(child, &TaskSpecification::updateProgress, this,
        &ComposedTaskSpecification::onUpdateProgress);
    connect(child, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, child,
        &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::startSubtasks()
{
    setState(STATE_RUNNING);
    const int n = std::min(m_PendingTasks.size(), m_MaxParallel);
    if (n <= 0) {
        // Nothing to wait for: end at once, inside the caller's execute().
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!m_PendingTasks.isEmpty() && !m_ChildFailureSeen && !m_Cancel) {
        TaskSpecification* child = m_PendingTasks.takeFirst();
        m_RunningTasks.append(child);
        child->execute();
    } else if (m_RunningTasks.isEmpty() && !m_OutcomeReported) {
        m_OutcomeReported = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* child)
{
    m_RunningTasks.removeOne(child);
    m_EndedTasks.append(child);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* child)
{
    m_RunningTasks.removeOne(child);
    m_EndedTasks.append(child);
    if (!m_ChildFailureSeen) {
        m_ChildFailureSeen = true;
        emit otherTaskCancelled(child);
    }
    if (m_RunningTasks.isEmpty() && !m_OutcomeReported) {
        m_OutcomeReported = true;
        subtasksDone();
    }
}

int ComposedTaskSpecification::getSubtasksState() const
{
    bool anyCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification* child : m_AllTasks) {
        switch (child->state()) {
        case STATE_FAILED:
            return STATE_FAILED;
        case STATE_CANCELED:
            anyCanceled = true;
            allFinished = false;
            break;
        case STATE_FINISHED:
            break;
        default:
            allFinished = false;
            break;
        }
    }
    if (anyCanceled)
        return STATE_CANCELED;
    if (allFinished)
        return STATE_FINISHED;
    if (m_Cancel)
        return STATE_CANCELED;
    if (!m_ChildFailureSeen)
        return STATE_RUNNING;
    return STATE_FAILED;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getSubtasksState()) {
    case STATE_CANCELED:
        setCanceled();
        break;
    case STATE_FINISHED:
        setFinished();
        break;
    default:
        setError();
        break;
    }
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    qreal sum = 0;
    for (const TaskSpecification* child : m_AllTasks)
        sum += child->progress();
    setProgress(sum);
}

void ComposedTaskSpecification::getDownloadProgress(
    quint64* done, quint64* total, quint64* speed, bool* downloading)
{
    *downloading = false;
    for (TaskSpecification* child : m_AllTasks) {
        quint64 childDone = 0, childTotal = 0, childSpeed = 0;
        bool childDownloading = false;
        child->getDownloadProgress(&childDone, &childTotal, &childSpeed, &childDownloading);
        if (childDownloading)
            *downloading = true;
        *speed += childSpeed;
        // A child that does not know its size yet would make the fraction jump.
        if (childTotal != 0) {
            *done += childDone;
            *total += childTotal;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_State != STATE_RUNNING)
        return;
    // Walk a copy: a child's cancel may end it and change the lists.
    const QList<TaskSpecification*> children = m_AllTasks;
    for (TaskSpecification* child : children)
        child->cancel();
}

void ComposedTaskSpecification::abort(TaskSpecification* cause)
{
    emit otherTaskCancelled(cause);
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification* child : m_AllTasks)
        child->reset();
    m_PendingTasks = m_AllTasks;
    m_RunningTasks.clear();
    m_EndedTasks.clear();
    m_ChildFailureSeen = false;
    m_OutcomeReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubtasks()
{
    for (TaskSpecification* child : m_AllTasks) {
        disconnect(child, nullptr, this, nullptr);
        disconnect(this, nullptr, child, nullptr);
        child->deleteLater();
    }
    m_AllTasks.clear();
    m_PendingTasks.clear();
    m_RunningTasks.clear();
    m_EndedTasks.clear();
}
