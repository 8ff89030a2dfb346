#ifndef FILEUNPACKFUNC_LZMA2_H
#define FILEUNPACKFUNC_LZMA2_H

#include "slowfileopfunc.h"

#include <cstdint>

// Worker of the container unpack.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnpackFunc_lzma2(const QString& source, const QString& destination,
        uint32_t restoredLimit = UINT32_MAX, bool plainOnly = false);

    bool run() override;

private:
    uint32_t m_RestoredLimit;
    bool m_PlainOnly;
};

// The container reader writes the destination only once the restored bytes
// passed its checks, so a failure leaves an existing destination as it was.
// A container that would restore to more than `restoredLimit` bytes fails
// before that much is built. With `plainOnly` a container in any form but
// the plain one fails before it is decoded.
bool unpackFile(const QString& source, const QString& destination,
    uint32_t restoredLimit = UINT32_MAX, bool plainOnly = false);

#endif
