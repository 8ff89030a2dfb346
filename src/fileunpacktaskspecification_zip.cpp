#include "fileunpacktaskspecification_zip.h"

#include "fileunpackfunc_zip.h"

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList* rollbackList,
    const QString& source, const QString& destination, QObject* parent, qreal weight)
    : SlowFileOpSpecification(
        QStringLiteral("Could not unzip '%1' to '%2'").arg(source, destination), rollbackList,
        source, destination, parent, weight)
{
}

ASyncFunc* FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(m_Source, m_Destination);
}
