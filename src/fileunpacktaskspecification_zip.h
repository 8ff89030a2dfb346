#ifndef FILEUNPACKTASKSPECIFICATION_ZIP_H
#define FILEUNPACKTASKSPECIFICATION_ZIP_H

#include "slowfileopspecification.h"

// Restores a gzip-packed file.
class FileUnpackTaskSpecification_zip : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_zip(RollbackDataList* rollbackList, const QString& source,
        const QString& destination, QObject* parent, qreal weight);

public slots:
    ASyncFunc* createFunc() override;
};

#endif
