// Saves a picture of one X11 window, for scripts and tests that show what a
// person would see of the updater's window (for example under Xvfb).
//
//   kv_grab_window WINDOW_ID FILE.png
//
// WINDOW_ID is decimal or 0x-hexadecimal (as xdotool prints it). Exits 0
// when FILE holds the picture; 1 when the window could not be read (it may
// just have closed) or showed nothing but one colour, leaving FILE as it was.
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

namespace {

bool isBlank(const QImage& image)
{
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != first)
                return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: kv_grab_window WINDOW_ID FILE.png\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    bool ok = false;
    const WId window = WId(QString::fromLocal8Bit(argv[1]).toULongLong(&ok, 0));
    if (!ok) {
        std::fprintf(stderr, "kv_grab_window: not a window id: %s\n", argv[1]);
        return 2;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return 1;
    const QImage image = screen->grabWindow(window).toImage();
    if (image.isNull() || isBlank(image))
        return 1;
    // Written beside and renamed, so a reader never sees half a picture.
    const QString target = QString::fromLocal8Bit(argv[2]);
    const QString part = target + QLatin1String(".part");
    if (!image.save(part, "PNG")
        || std::rename(QFile::encodeName(part).constData(), QFile::encodeName(target).constData())
            != 0) {
        QFile::remove(part);
        return 1;
    }
    return 0;
}
