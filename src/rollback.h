#ifndef ROLLBACK_H
#define ROLLBACK_H

#include <QList>
#include <QString>

class QObject;

enum RollbackOp
{
    FILE_RENAME = 0,
    FILE_CREATE = 1,
    DIR_CREATE = 2
};

// One thing a file task did that a failed replacement undoes: a rename, a
// created file or a created directory. The former content of a replaced file
// is not kept.
class RollbackData
{
public:
    // FILE_RENAME only: path is the present (new) name, oldPath the name to give back.
    RollbackData(int op, const QString& newPath, const QString& oldPath);
    // FILE_CREATE and DIR_CREATE only.
    RollbackData(int op, const QString& path);

    const QString& path() const { return m_Path; }
    const QString& oldPath() const { return m_OldPath; }
    int op() const { return m_Op; }

    // Undoes this record; a failure is reported through receiver's "message"
    // method and returned, never thrown. A created file or directory that is
    // already gone counts as undone.
    bool rollback(QObject* receiver) const;
    static void message(QObject* receiver, const QString& text);

private:
    QString m_Path;
    QString m_OldPath;
    int m_Op;
};

// Undo records, oldest first; undone newest first so that files go before
// the directories that were created for them.
class RollbackDataList
{
public:
    void add(const RollbackData& data);
    void append(const RollbackDataList& other);
    void clear();
    // Undoes every record, newest first, even after a failure; true only when
    // every undo succeeded. Afterwards the list holds the records whose undo
    // failed, oldest first: what is still to undo.
    bool rollback(QObject* receiver);

    int size() const { return m_Records.size(); }
    bool isEmpty() const { return m_Records.isEmpty(); }
    const QList<RollbackData>& records() const { return m_Records; }

private:
    QList<RollbackData> m_Records;
};

#endif
