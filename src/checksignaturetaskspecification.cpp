#include "checksignaturetaskspecification.h"

#include "checksigfunc.h"

#include <QDebug>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString& file,
    const QString& hash, bool failTaskOnMismatch, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_File(file)
    , m_Hash(hash)
    , m_FailTaskOnMismatch(failTaskOnMismatch)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(m_File, m_Hash);
}

void CheckSignatureTaskSpecification::runDone(bool pass)
{
    if (state() != STATE_RUNNING)
        return;
    if (!pass) {
        qDebug() << "Signature check failed for" << m_File;
        emit message(QStringLiteral("Signature check failed for %1").arg(m_File));
    }
    emit checkDone(pass, this);
    ASyncTaskSpecification::runDone(pass || !m_FailTaskOnMismatch);
}
