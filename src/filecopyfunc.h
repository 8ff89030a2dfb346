#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "slowfileopfunc.h"

// Worker of the copy task.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString& source, const QString& destination);

    bool run() override;

    // Removes an existing destination, then copies; a failed copy leaves no
    // destination behind.
    static bool copyFile(const QString& source, const QString& destination);
};

#endif
