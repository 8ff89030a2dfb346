#include "verifiedfiletaskspecification.h"

#include "checksignaturetaskspecification.h"

#include <QFile>

VerifiedFileTaskSpecification::VerifiedFileTaskSpecification(TaskSpecification* writer,
    const QString& file, const QString& hash, QObject* parent, qreal weight,
    TaskSpecification* prepare)
    : ComposedTaskSpecification(1, weight, parent)
    , m_File(file)
{
    if (prepare) {
        prepare->setParent(this);
        prepare->setWeight(0.0);
        addSubtask(prepare);
    }
    writer->setParent(this);
    writer->setWeight(0.8);
    addSubtask(writer);
    addSubtask(new CheckSignatureTaskSpecification(file, hash, true, this, 0.2));
}

void VerifiedFileTaskSpecification::execute()
{
    setState(STATE_RUNNING);
    startSubtasks();
}

void VerifiedFileTaskSpecification::subtasksDone()
{
    if (getSubtasksState() != STATE_FINISHED)
        QFile::remove(m_File);
    ComposedTaskSpecification::subtasksDone();
}
