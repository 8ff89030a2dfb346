#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;

// Compiles the product ini of the running stage into the five work lists on
// the thread pool. The output lists receive the result only when the compile
// succeeds; on failure they are left as they were.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    MakeDownloadReplaceListTaskSpecification(
        Configuration* config, DownloadReplaceLists* output, QObject* parent, qreal weight);
    ~MakeDownloadReplaceListTaskSpecification() override;

public slots:
    ASyncFunc* createFunc() override;
    void runDone(bool ok) override;

private:
    Configuration* m_Config;
    DownloadReplaceLists* m_Output;
    // Filled by the worker; read only after its queued result has arrived.
    DownloadReplaceLists m_Lists;
};

#endif
