#ifndef FILEFUNCPATCH_H
#define FILEFUNCPATCH_H

#include "slowfileopfunc.h"

#include <cstdint>

// For a caller that does not know the size of the file a patch makes.
constexpr quint64 kPatchedSizeUnknown = UINT64_MAX;

// Worker of the patch task.
class FileFuncPatch : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileFuncPatch(const QString& source, const QString& patch, const QString& destination,
        quint64 newSize = kPatchedSizeUnknown);

    bool run() override;

private:
    quint64 m_NewSize;
};

// `newSize` is the size of the file the patch must make, as the signed
// product ini states it: a patch that would make another size fails before
// its parts are decoded, and nothing in it is decoded beyond what a file of
// that size needs.
bool patchFile(const QString& source, const QString& patch, const QString& destination,
    quint64 newSize = kPatchedSizeUnknown);
// The patch engine's entry point with its status logged; true for success
// only. Paths are UTF-8.
bool ApplyEnsemblePatch(const char* oldFile, const char* patchFile, const char* newFile,
    quint64 newSize = kPatchedSizeUnknown);

#endif
