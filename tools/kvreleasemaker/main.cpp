// Release maker: writes the file-server tree of one release (both stages'
// product inis, packed and signed, and the release's files as copies, gzip
// files, containers and patches). For tests, benchmarks and sample
// releases; it is not installed and the updater never runs it.
#include "cryptwrapper.h"
#include "releaseoptions.h"
#include "releaseplan.h"
#include "releasewriter.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void printLine(FILE* stream, const QString& line)
{
    std::fprintf(stream, "kvreleasemaker: %s\n", qPrintable(line));
    std::fflush(stream);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ReleaseOptions options;
    QString error;
    if (!parseReleaseOptions(app.arguments(), &options, &error)) {
        if (error.isEmpty()) {
            std::fputs(qPrintable(releaseUsage()), stdout);
            return 0;
        }
        printLine(stderr, error);
        std::fputs(qPrintable(releaseUsage()), stderr);
        return 2;
    }
    try {
        cryptInit();
    } catch (const crypt_exception& e) {
        printLine(stderr, QStringLiteral("cannot set up the cryptography: %1").arg(e.what()));
        return 1;
    }

    printLine(stderr, QStringLiteral("reading the installations"));
    ReleasePlan plan;
    QStringList warnings;
    const bool planned = plan.build(
        options, &error, &warnings, [](const QString& line) { printLine(stderr, line); });
    for (const QString& warning : qAsConst(warnings))
        printLine(stderr, QStringLiteral("warning: ") + warning);
    if (!planned) {
        printLine(stderr, error);
        return 1;
    }

    ReleaseWriter writer([](const QString& line) { printLine(stderr, line); });
    if (!writer.write(options, plan, &error)) {
        printLine(stderr, error);
        return 1;
    }
    int updaterFiles = 0;
    for (const PlannedFile& file : plan.files())
        updaterFiles += file.updater ? 1 : 0;
    printLine(stdout,
        QStringLiteral("wrote %1: %2 files (%3 in the updater's stage), %4 deletions")
            .arg(writer.versionDir())
            .arg(plan.files().size())
            .arg(updaterFiles)
            .arg(plan.deletes().size()));
    return 0;
}
