#ifndef TESTNGINX_H
#define TESTNGINX_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// nginx as a child process serving a directory the test gives, on a free
// port of 127.0.0.1, with a configuration, pid file, logs and temporary
// directories of its own in a private directory: no system configuration is
// read or touched. It runs as a single process (no master, no workers), so it
// never changes user: as root it serves what root can read, as anyone else
// what that user can read. The destructor stops it.
class TestNginx
{
public:
    TestNginx();
    ~TestNginx();
    TestNginx(const TestNginx&) = delete;
    TestNginx& operator=(const TestNginx&) = delete;

    // Starts serving root. port 0 takes a free port (tried again on another
    // one if someone takes it first); extraServerConfig is inserted into the
    // server block (for example "limit_rate 64k;"). Returns once nginx
    // listens, or false with errorString() set.
    bool start(const QString& root, quint16 port = 0, const QString& extraServerConfig = QString());
    // Stops nginx and waits for it to end. Safe to call when not running.
    void stop();
    bool isRunning() const;

    quint16 port() const { return m_Port; }
    // "http://127.0.0.1:<port>/" followed by path (without a leading "/").
    QString url(const QString& path = QString()) const;
    QString errorString() const { return m_Error; }
    // The served paths in order of arrival, each as "<status> <uri>", read
    // from the access log (nginx writes each line when the answer ends).
    QStringList requests() const;
    // The nginx binary, found on PATH or in the system directories that a
    // user's PATH often lacks; empty when nginx is not installed.
    static QString executable();

private:
    enum class Outcome
    {
        Ready,
        PortTaken,
        Failed
    };
    Outcome startOnce(
        const QString& nginx, const QString& root, quint16 port, const QString& extraServerConfig);
    bool writeConfig(const QString& root, quint16 port, const QString& extraServerConfig);
    QString errorLog() const;

    std::unique_ptr<QTemporaryDir> m_Dir;
    std::unique_ptr<QProcess> m_Process;
    quint16 m_Port = 0;
    QString m_Error;
};

#endif
