#ifndef FILEFUNCPATCH_H
#define FILEFUNCPATCH_H

#include "slowfileopfunc.h"

// Worker of the patch task.
class FileFuncPatch : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileFuncPatch(const QString& source, const QString& patch, const QString& destination);

    bool run() override;
};

bool patchFile(const QString& source, const QString& patch, const QString& destination);
// The patch engine's entry point with its status logged; true for success
// only. Paths are UTF-8.
bool ApplyEnsemblePatch(const char* oldFile, const char* patchFile, const char* newFile);

#endif
