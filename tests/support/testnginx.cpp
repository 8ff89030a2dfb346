#include "testnginx.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

#include <csignal>

#include <sys/prctl.h>

namespace {

// nginx binds its port again five times, half a second apart, before it gives
// up; a start takes well under this even on a loaded machine.
constexpr int kStartTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 10000;
constexpr int kPortAttempts = 8;

// A test that crashes or is killed must not leave nginx holding its port:
// the child gets SIGTERM when the test process ends.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// Paths go into the configuration between double quotes; these characters
// would end the string or be read as a variable.
bool quotable(const QString& path)
{
    for (const QChar c : path) {
        if (c == '"' || c == '\\' || c == '$' || c.unicode() < 0x20)
            return false;
    }
    return true;
}

} // namespace

TestNginx::TestNginx() = default;

TestNginx::~TestNginx()
{
    stop();
}

QString TestNginx::executable()
{
    QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (found.isEmpty()) {
        found = QStandardPaths::findExecutable(QStringLiteral("nginx"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"),
                QStringLiteral("/sbin")});
    }
    return found;
}

bool TestNginx::start(const QString& root, quint16 port, const QString& extraServerConfig)
{
    stop();
    m_Error.clear();
    const QString nginx = executable();
    if (nginx.isEmpty()) {
        m_Error = QStringLiteral("nginx is not installed (scripts/setup-deps.sh installs it)");
        return false;
    }
    const QFileInfo rootInfo(root);
    if (!rootInfo.isDir()) {
        m_Error = QStringLiteral("the directory to serve does not exist: %1").arg(root);
        return false;
    }
    if (!quotable(rootInfo.absoluteFilePath())) {
        m_Error = QStringLiteral("the directory to serve has a name nginx cannot be given: %1")
                      .arg(root);
        return false;
    }
    const int attempts = port == 0 ? kPortAttempts : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const quint16 tryPort = port == 0 ? freePort() : port;
        if (tryPort == 0) {
            m_Error = QStringLiteral("no free port on 127.0.0.1");
            return false;
        }
        switch (startOnce(nginx, rootInfo.absoluteFilePath(), tryPort, extraServerConfig)) {
        case Outcome::Ready:
            return true;
        case Outcome::Failed:
            return false;
        case Outcome::PortTaken:
            break;
        }
    }
    return false;
}

TestNginx::Outcome TestNginx::startOnce(
    const QString& nginx, const QString& root, quint16 port, const QString& extraServerConfig)
{
    m_Dir = std::make_unique<QTemporaryDir>(
        QDir::tempPath() + QStringLiteral("/kv_test_nginx_XXXXXX"));
    if (!m_Dir->isValid() || !quotable(m_Dir->path())) {
        m_Error = QStringLiteral("cannot create a directory for nginx's files under %1")
                      .arg(QDir::tempPath());
        return Outcome::Failed;
    }
    if (!writeConfig(root, port, extraServerConfig))
        return Outcome::Failed;

    const QString dir = m_Dir->path();
    m_Process = std::make_unique<ChildProcess>();
    m_Process->setProcessChannelMode(QProcess::MergedChannels);
    m_Process->setStandardOutputFile(dir + QStringLiteral("/output.log"));
    m_Process->start(nginx,
        {QStringLiteral("-p"), dir + '/', QStringLiteral("-c"), dir + QStringLiteral("/nginx.conf"),
            QStringLiteral("-e"), dir + QStringLiteral("/error.log")});
    if (!m_Process->waitForStarted(kStartTimeoutMs)) {
        m_Error = QStringLiteral("cannot start %1: %2").arg(nginx, m_Process->errorString());
        m_Process.reset();
        return Outcome::Failed;
    }

    // nginx writes its pid file only after it has opened its listening
    // socket, so the file holding our child's pid means it serves this port
    // (a connect alone could reach whoever took the port first).
    const QByteArray expected = QByteArray::number(m_Process->processId());
    QFile pidFile(dir + QStringLiteral("/nginx.pid"));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kStartTimeoutMs) {
        if (pidFile.open(QIODevice::ReadOnly)) {
            const QByteArray pid = pidFile.readAll().trimmed();
            pidFile.close();
            if (pid == expected) {
                m_Port = port;
                return Outcome::Ready;
            }
        }
        if (m_Process->waitForFinished(20))
            break;
    }
    const QString log = errorLog();
    stop();
    m_Error
        = QStringLiteral("nginx did not start on 127.0.0.1:%1: %2").arg(port).arg(log.trimmed());
    return log.contains(QLatin1String("Address already in use")) ? Outcome::PortTaken
                                                                 : Outcome::Failed;
}

bool TestNginx::writeConfig(const QString& root, quint16 port, const QString& extraServerConfig)
{
    const QString dir = m_Dir->path();
    QFile conf(dir + QStringLiteral("/nginx.conf"));
    if (!conf.open(QIODevice::WriteOnly)) {
        m_Error = QStringLiteral("cannot write %1: %2").arg(conf.fileName(), conf.errorString());
        return false;
    }
    // Every path nginx would otherwise take from its build-time defaults
    // (pid, logs, temporary files) is set inside our own directory.
    const QString text = QStringLiteral("daemon off;\n"
                                        "master_process off;\n"
                                        "pid \"%1/nginx.pid\";\n"
                                        "error_log \"%1/error.log\" warn;\n"
                                        "events { worker_connections 256; }\n"
                                        "http {\n"
                                        "  log_format kv_test '$status $request_uri';\n"
                                        "  access_log \"%1/access.log\" kv_test;\n"
                                        "  client_body_temp_path \"%1/body\";\n"
                                        "  proxy_temp_path \"%1/proxy\";\n"
                                        "  fastcgi_temp_path \"%1/fastcgi\";\n"
                                        "  uwsgi_temp_path \"%1/uwsgi\";\n"
                                        "  scgi_temp_path \"%1/scgi\";\n"
                                        "  default_type application/octet-stream;\n"
                                        "  sendfile on;\n"
                                        "  server {\n"
                                        "    listen 127.0.0.1:%2;\n"
                                        "    root \"%3\";\n"
                                        "    %4\n"
                                        "  }\n"
                                        "}\n")
                             .arg(dir)
                             .arg(port)
                             .arg(root, extraServerConfig);
    if (conf.write(text.toUtf8()) < 0 || !conf.flush()) {
        m_Error = QStringLiteral("cannot write %1: %2").arg(conf.fileName(), conf.errorString());
        return false;
    }
    return true;
}

QString TestNginx::errorLog() const
{
    if (!m_Dir)
        return QString();
    QString text;
    for (const char* name : {"/error.log", "/output.log"}) {
        QFile file(m_Dir->path() + QLatin1String(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

void TestNginx::stop()
{
    if (m_Process) {
        if (m_Process->state() != QProcess::NotRunning) {
            // SIGTERM: a fast shutdown that closes the open connections.
            m_Process->terminate();
            if (!m_Process->waitForFinished(kStopTimeoutMs)) {
                m_Process->kill();
                m_Process->waitForFinished(-1);
            }
        }
        m_Process.reset();
    }
    m_Port = 0;
}

bool TestNginx::isRunning() const
{
    return m_Process && m_Process->state() == QProcess::Running;
}

QString TestNginx::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_Port).arg(path);
}

QStringList TestNginx::requests() const
{
    QStringList lines;
    if (!m_Dir)
        return lines;
    QFile log(m_Dir->path() + QStringLiteral("/access.log"));
    if (log.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : log.readAll().split('\n')) {
            if (!line.isEmpty())
                lines << QString::fromUtf8(line);
        }
    }
    return lines;
}
