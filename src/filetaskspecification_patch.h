#ifndef FILETASKSPECIFICATION_PATCH_H
#define FILETASKSPECIFICATION_PATCH_H

#include "filefuncpatch.h"
#include "slowfileopspecification.h"

// Applies an ensemble patch to an old file and writes the new file, of
// `newSize` bytes when the caller knows it (see patchFile).
class FileTaskSpecification_patch : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileTaskSpecification_patch(RollbackDataList* rollbackList, const QString& source,
        const QString& patch, const QString& destination, QObject* parent, qreal weight,
        quint64 newSize = kPatchedSizeUnknown);

public slots:
    ASyncFunc* createFunc() override;

private:
    quint64 m_NewSize;
};

#endif
