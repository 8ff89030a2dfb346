#include "filedeletetaskspecification.h"

#include "deletejournal.h"

#include <QDebug>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(
    bool failOnError, const QString& path, bool recursive, QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , m_FailOnError(failOnError)
    , m_Recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    QString done;
    const bool ok = DeleteJournal::deletePath(m_Path, m_Recursive, &done);
    qDebug() << done << ok;
    if (ok)
        emit message(done);
    if (m_FailOnError && !ok) {
        emit message(QStringLiteral("Could not delete '%1'").arg(m_Path));
        return false;
    }
    return true;
}
