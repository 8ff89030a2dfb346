#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QtTest>

// Stands for the desktop's URL handler for the schemes a label may be given.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

class TestUrlClickLabel : public QObject
{
    Q_OBJECT

private:
    UrlRecorder m_Recorder;
    const QStringList m_Schemes = {"http", "https", "file", "ftp", "javascript", "qrc", "mailto"};

private slots:
    void initTestCase()
    {
        for (const QString& scheme : m_Schemes)
            QDesktopServices::setUrlHandler(scheme, &m_Recorder, "open");
    }

    void cleanupTestCase()
    {
        for (const QString& scheme : m_Schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    void init() { m_Recorder.opened.clear(); }

    void click_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("opened");
        QTest::newRow("left") << "http://kelvarion.invalid/" << int(Qt::LeftButton)
                              << "http://kelvarion.invalid/";
        QTest::newRow("right") << "https://kelvarion.invalid/a b" << int(Qt::RightButton)
                               << "https://kelvarion.invalid/a%20b";
        QTest::newRow("middle") << "HTTP://Kelvarion.invalid" << int(Qt::MiddleButton)
                                << "http://kelvarion.invalid";
        QTest::newRow("empty") << "" << int(Qt::LeftButton) << "";
        QTest::newRow("file") << "file:///etc/passwd" << int(Qt::LeftButton) << "";
        QTest::newRow("local path") << "/usr/bin/xterm" << int(Qt::LeftButton) << "";
        QTest::newRow("ftp") << "ftp://kelvarion.invalid/x" << int(Qt::LeftButton) << "";
        QTest::newRow("javascript") << "javascript:alert(1)" << int(Qt::LeftButton) << "";
        QTest::newRow("mailto") << "mailto:a@kelvarion.invalid" << int(Qt::LeftButton) << "";
    }

    void click()
    {
        QFETCH(QString, address);
        QFETCH(int, button);
        QFETCH(QString, opened);
        UrlClickLabel label;
        label.setUrl(address);
        QCOMPARE(label.url(), address);
        QTest::mouseClick(&label, Qt::MouseButton(button));
        if (opened.isEmpty()) {
            QVERIFY(m_Recorder.opened.isEmpty());
        } else {
            QCOMPARE(m_Recorder.opened.size(), 1);
            QCOMPARE(m_Recorder.opened.at(0).toString(QUrl::FullyEncoded), opened);
        }
    }
};

QTEST_MAIN(TestUrlClickLabel)
#include "tst_urlclicklabel.moc"
