#ifndef FILETASKSPECIFICATION_PATCH_H
#define FILETASKSPECIFICATION_PATCH_H

#include "slowfileopspecification.h"

// Applies an ensemble patch to an old file and writes the new file.
class FileTaskSpecification_patch : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileTaskSpecification_patch(RollbackDataList* rollbackList, const QString& source,
        const QString& patch, const QString& destination, QObject* parent, qreal weight);

public slots:
    ASyncFunc* createFunc() override;
};

#endif
