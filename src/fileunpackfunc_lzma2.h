#ifndef FILEUNPACKFUNC_LZMA2_H
#define FILEUNPACKFUNC_LZMA2_H

#include "slowfileopfunc.h"

// Worker of the container unpack.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnpackFunc_lzma2(const QString& source, const QString& destination);

    bool run() override;
};

// The container reader writes the destination only once the restored bytes
// passed its checks, so a failure leaves an existing destination as it was.
bool unpackFile(const QString& source, const QString& destination);

#endif
