#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Renames a file and records the rename, so that an undo gives the file its
// old name back. The replacement phase keeps installed files aside with it.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString& source, const QString& newName,
        RollbackDataList* rollbackList, QObject* parent, qreal weight);

    const QString& source() const { return m_Source; }

protected:
    bool doOp() override;

private:
    QString m_Source;
};

#endif
