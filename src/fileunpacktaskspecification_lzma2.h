#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopspecification.h"

#include <cstdint>

// Restores a file from the patch engine's compressed-file container. A
// container that is not checked yet gets a `restoredLimit`: more restored
// bytes than that fail the unpack before they are built; with `plainOnly`
// so does a container in any form but the plain one.
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList, const QString& source,
        const QString& destination, QObject* parent, qreal weight,
        uint32_t restoredLimit = UINT32_MAX, bool plainOnly = false);

    // The limit for a file whose installed size the signed ini states.
    static uint32_t limitFor(quint64 installedSize);

public slots:
    ASyncFunc* createFunc() override;

private:
    uint32_t m_RestoredLimit;
    bool m_PlainOnly;
};

#endif
