#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "deletejournal.h"
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
    // The next run completes what a killed one left undone. Without the
    // journal the deletions are still made: the new release is in place
    // already, and failing here would report a failure over it.
    if (!m_List->isEmpty() && !DeleteJournal::write(m_Config->m_InstallDir, *m_List)) {
        emit message(QStringLiteral("warning: could not write %1")
                         .arg(DeleteJournal::journalPath(m_Config->m_InstallDir)));
    }
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

void FileDeleteListTaskSpecification::subtasksDone()
{
    // After a cancel the journal stays: the next run completes the rest.
    if (getSubtasksState() == STATE_FINISHED)
        DeleteJournal::remove(m_Config->m_InstallDir);
    ComposedTaskSpecification::subtasksDone();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubtasks();
    ComposedTaskSpecification::reset();
}
