// Downloads 200 files of mixed sizes (about 200 MB) from nginx on loopback
// with the download task tree (6 streams, each file's SHA-512 checked) and
// prints the time as a ratio to curl fetching the same files 6 at a time
// followed by sha512sum over them, measured in the same run. Then fetches a
// 1 GiB file through the same tree in a child process and prints how far its
// resident set grew, next to curl's peak.
//
//   bench_download [rounds]
#include "configuration.h"
#include "downloadentry.h"
#include "downloadfilelisttaskspecification.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include <unistd.h>

namespace {

constexpr int kVersion = 4242;
constexpr int kStreams = 6;
constexpr int kFiles = 200;
constexpr qint64 kOneGiB = 1LL << 30;
const char* const kSection = "client";

// The updater writes diagnostics only into its optional log file; printing
// them would time the terminal.
void dropDiagnostics(QtMsgType, const QMessageLogContext&, const QString&) { }

QByteArray pseudoRandom(quint64 seed, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint64 state = seed * 0x9E3779B97F4A7C15ULL + 1;
    int i = 0;
    for (; i + 8 <= size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        memcpy(data.data() + i, &state, 8);
    }
    for (; i < size; ++i)
        data[i] = char(i);
    return data;
}

// Mostly small files, some of a few hundred KiB and a few of several MiB,
// as in a release.
int sizeOfFile(int i)
{
    const quint64 r = (quint64(i) * 2654435761ULL) % 1000;
    if (i % 10 == 0)
        return int(6 * 1024 * 1024 + r * 4096);
    if (i % 10 < 4)
        return int(256 * 1024 + r * 768);
    return int(1024 + r * 63);
}

qint64 residentKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(strlen(field))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitForPort(quint16 port)
{
    for (int i = 0; i < 200; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(100))
            return true;
        QThread::msleep(25);
    }
    return false;
}

// Runs the download list over the entries into dir; true when it finished.
bool downloadWithTasks(const QList<DownloadEntry>& entries, const QString& dir)
{
    QNetworkAccessManager manager;
    Configuration config;
    config.m_Version = kVersion;
    config.m_TempDir = dir;
    config.m_Streams = kStreams;
    DownloadFileListTaskSpecification task(&entries, &manager, &config, nullptr, 0.4);
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    // The engine's poll, which also drives the stall time-out.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&task] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.getDownloadProgress(&done, &total, &speed, &downloading);
    });
    poll.start(1000);
    task.execute();
    if (task.state() == STATE_RUNNING)
        loop.exec();
    return task.state() == STATE_FINISHED;
}

bool run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, args);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// Fetches with curl, then hashes with sha512sum; *fetchNs gets curl's part.
bool downloadWithCurl(const QString& listFile, const QStringList& files, qint64* fetchNs)
{
    QElapsedTimer timer;
    timer.start();
    if (!run(QStringLiteral("curl"),
            {"--parallel", "--parallel-max", QString::number(kStreams), "-s", "-S",
                "--no-progress-meter", "--fail", "-K", listFile}))
        return false;
    *fetchNs = timer.nsecsElapsed();
    return run(QStringLiteral("sha512sum"), files);
}

bool clearDir(const QString& path)
{
    QDir dir(path);
    return dir.removeRecursively() && QDir().mkpath(path);
}

// Child mode: one 1 GiB file through the task tree; prints the resident set
// before (after a small warm-up download) and its peak.
int oneGiBChild(const QStringList& args)
{
    updateBaseUrl = args.value(2);
    QList<DownloadEntry> warmUp {
        {kSection, args.value(3), args.value(4), args.value(5).toULongLong()}};
    QList<DownloadEntry> big {{kSection, "big.bin", args.value(6), quint64(kOneGiB)}};
    const QString dir = args.value(7);
    if (!downloadWithTasks(warmUp, dir))
        return 1;
    const qint64 baseline = residentKiB("VmRSS:");
    if (!downloadWithTasks(big, dir) || QFileInfo(dir + "/big.bin").size() != kOneGiB)
        return 1;
    std::printf("%lld %lld\n", baseline, residentKiB("VmHWM:"));
    return 0;
}

class Nginx
{
public:
    bool start(const QString& prefix, const QString& root, quint16 port)
    {
        QDir().mkpath(prefix + "/logs");
        QFile conf(prefix + "/nginx.conf");
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        conf.write(QStringLiteral("daemon off;\n"
                                  "worker_processes 2;\n"
                                  "pid %1/nginx.pid;\n"
                                  "error_log %1/logs/error.log;\n"
                                  "events { worker_connections 256; }\n"
                                  "http {\n"
                                  "  access_log off;\n"
                                  "  default_type application/octet-stream;\n"
                                  "  sendfile on;\n"
                                  "  tcp_nopush on;\n"
                                  "  keepalive_requests 100000;\n"
                                  "  server {\n"
                                  "    listen 127.0.0.1:%2;\n"
                                  "    root %3;\n"
                                  "  }\n"
                                  "}\n")
                       .arg(prefix)
                       .arg(port)
                       .arg(root)
                       .toUtf8());
        conf.close();
        m_Process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_Process.start(QStringLiteral("nginx"),
            {"-p", prefix + "/", "-c", prefix + "/nginx.conf", "-e", prefix + "/logs/error.log"});
        return m_Process.waitForStarted() && waitForPort(port);
    }

