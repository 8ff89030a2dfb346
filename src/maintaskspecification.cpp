#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "prepostinstalllisttaskspecification.h"

MainTaskSpecification::MainTaskSpecification(
    QNetworkAccessManager* manager, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_Manager(manager)
    , m_Config(config)
{
}

MainTaskSpecification::~MainTaskSpecification() = default;

void MainTaskSpecification::execute()
{
    const bool clientUpdate = m_Config->m_ClientUpdate != 0;
    emit message(QLatin1String("Starting update process for ")
        + QLatin1String(clientUpdate ? "client" : "updater"));

    // The phases read their lists only when they run, after the compiler
    // has filled them.
    addSubtask(new IniDownloadTaskSpecification(m_Manager, m_Config, this, 0.1));
    addSubtask(new MakeDownloadReplaceListTaskSpecification(m_Config, &m_Lists, this, 0.05));
    addSubtask(new DownloadFileListTaskSpecification(
        &m_Lists.downloadList, m_Manager, m_Config, this, 0.4));
    addSubtask(
        new PrePostInstallListTaskSpecification(&m_Lists.preInstallList, m_Config, this, 0.1));
    if (m_Config->m_ClientUpdate == 1) {
        addSubtask(new FileReplaceListTaskSpecification(&m_Lists.replaceList, m_Config, this, 0.4));
        addSubtask(new FileDeleteListTaskSpecification(&m_Lists.deleteList, m_Config, this, 0.05));
    } else {
        addSubtask(new UpdateSelfUnzipTaskSpecification(&m_Lists.replaceList, m_Config, this, 0.4));
    }
    addSubtask(
        new PrePostInstallListTaskSpecification(&m_Lists.postInstallList, m_Config, this, 0.1));

    setState(STATE_RUNNING);
    startSubtasks();
}

void MainTaskSpecification::reset()
{
    clearSubtasks();
    m_Lists.clear();
    ComposedTaskSpecification::reset();
}
