#ifndef DOWNLOADTESTHELPERS_H
#define DOWNLOADTESTHELPERS_H

#include "configuration.h"
#include "taskspecification.h"
#include "testhttpserver.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

#include <unistd.h>

// The engine polls the task tree once a second. A poll moves no download;
// it only counts stalls, 16 polls without a kilobyte end an attempt. Rows
// that are not about a stall poll at this pace, so that a network thread
// held back for a while costs them no attempt.
constexpr int kEnginePollMs = 1000;

// Stands in for the engine's poll of the task tree and remembers the last
// figures it got. A row about a stall polls faster, but only while `gate`
// holds (for instance while the server holds a request it will not answer),
// so that no attempt ends before its request has reached the server.
class DownloadPoller : public QObject
{
    Q_OBJECT
public:
    DownloadPoller(
        TaskSpecification* task, int intervalMs = kEnginePollMs, std::function<bool()> gate = {})
        : m_Task(task)
        , m_Gate(std::move(gate))
    {
        connect(&m_Timer, &QTimer::timeout, this, [this] {
            if (!m_Gate || m_Gate())
                poll();
        });
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
    std::function<bool()> m_Gate;
    QTimer m_Timer;
};

// What every download test needs: the shared network access manager, a
// server on loopback that stands for the file server (its basePath is the
// run's base address) and an empty temporary directory.
struct DownloadTestBed
{
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<QTemporaryDir> dir;

    bool setUp(const QString& basePath)
    {
        manager = std::make_unique<QNetworkAccessManager>();
        server = std::make_unique<TestHttpServer>();
        dir = std::make_unique<QTemporaryDir>();
        if (!server->listen() || !dir->isValid())
            return false;
        updateBaseUrl = server->url(basePath);
        return true;
    }

    void tearDown()
    {
        manager.reset();
        server.reset();
        dir.reset();
        // Let replies scheduled for deletion go before the next test.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

inline QStringList messageTexts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

// Runs the task, polled as by the engine (or as `gate` lets a faster poll),
// until it ends.
inline void runUntilEnded(
    TaskSpecification* task, int pollMs = kEnginePollMs, std::function<bool()> gate = {})
{
    DownloadPoller poller(task, pollMs, std::move(gate));
    task->execute();
    QTRY_VERIFY_WITH_TIMEOUT(task->state() != STATE_RUNNING, 30000);
}

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
