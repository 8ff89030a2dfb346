#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"
#include "rollback.h"

// A thread-pool file operation that creates one destination file: on success
// it records the file for undo, on failure it sends its failure text to the
// details log.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    SlowFileOpSpecification(const QString& failureText, RollbackDataList* rollbackList,
        const QString& source, const QString& destination, QObject* parent, qreal weight);
    SlowFileOpSpecification(const QString& failureText, RollbackDataList* rollbackList,
        const QString& source, const QString& patch, const QString& destination, QObject* parent,
        qreal weight);

    const QString& source() const { return m_Source; }
    const QString& patch() const { return m_Patch; }
    const QString& destination() const { return m_Destination; }

public slots:
    void runDone(bool ok) override;

protected:
    RollbackDataList* m_RollbackList;
    QString m_Source;
    QString m_Patch;
    QString m_Destination;
    QString m_FailureText;
};

#endif
