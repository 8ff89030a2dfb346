#ifndef DOWNLOADTESTHELPERS_H
#define DOWNLOADTESTHELPERS_H

#include "taskspecification.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <unistd.h>

// Stands in for the engine's once-a-second poll of the task tree, only
// faster, and remembers the last figures it got.
class DownloadPoller : public QObject
{
    Q_OBJECT
public:
    DownloadPoller(TaskSpecification* task, int intervalMs)
        : m_Task(task)
    {
        connect(&m_Timer, &QTimer::timeout, this, &DownloadPoller::poll);
        m_Timer.start(intervalMs);
    }

    void poll()
    {
        if (!m_Task)
            return;
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        m_Task->getDownloadProgress(&done, &total, &speed, &downloading);
        lastDone = done;
        lastTotal = total;
        speedSum += speed;
        ++polls;
    }

    quint64 lastDone = 0;
    quint64 lastTotal = 0;
    quint64 speedSum = 0;
    int polls = 0;

private:
    QPointer<TaskSpecification> m_Task;
    QTimer m_Timer;
};

// Resident set size of this process in bytes.
inline qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QByteArray bodyOf(int size, char seed = 'a')
{
    QByteArray body(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        body[i] = char(seed + (i * 7 + i / 251) % 23);
    return body;
}

#endif
