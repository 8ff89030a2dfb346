// Runs a stage-two replacement phase over 2,000 files / 512 MB (plain
// copies, compressed-file containers and ensemble patches, the containers
// and patches checked against their SHA-512) into an installation of the
// previous release, and prints its time as a ratio to cp copying the same
// fetched files over the same installation followed by sha512sum over the
// results, measured in the same run. Then applies two large patches at once
// in a child process and prints its peak memory above idle against the sum
// of old and new sizes, the measure the patch engine's own bound is given in.
//
//   bench_filereplace [rounds] [data directory to keep between runs]
#include "compressedfile.h"
#include "configuration.h"
#include "ensemblepatchmaker.h"
#include "filefuncpatch.h"
#include "filereplacelisttaskspecification.h"
#include "filetaskspecification_patch.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kFiles = 2000;
constexpr qint64 kTotalBytes = 512LL << 20;
constexpr int kPatches = 24;
constexpr int kPatchSize = 1 << 20;
constexpr int kContainers = 40;
constexpr int kContainerSize = 512 << 10;

void dropDiagnostics(QtMsgType, const QMessageLogContext&, const QString&) { }

// Program-like bytes: runs of structure and of noise, so that containers
// and patches have something to work on. Release r differs from release 1
// in scattered places and in length.
QByteArray releaseBytes(quint64 seed, int size, int release)
{
    QByteArray data(size, Qt::Uninitialized);
    quint64 state = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (int i = 0; i < size; ++i) {
        if ((i >> 6) % 3 == 0) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            data[i] = char(state);
        } else {
            data[i] = char((i * 31 + seed) >> 3);
        }
    }
    if (release > 1) {
        for (int i = int(seed % 4096); i < size; i += 8191)
            data[i] = char(data[i] + 1);
    }
    return data;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString sha512Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

int run(const QString& program, const QStringList& args)
{
    return QProcess::execute(program, args);
}

// data/fetched: what the downloads left; data/installed: release 1;
// data/list: the replace list.
bool makeData(const QString& data, ReplaceList* list)
{
    const QString listPath = data + QStringLiteral("/list");
    QFile listFile(listPath);
    if (listFile.exists() && listFile.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : listFile.readAll().split('\n')) {
            const QList<QByteArray> f = line.split('\t');
            if (f.size() != 4)
                continue;
            ReplaceEntry entry;
            entry.key = QString::fromUtf8(f[0]);
            entry.targetPath = QString::fromUtf8(f[1]);
            entry.patchKey = QString::fromUtf8(f[2]);
            entry.hash = QString::fromUtf8(f[3]);
            list->append(entry);
        }
        return list->size() == kFiles;
    }
    std::printf("making %d files / %lld MB of test data in %s ...\n", kFiles, kTotalBytes >> 20,
        qPrintable(data));
    std::fflush(stdout);
    const QString fetched = data + QStringLiteral("/fetched/");
    const QString installed = data + QStringLiteral("/installed/");
    const qint64 plainBytes
        = kTotalBytes - qint64(kPatches) * kPatchSize - qint64(kContainers) * kContainerSize;
    const int plainFiles = kFiles - kPatches - kContainers;
    const int averagePlain = int(plainBytes / plainFiles);
    qint64 plainLeft = plainBytes;
    QByteArray listText;
    for (int i = 0; i < kFiles; ++i) {
        const QString dir = QStringLiteral("d%1/").arg(i % 37);
        const QString name = dir + QStringLiteral("f%1.bin").arg(i);
        ReplaceEntry entry;
        if (i < kPatches) {
            const QByteArray oldData = releaseBytes(i, kPatchSize - 4096, 1);
            const QByteArray newData = releaseBytes(i, kPatchSize, 2);
            writeFile(installed + name, oldData);
            writeFile(data + QStringLiteral("/new"), newData);
            entry.key = name;
            entry.targetPath = name;
            entry.patchKey = name + QStringLiteral("._patch_");
            entry.hash = sha512Of(newData);
            QDir().mkpath(fetched + dir);
            if (!kvpatchmaker::MakeEnsemblePatchFile((installed + name).toStdString(),
                    (data + QStringLiteral("/new")).toStdString(),
                    (fetched + entry.patchKey).toStdString()))
                return false;
        } else if (i < kPatches + kContainers) {
            const QByteArray newData = releaseBytes(i, kContainerSize, 2);
            writeFile(installed + name, releaseBytes(i, kContainerSize / 2, 1));
            writeFile(data + QStringLiteral("/new"), newData);
            entry.key = name + QStringLiteral("._lzma2_");
            entry.targetPath = name;
            entry.hash = sha512Of(newData);
            QDir().mkpath(fetched + dir);
            if (!kvpatch::CompressFile((data + QStringLiteral("/new")).toStdString(),
                    (fetched + entry.key).toStdString(), 1))
                return false;
        } else {
            const int left = kFiles - i;
            const int size = left == 1
                ? int(plainLeft)
                : int(averagePlain / 2 + (quint64(i) * 2654435761u) % averagePlain);
            plainLeft -= size;
            writeFile(installed + name, releaseBytes(i, size / 2 + 1, 1));
            writeFile(fetched + name, releaseBytes(i, size, 2));
            entry.key = name;
        }
        list->append(entry);
        listText += QStringList {entry.key, entry.targetPath, entry.patchKey, entry.hash}
                        .join(QLatin1Char('\t'))
                        .toUtf8()
            + '\n';
    }
    QFile::remove(data + QStringLiteral("/new"));
    return writeFile(listPath, listText);
}

