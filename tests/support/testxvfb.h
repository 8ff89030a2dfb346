#ifndef TESTXVFB_H
#define TESTXVFB_H

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// An X server of the test's own (Xvfb on a free display, no TCP) for child
// processes that show real windows, and the few things a person does with
// them, through xdotool: find a window by its title, press a key in it,
// click into it; and, through Xlib, read what was selected in them. The
// destructor stops the server.
class TestXvfb
{
public:
    TestXvfb();
    ~TestXvfb();
    TestXvfb(const TestXvfb&) = delete;
    TestXvfb& operator=(const TestXvfb&) = delete;

    // False with errorString() when Xvfb or xdotool is missing or the server
    // does not come up.
    bool start();
    QString display() const { return m_Display; }
    QString errorString() const { return m_Error; }

    // Ids of the visible windows whose title is exactly title.
    QStringList visibleWindows(const QString& title) const;
    // Waits up to timeoutMs for such a window; its id, or empty.
    QString waitForWindow(const QString& title, int timeoutMs) const;
    // Gives the window the keyboard focus and presses key (xdotool's names).
    bool pressKey(const QString& window, const QString& key) const;
    // Clicks the left button count times at x, y of the window.
    bool click(const QString& window, int x, int y, int count = 1) const;
    // Width and height of the window, or an invalid pair.
    bool geometry(const QString& window, int* width, int* height) const;
    // The text of the primary selection (what was last selected with the
    // mouse), as its owner gives it within timeoutMs; null when nobody owns
    // it or the owner did not answer.
    QString primarySelection(int timeoutMs) const;

private:
    QString xdotool(const QStringList& args, bool* ok = nullptr) const;

    std::unique_ptr<QProcess> m_Server;
    QString m_Display;
    QString m_Error;
};

#endif
