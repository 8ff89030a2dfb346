#include "prepostinstalllisttaskspecification.h"

#include "prepostinstalltaskspecification.h"

PrePostInstallListTaskSpecification::PrePostInstallListTaskSpecification(
    const PrePostInstallList* list, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_List(list)
    , m_Config(config)
{
}

void PrePostInstallListTaskSpecification::execute()
{
    if (!m_List->isEmpty())
        emit message(QStringLiteral("Starting install condition"));
    for (const PrePostInstallCommand& command : *m_List)
        addSubtask(new PrePostInstallTaskSpecification(&command, m_Config, this, 0.1));
    setState(STATE_RUNNING);
    startSubtasks();
}

void PrePostInstallListTaskSpecification::reset()
{
    clearSubtasks();
    ComposedTaskSpecification::reset();
}
