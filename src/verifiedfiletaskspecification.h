#ifndef VERIFIEDFILETASKSPECIFICATION_H
#define VERIFIEDFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"

// Produces a file with one writer task and then checks its SHA-512 against
// the signed ini; a file that fails either step is removed, so that nothing
// unverified is left where it would be run.
class VerifiedFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Takes over the writer (its parent becomes this task), weight 0.8; the
    // check weighs 0.2. A prepare task, when given, is taken over the same
    // way and runs first, with no weight (the copy of a patch's base).
    VerifiedFileTaskSpecification(TaskSpecification* writer, const QString& file,
        const QString& hash, QObject* parent, qreal weight, TaskSpecification* prepare = nullptr);

public slots:
    void execute() override;
    void subtasksDone() override;

private:
    QString m_File;
};

#endif
