#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(
    const QString& path, RollbackDataList* rollbackList, QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_Path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    setState(STATE_RUNNING);
    if (doOp())
        setFinished();
    else
        setError();
}

void FastFileOpTaskSpecification::addRollbackData(const RollbackData& data)
{
    if (m_RollbackList)
        m_RollbackList->add(data);
}
