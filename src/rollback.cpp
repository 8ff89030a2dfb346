#include "rollback.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

RollbackData::RollbackData(int op, const QString& newPath, const QString& oldPath)
    : m_Path(newPath)
    , m_OldPath(oldPath)
    , m_Op(op)
{
    if (op != FILE_RENAME)
        qFatal("op==FILE_RENAME");
}

RollbackData::RollbackData(int op, const QString& path)
    : m_Path(path)
    , m_Op(op)
{
    if (op == FILE_RENAME)
        qFatal("op!=FILE_RENAME");
}

void RollbackData::message(QObject* receiver, const QString& text)
{
    if (!receiver)
        return;
    if (!QMetaObject::invokeMethod(receiver, "message", Qt::AutoConnection, Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}

bool RollbackData::rollback(QObject* receiver) const
{
    // What this record made is gone already: nothing is left to undo.
    // Reported as a failure, it would keep a journal whose next repair
    // removes whatever stands at the path by then.
    if (m_Op != FILE_RENAME && !QFileInfo::exists(m_Path) && !QFileInfo(m_Path).isSymLink())
        return true;
    switch (m_Op) {
    case DIR_CREATE: {
        const QFileInfo info(m_Path);
        // A plain removal: a directory that still holds files stays.
        if (info.dir().rmdir(info.fileName()))
            return true;
        message(receiver, QStringLiteral("warning: rollback create dir %1 failed").arg(m_Path));
        return false;
    }
    case FILE_CREATE:
        if (QFile::remove(m_Path))
            return true;
        message(receiver, QStringLiteral("warning: rollback create file %1 failed").arg(m_Path));
        return false;
    case FILE_RENAME:
        if (QFile::rename(m_Path, m_OldPath))
            return true;
        message(receiver,
            QStringLiteral("warning: rollback rename %1 to %2 failed").arg(m_OldPath, m_Path));
        return false;
    default:
        qFatal("Should not reach here");
    }
    return false;
}

void RollbackDataList::add(const RollbackData& data)
{
    m_Records.append(data);
}

void RollbackDataList::append(const RollbackDataList& other)
{
    m_Records.append(other.m_Records);
}

void RollbackDataList::clear()
{
    m_Records.clear();
}

bool RollbackDataList::rollback(QObject* receiver)
{
    QList<RollbackData> left;
    while (!m_Records.isEmpty()) {
        const RollbackData record = m_Records.takeLast();
        if (!record.rollback(receiver))
            left.prepend(record);
    }
    m_Records = left;
    return m_Records.isEmpty();
}
