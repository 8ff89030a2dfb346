#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Creates a directory with its missing parents, top down, recording each
// level it created so that an undo removes them deepest first.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(
        const QString& directory, RollbackDataList* rollbackList, QObject* parent, qreal weight);

    bool createDir(const QString& directory);

protected:
    bool doOp() override;
};

#endif
