#ifndef FILEUNPACKFUNC_ZIP_H
#define FILEUNPACKFUNC_ZIP_H

#include "slowfileopfunc.h"

// Worker of the gzip unpack; a failure leaves no destination file.
class FileUnpackFunc_Zip : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnpackFunc_Zip(const QString& source, const QString& destination);

    bool run() override;
};

// Streams the gzip file through one fixed buffer into the destination.
bool unzipFile(const QString& destination, const QString& source);

#endif
