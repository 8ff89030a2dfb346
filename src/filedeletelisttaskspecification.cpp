#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(
    const DeleteList* list, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_List(list)
    , m_Config(config)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const qreal weight = m_List->isEmpty() ? 0.0 : 1.0 / m_List->size();
    for (const DeleteEntry& entry : *m_List) {
        // Not failing on error: a path that is already gone, or that cannot
        // be removed, must not stop the update at this late point.
        addSubtask(new FileDeleteTaskSpecification(false,
            m_Config->m_InstallDir + QLatin1Char('/') + entry.path, entry.isDir, this, weight));
    }
    setState(STATE_RUNNING);
    startSubtasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubtasks();
    ComposedTaskSpecification::reset();
}