    ~Nginx()
    {
        if (m_Process.state() == QProcess::NotRunning)
            return;
        // SIGTERM: nginx stops its workers and exits.
        m_Process.terminate();
        if (!m_Process.waitForFinished(10000))
            m_Process.kill();
        m_Process.waitForFinished();
    }

private:
    QProcess m_Process;
};

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(dropDiagnostics);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--one-gib"))
        return oneGiBChild(args);
    const int rounds = std::max(1, args.value(1, "3").toInt());

    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    // nginx's workers may run as another user: everything it serves must be
    // readable by all.
    QFile::setPermissions(
        work.path(), QFile::permissions(work.path()) | QFile::ReadOther | QFile::ExeOther);
    const QString root = work.path() + "/www";
    const QString served = QStringLiteral("%1/%2/%3").arg(root).arg(kVersion).arg(kSection);
    const QString ours = work.path() + "/tasks";
    const QString theirs = work.path() + "/curl";
    QDir().mkpath(served);
    QDir().mkpath(ours);
    QDir().mkpath(theirs);

    const quint16 port = freePort();
    updateBaseUrl = QStringLiteral("http://127.0.0.1:%1/").arg(port);

    QList<DownloadEntry> entries;
    QStringList curlFiles;
    QByteArray curlList;
    qint64 totalBytes = 0;
    for (int i = 0; i < kFiles; ++i) {
        const QString key = QStringLiteral("file%1.bin").arg(i, 3, 10, QLatin1Char('0'));
        const QByteArray body = pseudoRandom(quint64(i) + 1, sizeOfFile(i));
        QFile file(served + "/" + key);
        if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
        entries.append({kSection, key,
            QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Sha512).toHex()),
            quint64(body.size())});
        totalBytes += body.size();
        curlFiles << theirs + "/" + key;
        curlList += QStringLiteral("url = \"%1%2/%3/%4\"\noutput = \"%5\"\n")
                        .arg(updateBaseUrl)
                        .arg(kVersion)
                        .arg(kSection, key, curlFiles.last())
                        .toUtf8();
    }
    const QString listFile = work.path() + "/curl.cfg";
    {
        QFile list(listFile);
        if (!list.open(QIODevice::WriteOnly) || list.write(curlList) != curlList.size())
            return 1;
    }
    // A sparse 1 GiB file of zeros costs no disk to serve.
    {
        QFile big(served + "/big.bin");
        if (!big.open(QIODevice::WriteOnly) || !big.resize(kOneGiB))
            return 1;
    }

    Nginx nginx;
    if (!nginx.start(work.path() + "/nginx", root, port)) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }

    qint64 bestOurs = -1, bestTheirs = -1, bestCurl = -1;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        if (!clearDir(ours))
            return 1;
        timer.start();
        if (!downloadWithTasks(entries, ours)) {
            std::fprintf(stderr, "task download failed\n");
            return 1;
        }
        const qint64 a = timer.nsecsElapsed();
        if (!clearDir(theirs))
            return 1;
        timer.start();
        qint64 fetch = 0;
        if (!downloadWithCurl(listFile, curlFiles, &fetch)) {
            std::fprintf(stderr, "curl or sha512sum failed\n");
            return 1;
        }
        const qint64 b = timer.nsecsElapsed();
        bestOurs = bestOurs < 0 ? a : std::min(bestOurs, a);
        bestTheirs = bestTheirs < 0 ? b : std::min(bestTheirs, b);
        bestCurl = bestCurl < 0 ? fetch : std::min(bestCurl, fetch);
    }
    clearDir(ours);
    clearDir(theirs);

    const double mb = double(totalBytes) / 1e6;
    std::printf(
        "download: %d files, %.0f MB, %d streams, best of %d\n", kFiles, mb, kStreams, rounds);
    std::printf(
        "  task tree           %8.1f ms  %7.1f MB/s\n", bestOurs / 1e6, mb / (bestOurs / 1e9));
    std::printf(
        "  curl + sha512sum    %8.1f ms  %7.1f MB/s\n", bestTheirs / 1e6, mb / (bestTheirs / 1e9));
    std::printf(
        "  (curl alone         %8.1f ms  %7.1f MB/s)\n", bestCurl / 1e6, mb / (bestCurl / 1e9));
    std::printf("  ratio tasks/(curl + sha512sum): %.2f\n", double(bestOurs) / double(bestTheirs));
    std::fflush(stdout);

    // Peak memory of a 1 GiB download, in a fresh process each.
    QCryptographicHash zeros(QCryptographicHash::Sha512);
    const QByteArray block(1 << 20, '\0');
    for (qint64 done = 0; done < kOneGiB; done += block.size())
        zeros.addData(block);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(app.applicationFilePath(),
        {"--one-gib", updateBaseUrl, entries.first().key, entries.first().hash,
            QString::number(entries.first().size), QString::fromLatin1(zeros.result().toHex()),
            ours});
    if (!child.waitForFinished(-1) || child.exitCode() != 0) {
        std::fprintf(stderr, "1 GiB download failed\n");
        return 1;
    }
    const QList<QByteArray> kib = child.readAllStandardOutput().trimmed().split(' ');
    const qint64 baseline = kib.value(0).toLongLong(), peak = kib.value(1).toLongLong();
    clearDir(ours);

    QProcess curl;
    curl.start(QStringLiteral("/usr/bin/time"),
        {"-f", "%M", "curl", "-s", "-S", "--fail", "-o", theirs + "/big.bin",
            updateBaseUrl + QString::number(kVersion) + "/" + kSection + "/big.bin"});
    curl.waitForFinished(-1);
    const qint64 curlPeak = curl.readAllStandardError().trimmed().split('\n').last().toLongLong();
    clearDir(theirs);

    std::printf("1 GiB download through the task tree (hash check included):\n");
    std::printf("  resident set %.1f MB before, peak %.1f MB: grew by %.1f MB\n", baseline / 1024.0,
        peak / 1024.0, (peak - baseline) / 1024.0);
    std::printf("  curl alone: peak %.1f MB; ratio of peaks tasks/curl: %.2f\n", curlPeak / 1024.0,
        double(peak) / double(curlPeak));
    return 0;
}
