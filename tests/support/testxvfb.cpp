#include "testxvfb.h"

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <climits>

TestXvfb::TestXvfb() = default;

TestXvfb::~TestXvfb()
{
    if (m_Server) {
        m_Server->terminate();
        if (!m_Server->waitForFinished(5000)) {
            m_Server->kill();
            m_Server->waitForFinished(5000);
        }
    }
}

bool TestXvfb::start()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
        m_Error
            = QStringLiteral("Xvfb and xdotool are needed (scripts/setup-deps.sh installs them)");
        return false;
    }
    m_Server = std::make_unique<QProcess>();
    // The server picks a free display and writes its number to standard
    // output once it accepts connections. Without -noreset it starts over
    // whenever its last client goes (a child that ended, xdotool between two
    // looks) and drops a client that connects meanwhile: that child's Qt
    // then aborts, "could not connect to display", and shows nothing. On a
    // loaded machine the reset lasts long enough to be hit often.
    m_Server->start(xvfb,
        {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
            QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24"),
            QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QByteArray number;
    QElapsedTimer clock;
    clock.start();
    while (!number.contains('\n') && clock.elapsed() < 30000) {
        if (!m_Server->waitForReadyRead(1000) && m_Server->state() == QProcess::NotRunning)
            break;
        number += m_Server->readAllStandardOutput();
    }
    if (!number.contains('\n')) {
        m_Error = QStringLiteral("Xvfb did not start: ")
            + QString::fromLocal8Bit(m_Server->readAllStandardError());
        return false;
    }
    m_Display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    return true;
}

QString TestXvfb::xdotool(const QStringList& args, bool* ok) const
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_Display);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("xdotool"), args);
    const bool finished = process.waitForFinished(30000);
    if (ok != nullptr)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QStringList TestXvfb::visibleWindows(const QString& title) const
{
    return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                       QStringLiteral("--name"), QLatin1Char('^') + title + QLatin1Char('$')})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString TestXvfb::waitForWindow(const QString& title, int timeoutMs) const
{
    QElapsedTimer clock;
    clock.start();
    do {
        const QStringList windows = visibleWindows(title);
        if (!windows.isEmpty())
            return windows.first();
        QThread::msleep(50);
    } while (clock.elapsed() < timeoutMs);
    return QString();
}

bool TestXvfb::pressKey(const QString& window, const QString& key) const
{
    bool ok = false;
    xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window, QStringLiteral("key"),
                key},
        &ok);
    return ok;
}

bool TestXvfb::click(const QString& window, int x, int y, int count) const
{
    bool ok = false;
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(x),
                QString::number(y), QStringLiteral("click"), QStringLiteral("--repeat"),
                QString::number(count), QStringLiteral("1")},
        &ok);
    return ok;
}

bool TestXvfb::geometry(const QString& window, int* width, int* height) const
{
    bool ok = false;
    const QString out
        = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window}, &ok);
    if (!ok)
        return false;
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("WIDTH=")))
            *width = line.mid(6).toInt();
        if (line.startsWith(QLatin1String("HEIGHT=")))
            *height = line.mid(7).toInt();
    }
    return true;
}

QString TestXvfb::primarySelection(int timeoutMs) const
{
    Display* display = XOpenDisplay(m_Display.toLocal8Bit().constData());
    if (display == nullptr)
        return QString();
    // The owner puts the text on a window of the asker's.
    const Window window
        = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom property = XInternAtom(display, "KV_TEST_SELECTION", False);
    XConvertSelection(display, XA_PRIMARY, XInternAtom(display, "UTF8_STRING", False), property,
        window, CurrentTime);
    XFlush(display);
    // The owner answers from its event loop (the server at once when there
    // is none).
    XEvent event;
    bool answered = false;
    QElapsedTimer clock;
    clock.start();
    while (!answered && clock.elapsed() < timeoutMs) {
        answered = XCheckTypedWindowEvent(display, window, SelectionNotify, &event);
        if (!answered)
            QThread::msleep(10);
    }
    QString text;
    if (answered && event.xselection.property != None) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long left = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, property, 0, LONG_MAX / 4, True, AnyPropertyType,
                &type, &format, &count, &left, &data)
                == Success
            && format == 8)
            text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(count));
        if (data != nullptr)
            XFree(data);
    }
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return text;
}
