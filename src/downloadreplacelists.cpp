#include "downloadreplacelists.h"

void DownloadReplaceLists::clear()
{
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
    preInstallList.clear();
    postInstallList.clear();
}
