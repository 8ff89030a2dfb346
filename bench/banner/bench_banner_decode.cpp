// What decoding a banner costs the window, whose thread also runs the update:
// the sample release's banner as its encoder wrote it and as a progressive
// encoder rewrites it (jpegtran), and the costliest JPEG that the banner's
// header check lets through: the largest picture, every scan a pass over all
// of its blocks. Each is decoded as the window decodes it and by djpeg (a
// whole process, measured in the same run); the figure is the ratio of the
// two. The header check's own cost on a picture it refuses is printed too.
//
//   bench_banner_decode [rounds]
#include "banner.h"
#include "bannerbench.h"
#include "imageheader.h"
#include "testjpeg.h"

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

void dropDiagnostics(QtMsgType, const QMessageLogContext&, const QString&) { }

double medianMs(int rounds, const std::function<bool()>& run)
{
    const double ns = medianNs(rounds, run);
    return ns < 0 ? ns : ns / 1e6;
}

bool runTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, arguments);
    // Status 2 says the picture decoded with warnings, which the largest one
    // has (its scans do not follow a progression an encoder would write).
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit
        && (process.exitCode() == 0 || process.exitCode() == 2);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDiagnostics);
    const int rounds = roundsArgument(argc, argv);
    QTemporaryDir dir;
    const QByteArray banner = readSampleBanner(dir);
    if (banner.isEmpty())
        return 1;
    const QString baseline = dir.filePath(QStringLiteral("baseline.jpg"));
    const QString progressive = dir.filePath(QStringLiteral("progressive.jpg"));
    const QString worst = dir.filePath(QStringLiteral("worst.jpg"));
    QFile baselineFile(baseline);
    if (!baselineFile.open(QIODevice::WriteOnly) || baselineFile.write(banner) != banner.size())
        return 1;
    baselineFile.close();
    if (!runTool(QStringLiteral("jpegtran"),
            {QStringLiteral("-progressive"), QStringLiteral("-outfile"), progressive, baseline})) {
        std::fprintf(stderr, "jpegtran failed (scripts/setup-deps.sh installs it)\n");
        return 1;
    }
    const int side = Banner::kMaxImageSide;
    const int other = int(Banner::kMaxImagePixels / side);
    QFile worstFile(worst);
    if (!worstFile.open(QIODevice::WriteOnly)
        || !worstFile.write(blockSkippingJpeg(side, other, ImageHeader::kMaxJpegScans))) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(worst));
        return 1;
    }
    worstFile.close();

    std::printf(
        "banner decoding, median of %d, the window's decoder vs djpeg (whole process)\n", rounds);
    std::printf("%-44s %10s %10s %7s\n", "picture", "window ms", "djpeg ms", "ratio");
    struct Case
    {
        QByteArray name;
        QString path;
    };
    const QString worstName = QStringLiteral("largest allowed, %1x%2, %3 scans")
                                  .arg(side)
                                  .arg(other)
                                  .arg(ImageHeader::kMaxJpegScans);
    const std::vector<Case> cases = {{"sample banner, baseline", baseline},
        {"sample banner, progressive (jpegtran)", progressive}, {worstName.toUtf8(), worst}};
    for (const Case& c : cases) {
        QFile file(c.path);
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray bytes = file.readAll();
        QByteArray format;
        if (!Banner::hasBannerSize(bytes, &format)) {
            std::fprintf(stderr, "%s: refused by the header check\n", c.name.constData());
            return 1;
        }
        const double window = medianMs(rounds, [&] {
            QImage image;
            return image.loadFromData(bytes, format.constData());
        });
        const double djpeg = medianMs(rounds, [&] {
            return runTool(QStringLiteral("djpeg"),
                {QStringLiteral("-outfile"), QStringLiteral("/dev/null"), c.path});
        });
        if (window < 0 || djpeg < 0) {
            std::fprintf(stderr, "%s: decoding failed\n", c.name.constData());
            return 1;
        }
        std::printf(
            "%-44s %10.1f %10.1f %7.2f\n", c.name.constData(), window, djpeg, window / djpeg);
    }

    // What refusing costs: the header check over a banner-sized JPEG of
    // thousands of scans, which would take the decoder many seconds.
    const QByteArray refused = blockSkippingJpeg(side, other, 16000);
    const double check = medianMs(rounds, [&] { return !Banner::hasBannerSize(refused); });
    std::printf(
        "header check refusing %d bytes of 16000 scans: %.3f ms\n", int(refused.size()), check);
    return 0;
}
