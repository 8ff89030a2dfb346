#include "slowfileopspecification.h"

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failureText,
    RollbackDataList* rollbackList, const QString& source, const QString& destination,
    QObject* parent, qreal weight)
    : SlowFileOpSpecification(
        failureText, rollbackList, source, QString(), destination, parent, weight)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failureText,
    RollbackDataList* rollbackList, const QString& source, const QString& patch,
    const QString& destination, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_Source(source)
    , m_Patch(patch)
    , m_Destination(destination)
    , m_FailureText(failureText)
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (ok && m_RollbackList)
        m_RollbackList->add(RollbackData(FILE_CREATE, m_Destination));
    if (!ok)
        emit message(m_FailureText);
    ASyncTaskSpecification::runDone(ok);
}
