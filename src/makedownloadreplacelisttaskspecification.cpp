#include "makedownloadreplacelisttaskspecification.h"

#include "makedownloadreplacelistfunc.h"
#include "threadhandover.h"

#include <QThreadPool>

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* config, DownloadReplaceLists* output, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_Config(config)
    , m_Output(output)
{
}

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification()
{
    // Unlike other workers, the compile writes into this task's own lists;
    // they must outlive it even when the tree goes away mid-compile.
    if (state() == STATE_RUNNING) {
        QThreadPool::globalInstance()->waitForDone(-1);
        // The worker's writes to the lists ended before it reported.
        handOverAcquire(this);
    }
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
