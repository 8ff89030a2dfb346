#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopspecification.h"

// Restores a file from the patch engine's compressed-file container.
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList, const QString& source,
        const QString& destination, QObject* parent, qreal weight);

public slots:
    ASyncFunc* createFunc() override;
};

#endif
