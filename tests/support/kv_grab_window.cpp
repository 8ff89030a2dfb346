// Saves a picture of one X11 window, for scripts and tests that show what a
// person would see of the updater's window (for example under Xvfb).
//
//   kv_grab_window [--follow] WINDOW_ID FILE.png
//
// WINDOW_ID is decimal or 0x-hexadecimal (as xdotool prints it). Exits 0
// when FILE holds the picture; 1 when the window could not be read (it may
// just have closed) or showed nothing but one colour, leaving FILE as it was.
// With --follow it grabs again every 100 ms until the window is gone (it
// stops at once: the X server may give a later window the same id), so FILE
// ends as the window's last picture: a script that started one grabber per
// picture would lose the window's last moments to the grabber's own start on
// a busy machine.
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

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

enum class Grab
{
    Saved,
    Blank,
    Gone
};

Grab grab(QScreen* screen, WId window, const QString& target)
{
    const QImage image = screen->grabWindow(window).toImage();
    if (image.isNull())
        return Grab::Gone;
    if (isBlank(image))
        return Grab::Blank;
    // Written beside and renamed, so a reader never sees half a picture.
    const QString part = target + QLatin1String(".part");
    if (!image.save(part, "PNG")
        || std::rename(QFile::encodeName(part).constData(), QFile::encodeName(target).constData())
            != 0) {
        QFile::remove(part);
        return Grab::Blank;
    }
    return Grab::Saved;
}

} // namespace

int main(int argc, char** argv)
{
    const bool follow = argc == 4 && QByteArray(argv[1]) == "--follow";
    if (argc != 3 && !follow) {
        std::fprintf(stderr, "usage: kv_grab_window [--follow] WINDOW_ID FILE.png\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const char* id = argv[follow ? 2 : 1];
    const QString target = QString::fromLocal8Bit(argv[follow ? 3 : 2]);
    bool ok = false;
    const WId window = WId(QString::fromLocal8Bit(id).toULongLong(&ok, 0));
    if (!ok) {
        std::fprintf(stderr, "kv_grab_window: not a window id: %s\n", id);
        return 2;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return 1;
    if (!follow)
        return grab(screen, window, target) == Grab::Saved ? 0 : 1;

    bool saved = false;
    for (Grab result = grab(screen, window, target); result != Grab::Gone;
         result = grab(screen, window, target)) {
        saved = saved || result == Grab::Saved;
        app.processEvents();
        QThread::msleep(100);
    }
    return saved ? 0 : 1;
}
