#ifndef SLOWFILEOPFUNC_H
#define SLOWFILEOPFUNC_H

#include "asyncfunc.h"

// Worker of a file operation that reads a source (and a patch) and writes
// one destination file.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString& source, const QString& destination);
    SlowFileOpFunc(const QString& source, const QString& patch, const QString& destination);

protected:
    QString m_Source;
    QString m_Patch;
    QString m_Destination;
};

#endif
