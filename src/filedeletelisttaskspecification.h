#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deleteentry.h"

class Configuration;

// Stage two's deletion phase: removes the listed installation paths one
// after another. A path that cannot be removed or does not exist fails
// nothing; what is deleted is not restored if a later phase fails. The list
// is written into the installation first, so that the next run completes
// the deletions of a run that was killed among them.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(
        const DeleteList* list, Configuration* config, QObject* parent, qreal weight);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();

private:
    const DeleteList* m_List;
    Configuration* m_Config;
};

#endif
