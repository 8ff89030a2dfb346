// What decoding a banner costs the window, whose thread also runs the update:
// the sample release's banner as its encoder wrote it and as a progressive
// encoder rewrites it (jpegtran), and the costliest JPEG that the banner's
// header check lets through: the largest picture, every scan a pass over all
// of its blocks. Each is decoded as the window decodes it and by djpeg (a
// whole process, measured in the same run); the figure is the ratio of the
// two. The header check's own cost on a picture it refuses is printed too.
//
// GIFs: the check follows the codes of a GIF's first frame and counts the
// pixels they make. Its cost on the largest GIF banner (the sample banner
// scaled to the largest picture whose GIF stays within the banner's size)
// is measured against sha512sum of the same file (a whole process) and
// beside the window's decoding of it; and on a GIF of that size whose codes
// repeat long strings, which it refuses, beside what decoding it would cost.
//
//   bench_banner_decode [rounds]
#include "banner.h"
#include "bannerbench.h"
#include "imageheader.h"
#include "testgif.h"
#include "testjpeg.h"
#include "updateengine.h"

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSaveFile>
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
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, arguments);
    // Status 2 says the picture decoded with warnings, which the largest one
    // has (its scans do not follow a progression an encoder would write).
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit
        && (process.exitCode() == 0 || process.exitCode() == 2);
}

// The sample banner in 256 colours, stretched to the widest banner and the
// greatest height (at most the largest picture) whose GIF stays within the
// banner's size.
QByteArray largestGifBanner(const QByteArray& banner, QSize* size)
{
    const QImage picture = QImage::fromData(banner).convertToFormat(QImage::Format_Indexed8);
    if (picture.isNull())
        return QByteArray();
    const int width = Banner::kMaxImageSide;
    auto encode = [&](int height) {
        const QImage scaled = picture.scaled(width, height)
                                  .convertToFormat(QImage::Format_Indexed8, picture.colorTable());
        QByteArray pixels;
        for (int y = 0; y < scaled.height(); ++y)
            pixels += QByteArray(
                reinterpret_cast<const char*>(scaled.constScanLine(y)), scaled.width());
        *size = scaled.size();
        return gifFile(width, height, gifFrame(width, height, 8, lzwCodes(8, pixels)));
    };
    int low = picture.height();
    int high = int(Banner::kMaxImagePixels / width);
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (encode(middle).size() <= UpdateEngine::kMaxBannerSize)
            low = middle;
        else
            high = middle - 1;
    }
    return encode(low);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
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

    QSize size;
    const QByteArray gif = largestGifBanner(banner, &size);
    const QString gifPath = dir.filePath(QStringLiteral("largest.gif"));
    const ImageHeader gifHeader = ImageHeader::read(
        reinterpret_cast<const unsigned char*>(gif.constData()), std::size_t(gif.size()));
    if (gif.isEmpty() || !writeFile(gifPath, gif) || !Banner::hasBannerSize(gif)) {
        std::fprintf(stderr, "largest GIF banner: not made, or refused by the header check\n");
        return 1;
    }
    const double gifCheck = medianMs(rounds, [&] { return Banner::hasBannerSize(gif); });
    const double sha512sum
        = medianMs(rounds, [&] { return runTool(QStringLiteral("sha512sum"), {gifPath}); });
    const double gifDecode = medianMs(rounds, [&] {
        QImage image;
        return image.loadFromData(gif, "gif");
    });
    std::printf("\nGIF header check, median of %d, vs sha512sum (whole process) of the same file\n",
        rounds);
    std::printf("largest GIF banner, %dx%d, %d bytes, codes of %llu pixels: check %.3f ms, "
                "sha512sum %.3f ms, ratio %.2f; the window's decoding %.1f ms\n",
        size.width(), size.height(), int(gif.size()),
        static_cast<unsigned long long>(gifHeader.pixels), gifCheck, sha512sum,
        gifCheck / sha512sum, gifDecode);
    // The longest code repeated in 12 bits each, filling what the table's
    // first strings (under 8 KiB) leave of the banner's size.
    QVector<int> longStrings = longStringCodes(2, 0);
    const int repeats = int((UpdateEngine::kMaxBannerSize - 8192) * 8 / 12);
    longStrings.insert(longStrings.size() - 1, repeats, 4095);
    const QByteArray hostile = gifFile(1, 1, gifFrame(1, 1, 2, longStrings));
    const double hostileCheck = medianMs(rounds, [&] { return !Banner::hasBannerSize(hostile); });
    const double hostileDecode = medianMs(1, [&] {
        QImage image;
        return image.loadFromData(hostile, "gif");
    });
    std::printf("GIF of long strings, 1x1, %d bytes: check refuses it in %.3f ms; decoding it "
                "would take the window %.1f ms (one round)\n",
        int(hostile.size()), hostileCheck, hostileDecode);
    return 0;
}
