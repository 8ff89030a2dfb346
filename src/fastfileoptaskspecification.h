#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "rollback.h"
#include "taskspecification.h"

// A file operation quick enough to run on the GUI thread: execute() does the
// whole work and ends the task before it returns.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    FastFileOpTaskSpecification(
        const QString& path, RollbackDataList* rollbackList, QObject* parent, qreal weight);

    const QString& path() const { return m_Path; }

public slots:
    void execute() override;

protected:
    // Does the operation; a failure is worded through message() before
    // returning false.
    virtual bool doOp() = 0;
    void addRollbackData(const RollbackData& data);

    RollbackDataList* m_RollbackList;
    QString m_Path;
};

#endif
