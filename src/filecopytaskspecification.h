#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

// Copies a file on the thread pool, replacing an existing destination.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& source,
        const QString& destination, QObject* parent, qreal weight);

public slots:
    ASyncFunc* createFunc() override;
};

#endif
