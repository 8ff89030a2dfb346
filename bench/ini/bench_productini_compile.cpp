// Compiles a product ini over an installation of 2,000 current files (about
// 500 MB) and prints the time as a ratio to sha512sum over the same files in
// the same run. Every file has to be hashed once, so the hashing dominates.
//
//   bench_productini_compile [files] [average KiB]
#include "configuration.h"
#include "downloadreplacelists.h"
#include "filedigest.h"
#include "makedownloadreplacelistfunc.h"
#include "productini.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

constexpr int rounds = 3;

// The updater writes diagnostics only into its optional log file; printing
// them would time the terminal.
void dropDiagnostics(QtMsgType, const QMessageLogContext&, const QString&) { }

QByteArray pseudoRandom(quint64 seed, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint64 state = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (int i = 0; i + 8 <= size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        memcpy(data.data() + i, &state, 8);
    }
    return data;
}

qint64 bestOf(const std::function<bool()>& run)
{
    qint64 best = -1;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!run())
            return -1;
        const qint64 elapsed = timer.nsecsElapsed();
        best = best < 0 ? elapsed : std::min(best, elapsed);
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDiagnostics);
    const int fileCount = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int averageKiB = argc > 2 ? std::atoi(argv[2]) : 250;

    QTemporaryDir root;
    const QString install = root.filePath("install");
    const QString temp = root.filePath("temp");
    QDir().mkpath(temp);

    QStringList relativePaths;
    QString ini = "[client]\n";
    qint64 totalBytes = 0;
    for (int i = 0; i < fileCount; ++i) {
        const QString relative = QString("dir%1/file%2.bin").arg(i % 40).arg(i);
        // Sizes spread from a fifth to nine fifths of the average.
        const int size = averageKiB * 1024 / 5 * (1 + (i * 7919) % 9);
        const QByteArray content = pseudoRandom(quint64(i), size);
        QDir().mkpath(QFileInfo(install + "/" + relative).absolutePath());
        QFile file(install + "/" + relative);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != size) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
        relativePaths << relative;
        totalBytes += size;
        // Half the files are shipped packed, so their line compares the
        // installed hash; all are current.
        if (i % 2 == 0)
            ini += relative + "=" + sha512Hex(content) + "::" + QString::number(size) + "\n";
        else
            ini += relative + "._lzma2_=" + QString(128, 'f') + "::1::" + sha512Hex(content)
                + "::" + QString::number(size) + "::" + relative + "\n";
    }
    QFile iniFile(temp + "/" + productIniFileName(1));
    if (!iniFile.open(QIODevice::WriteOnly) || iniFile.write(ini.toUtf8()) < 0)
        return 1;
    iniFile.close();

    Configuration config;
    config.m_ClientUpdate = 1;
    config.m_TempDir = temp;
    config.m_InstallDir = install;
    DownloadReplaceLists lists;

    QStringList absolutePaths;
    for (const QString& relative : relativePaths)
        absolutePaths << install + "/" + relative;
    auto sha512sum = [&] {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start("sha512sum", absolutePaths);
        return process.waitForFinished(-1) && process.exitCode() == 0;
    };
    auto compile = [&] {
        MakeDownloadReplaceListFunc func(&config, &lists);
        return func.run() && lists.replaceList.isEmpty() && lists.downloadList.isEmpty();
    };

    // Both read from the page cache: one untimed pass first.
    if (!sha512sum()) {
        std::fprintf(stderr, "sha512sum failed\n");
        return 1;
    }
    const qint64 reference = bestOf(sha512sum);
    const qint64 ours = bestOf(compile);
    if (reference <= 0 || ours <= 0) {
        std::fprintf(stderr, "compile failed or listed files that are current\n");
        return 1;
    }
    const double mb = double(totalBytes) / 1e6;
    std::printf("product-ini compile: %d files, %.0f MB\n", fileCount, mb);
    std::printf("  compile    %8.1f ms  %7.1f MB/s\n", ours / 1e6, mb / (ours / 1e9));
    std::printf("  sha512sum  %8.1f ms  %7.1f MB/s\n", reference / 1e6, mb / (reference / 1e9));
    std::printf("  ratio compile/sha512sum: %.2f\n", double(ours) / double(reference));
    return 0;
}