// Where the reference finds each produced file: the fetched file for a
// copy, else the restored result (the reference does not unpack or patch,
// so it copies the finished results; the updater has more work to do).
bool makeReferenceSource(const QString& data, const ReplaceList& list, const QString& target)
{
    for (const ReplaceEntry& entry : list) {
        const QString from = data + QStringLiteral("/fetched/") + entry.key;
        const QString to = target + QLatin1Char('/') + entry.filePath(QString());
        QDir().mkpath(QFileInfo(to).absolutePath());
        if (!entry.hasTargetPath()) {
            if (!QFile::copy(from, to))
                return false;
        } else if (entry.hasPatch()) {
            if (!patchFile(data + QStringLiteral("/installed/") + entry.targetPath,
                    data + QStringLiteral("/fetched/") + entry.patchKey, to))
                return false;
        } else if (!kvpatch::DecompressFile(from.toStdString(), to.toStdString())) {
            return false;
        }
    }
    return true;
}

double timePhase(const QString& data, const ReplaceList& list, const QString& install)
{
    Configuration config;
    config.m_ClientUpdate = 1;
    config.m_TempDir = data + QStringLiteral("/fetched");
    config.m_InstallDir = install;
    FileReplaceListTaskSpecification phase(&list, &config, nullptr, 0.4);
    QElapsedTimer timer;
    timer.start();
    phase.execute();
    while (phase.state() == STATE_RUNNING)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (phase.state() != STATE_FINISHED) {
        std::fprintf(stderr, "replacement phase failed\n");
        return -1;
    }
    return seconds;
}

double timeReference(const QString& source, const QString& install)
{
    QElapsedTimer timer;
    timer.start();
    run(QStringLiteral("cp"), {QStringLiteral("-r"), source + QStringLiteral("/."), install});
    run(QStringLiteral("sh"),
        {QStringLiteral("-c"),
            QStringLiteral("find '%1' -type f -print0 | xargs -0 sha512sum > /dev/null")
                .arg(source)});
    return timer.nsecsElapsed() / 1e9;
}

