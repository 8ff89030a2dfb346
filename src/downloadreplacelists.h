#ifndef DOWNLOADREPLACELISTS_H
#define DOWNLOADREPLACELISTS_H

#include "deleteentry.h"
#include "downloadentry.h"
#include "prepostinstallcommand.h"
#include "replaceentry.h"

// The five work lists compiled from the product ini. The root task owns one
// and hands each phase a pointer to its list.
class DownloadReplaceLists
{
public:
    void clear();

    DownloadList downloadList;
    ReplaceList replaceList;
    DeleteList deleteList;
    PrePostInstallList preInstallList;
    PrePostInstallList postInstallList;
};

#endif
