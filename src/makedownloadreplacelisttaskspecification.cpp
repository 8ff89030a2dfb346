#include "makedownloadreplacelisttaskspecification.h"

#include "makedownloadreplacelistfunc.h"

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* config, DownloadReplaceLists* output, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_Config(config)
    , m_Output(output)
{
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunc()
{
    return new MakeDownloadReplaceListFunc(m_Config, &m_Lists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    if (ok)
        *m_Output = m_Lists;
    ASyncTaskSpecification::runDone(ok);
}