qint64 peakResidentKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Child: two patch applications at once; prints peak and idle resident
// sizes and the old + new bytes of both.
int patchMemoryChild(const QString& dir)
{
    const int size = 24 << 20;
    qint64 bytes = 0;
    for (int i = 0; i < 2; ++i) {
        const QString old = dir + QStringLiteral("/old%1").arg(i);
        const QString next = dir + QStringLiteral("/new%1").arg(i);
        writeFile(old, releaseBytes(100 + i, size - 65536, 1));
        writeFile(next, releaseBytes(100 + i, size, 2));
        if (!kvpatchmaker::MakeEnsemblePatchFile(old.toStdString(), next.toStdString(),
                (dir + QStringLiteral("/patch%1").arg(i)).toStdString()))
            return 1;
        bytes += 2 * size - 65536;
        QFile::remove(next);
    }
    // The maker's own peak must not count: the measurement runs in a fresh
    // process.
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
        {QStringLiteral("--apply-two"), dir, QString::number(bytes)});
    child.waitForFinished(-1);
    return child.exitCode();
}

int applyTwo(const QString& dir, qint64 bytes)
{
    const qint64 idle = peakResidentKiB("VmRSS:");
    QList<FileTaskSpecification_patch*> tasks;
    for (int i = 0; i < 2; ++i) {
        tasks << new FileTaskSpecification_patch(nullptr, dir + QStringLiteral("/old%1").arg(i),
            dir + QStringLiteral("/patch%1").arg(i), dir + QStringLiteral("/new%1").arg(i), nullptr,
            1.0);
        tasks.last()->execute();
    }
    for (FileTaskSpecification_patch* task : tasks) {
        while (task->state() == STATE_RUNNING)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (task->state() != STATE_FINISHED)
            return 1;
    }
    const qint64 peak = peakResidentKiB("VmHWM:");
    std::printf("two patch applications at once (2 x %.0f MB old + new): peak %.1f MB above idle "
                "= %.2f x (old + new of both)\n",
        bytes / 2 / 1048576.0, (peak - idle) / 1024.0, (peak - idle) * 1024.0 / bytes);
    qDeleteAll(tasks);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDiagnostics);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--apply-two"))
        return applyTwo(args.value(2), args.value(3).toLongLong());

    const int rounds = std::max(1, args.value(1, QStringLiteral("3")).toInt());
    QTemporaryDir scratch;
    const QString data = args.size() > 2 ? args.at(2) : scratch.filePath(QStringLiteral("data"));
    ReplaceList list;
    if (!makeData(data, &list)) {
        std::fprintf(stderr, "could not make the test data\n");
        return 1;
    }
    const QString reference = scratch.filePath(QStringLiteral("reference"));
    if (!makeReferenceSource(data, list, reference)) {
        std::fprintf(stderr, "could not make the reference files\n");
        return 1;
    }
    const QString install = scratch.filePath(QStringLiteral("install"));
    double best = 1e9, bestReference = 1e9;
    for (int round = 0; round < rounds; ++round) {
        for (int which = 0; which < 2; ++which) {
            QDir(install).removeRecursively();
            run(QStringLiteral("cp"),
                {QStringLiteral("-r"), data + QStringLiteral("/installed"), install});
            run(QStringLiteral("sync"), {});
            const double seconds
                = which == 0 ? timePhase(data, list, install) : timeReference(reference, install);
            if (seconds < 0)
                return 1;
            (which == 0 ? best : bestReference)
                = std::min(which == 0 ? best : bestReference, seconds);
            std::printf("round %d %-30s %.3f s\n", round + 1,
                which == 0 ? "replacement phase" : "cp -r + sha512sum", seconds);
            std::fflush(stdout);
        }
    }
    std::printf("replacement phase, %d files / %lld MB (%d patches, %d containers): best %.3f s, "
                "cp + sha512sum best %.3f s, ratio %.2f\n",
        kFiles, kTotalBytes >> 20, kPatches, kContainers, best, bestReference,
        best / bestReference);
    std::fflush(stdout);
    return patchMemoryChild(scratch.path());
}
