#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes a file, an empty directory (with its parents that become empty) or
// a whole directory tree. Deletions are not undone.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(
        bool failOnError, const QString& path, bool recursive, QObject* parent, qreal weight);

protected:
    bool doOp() override;

private:
    bool m_FailOnError;
    bool m_Recursive;
};

#endif
