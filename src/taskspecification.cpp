#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, qreal weight)
    : QObject(parent)
    , m_Cancel(false)
    , m_Weight(weight)
    , m_Progress(0)
    , m_State(STATE_IDLE)
{
}

void TaskSpecification::setWeight(qreal weight)
{
    m_Weight = weight;
}

void TaskSpecification::reset()
{
    m_Cancel = false;
    m_State = STATE_IDLE;
    m_Progress = 0;
    emit updateProgress(m_Progress);
}

void TaskSpecification::getDownloadProgress(
    quint64* done, quint64* total, quint64* speed, bool* downloading)
{
    *done = 0;
    *total = 0;
    *speed = 0;
    *downloading = false;
}

void TaskSpecification::cancel()
{
    m_Cancel = true;
}

void TaskSpecification::abort(TaskSpecification*) { }

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* cause)
{
    if (cause != this && m_State == STATE_RUNNING)
        abort(cause);
}

void TaskSpecification::setProgress(qreal frac)
{
    m_Progress = m_Weight * frac;
    emit updateProgress(m_Progress);
}

void TaskSpecification::setFinished()
{
    m_State = STATE_FINISHED;
    m_Progress = m_Weight;
    emit updateProgress(m_Progress);
    emit finished(this);
}

void TaskSpecification::setError()
{
    m_State = STATE_FAILED;
    emit canceled(this);
}

void TaskSpecification::setCanceled()
{
    m_State = STATE_CANCELED;
    emit canceled(this);
}
