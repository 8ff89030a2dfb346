#include "banner.h"
#include "configuration.h"
#include "mainwindow.h"
#include "prepostinstalltaskspecification.h"
#include "singleinstancechecker.h"
#include "threadhandover.h"
#include "updateengine.h"
#include "urlclicklabel.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QLayout>
#include <QLocalSocket>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextEdit>
#include <QTranslator>
#include <QtTest>

#include "enginetesthelpers.h"
#include "testbannerresponder.h"
#include "testhttpserver.h"
#include "windowtesthelpers.h"

#include <cmath>
#include <cstring>
#include <memory>

namespace {

const char* const kVersionLabelStageOne
    = "<div style=\"margin-top:4px\">You are currently on <strong>Alpha channel</strong>.</div>"
      "<div style=\"margin-top:4px;font-style:italic\">Step one: Updating updater</div>";

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A one-colour picture, in the banner's size unless told otherwise, encoded
// as format.
QByteArray bannerPicture(const char* format, const QSize& size = QSize(468, 60))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(200, 20, 110));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A picture within a banner's limits that PNG keeps small and JPEG cannot:
// one row of noise, repeated.
QByteArray stripedPicture()
{
    QImage image(2048, 2048, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int x = 0; x < image.width(); ++x)
        image.setPixel(x, 0, random.generate());
    for (int y = 1; y < image.height(); ++y)
        std::memcpy(image.scanLine(y), image.constScanLine(0), size_t(image.bytesPerLine()));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

bool hasPixmap(const QLabel* label)
{
    return !label->pixmap(Qt::ReturnByValue).isNull();
}

bool writeScript(const QString& path, const QByteArray& body)
{
    return writeFile(path, "#!/bin/sh\n" + body)
        && QFile::setPermissions(
            path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_ConfigDir;
    TestHttpServer m_Server;
    TestBannerResponder m_BannerServer;
    std::unique_ptr<PrivateSystemTemp> m_Temp;
    std::unique_ptr<Configuration> m_Config;
    std::unique_ptr<MainWindow> m_Window;

    QString tempPath(const QString& name) const { return m_Temp->path() + QLatin1Char('/') + name; }

    template<typename T> T* child(const char* name) const
    {
        return m_Window->findChild<T*>(QLatin1String(name));
    }
    QString details() const { return child<QTextEdit>("outputTextEdit")->toPlainText(); }
    int progress() const { return child<QProgressBar>("totalProgressBar")->value(); }

    // A window over a configuration set up as the command line and the
    // channel settings would.
    MainWindow* makeWindow(int clientUpdate = 0, const QString& versionString = QString())
    {
        m_Config->m_Ready = true;
        m_Config->m_ClientUpdate = clientUpdate;
        m_Config->m_Channel = CHANNEL_ALPHA;
        m_Config->m_Version = 42;
        m_Config->m_VersionString = versionString;
        m_Window = std::make_unique<MainWindow>(m_Config.get());
        return m_Window.get();
    }

    // A window whose configuration comes from a real parse: Alpha channel,
    // release 7 on the test's HTTP server.
    MainWindow* makeParsedWindow()
    {
        m_Window = std::make_unique<MainWindow>(m_Config.get());
        if (!m_Config->parseCommandLineOptions({QStringLiteral("update")}))
            return nullptr;
        m_Window->show();
        return m_Window.get();
    }

    // Runs the event loop until the window ends it; returns its status.
    static int runUntilExit(const std::function<void()>& start)
    {
        QTimer::singleShot(0, start);
        // Guards against a hang; it must not outlive this run and end a
        // later test's event loop.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
        guard.start(60000);
        return QCoreApplication::exec();
    }

    // The banner query goes to the silent banner server.
    void askBannerServer() { bannerServerHost = QStringLiteral("127.0.0.1"); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_ConfigDir.isValid());
        QVERIFY(m_Server.listen());
        QVERIFY(m_BannerServer.listen());
        m_BannerServer.setSilent(true);
        bannerServerPort = m_BannerServer.port();
        qputenv("KV3_CONFIG_DIR", QFile::encodeName(m_ConfigDir.path()));
        writeIniGroup(m_ConfigDir.filePath(QStringLiteral("update.ini")), QStringLiteral("Channel"),
            {{QStringLiteral("alpha"), m_Server.url(QStringLiteral("/release/"))},
                {QStringLiteral("alphaRevno"), 7}});
    }

    void init()
    {
        m_Temp = std::make_unique<PrivateSystemTemp>();
        QVERIFY(m_Temp->isValid());
        QFile::remove(appIniPath());
        m_Server.setSilent(false);
        m_Server.setReply(404, QByteArray());
        m_BannerServer.setSilent(true);
        // No banner server and no look-up: an empty name fails at once,
        // without a thread of Qt's look-up pool; tests of the banner ask the
        // banner server.
        bannerServerHost.clear();
        m_Config = std::make_unique<Configuration>();
    }

    void cleanup()
    {
        m_Window.reset();
        m_Config.reset();
        m_Temp.reset();
        QFile::remove(appIniPath());
    }

    void formAsDesigned()
    {
        makeWindow();
        QCOMPARE(m_Window->windowTitle(), QStringLiteral("Kelvarion 3 Client Update"));
        QCOMPARE(m_Window->layout()->sizeConstraint(), QLayout::SetFixedSize);
        QPushButton* details = child<QPushButton>("detailsButton");
        QCOMPARE(details->text(), QStringLiteral("Details"));
        QVERIFY(details->isCheckable());
        QTextEdit* log = child<QTextEdit>("outputTextEdit");
        QVERIFY(log->isHidden());
        QVERIFY(log->isReadOnly());
        QCOMPARE(log->lineWrapMode(), QTextEdit::NoWrap);
        QCOMPARE(log->maximumHeight(), 100);
        QVERIFY(log->tabChangesFocus());
        QProgressBar* bar = child<QProgressBar>("totalProgressBar");
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 1000);
        QCOMPARE(bar->value(), 0);
        UrlClickLabel* banner = child<UrlClickLabel>("banner");
        QCOMPARE(banner->minimumSize(), QSize(468, 60));
        QCOMPARE(banner->maximumSize(), QSize(468, 60));
        QVERIFY(banner->hasScaledContents());
        UrlClickLabel* logo = child<UrlClickLabel>("kelvarionLabel");
        QCOMPARE(logo->maximumSize(), QSize(48, 48));
        QVERIFY(hasPixmap(logo));
        QVERIFY(logo->url().startsWith(QLatin1String("https://")));
        QCOMPARE(logo->cursor().shape(), Qt::PointingHandCursor);
        QWidget* next = log->nextInFocusChain();
        while (next != log && !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        QCOMPARE(next, static_cast<QWidget*>(details));
        QCOMPARE(MainWindow::instance, m_Window.get());
        QCOMPARE(PrePostInstallTaskSpecification::rebootReceiver(), m_Window.get());
        m_Window.reset();
        QCOMPARE(MainWindow::instance, static_cast<MainWindow*>(nullptr));
    }

    void versionLabel_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<QString>("versionString");
        QTest::addColumn<QString>("expected");
        const QString stepOne = QStringLiteral(
            "<div style=\"margin-top:4px;font-style:italic\">Step one: Updating updater</div>");
        const QString stepTwo = QStringLiteral("<div style=\"margin-top:4px;font-style:italic\">"
                                               "Step two: Updating Kelvarion client</div>");
        const auto channelLine = [](const char* name) {
            return QStringLiteral("<div style=\"margin-top:4px\">You are currently on <strong>%1 "
                                  "channel</strong>.</div>")
                .arg(QLatin1String(name));
        };
        QTest::newRow("stable, stage one, no text")
            << 0 << 0 << QString() << channelLine("Stable") + stepOne;
        QTest::newRow("beta, stage two") << 1 << 1 << QString() << channelLine("Beta") + stepTwo;
        QTest::newRow("alpha, stage one")
            << 2 << 0 << QString() << QString::fromLatin1(kVersionLabelStageOne);
        QTest::newRow("unknown channel") << 7 << 0 << QString() << channelLine("") + stepOne;
        QTest::newRow("with version text")
            << 0 << 1 << QStringLiteral("3.2 \"Aurora\"")
            << QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">Update to Kelvarion "
                              "3.2 \"Aurora\"</div>")
                + channelLine("Stable") + stepTwo;
    }

    void versionLabel()
    {
        QFETCH(int, channel);
        QFETCH(int, clientUpdate);
        QFETCH(QString, versionString);
        QFETCH(QString, expected);
        makeWindow(clientUpdate, versionString);
        m_Config->m_Channel = channel;
        m_Window->updateVersionLabel();
        QCOMPARE(child<QLabel>("versionLabel")->text(), expected);
    }

    void detailsButtonShowsLogAtItsEnd()
    {
        makeWindow();
        m_Window->show();
        QTextEdit* log = child<QTextEdit>("outputTextEdit");
        for (int i = 0; i < 60; ++i)
            QMetaObject::invokeMethod(
                m_Window.get(), "onAppendText", Q_ARG(QString, QStringLiteral("line %1").arg(i)));
        QCOMPARE(log->document()->blockCount(), 60);
        QPushButton* button = child<QPushButton>("detailsButton");
        button->click();
        QVERIFY(log->isVisible());
        QTRY_VERIFY(log->verticalScrollBar()->maximum() > 0);
        QTRY_COMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
        button->click();
        QVERIFY(!log->isVisible());
    }

    void progressValues_data()
    {
        QTest::addColumn<qreal>("fraction");
        QTest::addColumn<int>("expected");
        QTest::newRow("0.4567") << qreal(0.4567) << 456;
        QTest::newRow("start") << qreal(0) << 0;
        QTest::newRow("end") << qreal(1) << 1000;
        QTest::newRow("past the end (stage two's sum)") << qreal(1.2) << 333;
        QTest::newRow("negative") << qreal(-0.5) << 333;
        QTest::newRow("not a number") << qreal(std::nan("")) << 333;
        QTest::newRow("infinite") << qreal(HUGE_VAL) << 333;
    }

    void progressValues()
    {
        QFETCH(qreal, fraction);
        QFETCH(int, expected);
        makeWindow();
        QMetaObject::invokeMethod(m_Window.get(), "onProgressUpdate", Q_ARG(qreal, 0.3333));
        QMetaObject::invokeMethod(m_Window.get(), "onProgressUpdate", Q_ARG(qreal, fraction));
        QCOMPARE(progress(), expected);
    }

    void errorGoesToDetailsAndBox()
    {
        makeWindow();
        BoxAnswerer answerer;
        QMetaObject::invokeMethod(
            m_Window.get(), "onError", Q_ARG(QString, QStringLiteral("Disk is full")));
        QCOMPARE(answerer.shown.size(), 1);
        QCOMPARE(answerer.shown.at(0).title, QStringLiteral("Error"));
        QCOMPARE(answerer.shown.at(0).text, QStringLiteral("Disk is full"));
        QCOMPARE(answerer.shown.at(0).icon, QMessageBox::Critical);
        QCOMPARE(details(), QStringLiteral("Disk is full"));
    }

    void fatalErrorsEndTheRun_data()
    {
        QTest::addColumn<bool>("fromConfiguration");
        QTest::addColumn<int>("status");
        QTest::newRow("configuration") << true << 1;
        QTest::newRow("engine") << false << 2;
    }

    void fatalErrorsEndTheRun()
    {
        QFETCH(bool, fromConfiguration);
        QFETCH(int, status);
        makeWindow();
        BoxAnswerer answerer;
        QCOMPARE(runUntilExit([&] {
            if (fromConfiguration)
                emit m_Config->fatalError(QStringLiteral("Invalid version nr (x)"));
            else
                QMetaObject::invokeMethod(m_Window->engine(), "fatalError",
                    Q_ARG(QString, QStringLiteral("crypt failure")));
        }),
            status);
        QCOMPARE(answerer.shown.size(), 1);
        QCOMPARE(answerer.shown.at(0).title, QStringLiteral("Error"));
    }

    void startWaitsForReadyConfiguration()
    {
        m_Server.setSilent(true);
        makeWindow();
        m_Config->m_Ready = false;
        QMetaObject::invokeMethod(m_Window.get(), "onStartUpdate");
        QVERIFY(!m_Window->engine()->isBusy());
        m_Config->m_Ready = true;
        emit m_Config->ready();
        QVERIFY(m_Window->engine()->isBusy());
        // A second start while the session runs changes nothing.
        emit m_Config->ready();
        QCOMPARE(m_Window->engine()->state(), int(UpdateEngine::RUNNING));
    }

    // A failed run: "Update cancelled" in the details, the bar back at 0,
    // one box, the window stays open and no new session starts.
    void failedUpdateKeepsWindowOpen()
    {
        BoxAnswerer answerer;
        QVERIFY(makeParsedWindow());
        QMetaObject::invokeMethod(m_Window.get(), "onProgressUpdate", Q_ARG(qreal, 0.5));
        QMetaObject::invokeMethod(m_Window.get(), "onStartUpdate");
        QVERIFY(m_Window->engine()->isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(answerer.shown.size(), 1, 60000);
        QCOMPARE(answerer.shown.at(0).title, QStringLiteral("Update"));
        QCOMPARE(answerer.shown.at(0).text,
            QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
        QVERIFY(details().endsWith(QLatin1String("Update cancelled")));
        QCOMPARE(progress(), 0);
        QCOMPARE(m_Window->engine()->state(), int(UpdateEngine::PRE_INIT));
        QVERIFY(m_Window->isVisible());
        const int requests = m_Server.totalRequests();
        QMetaObject::invokeMethod(m_Window.get(), "onStartUpdate");
        QVERIFY(!m_Window->engine()->isBusy());
        QCOMPARE(m_Server.totalRequests(), requests);
        // Idle now: the close is accepted without a question.
        QVERIFY(m_Window->close());
        QCOMPARE(answerer.shown.size(), 1);
    }

    void closingDuringUpdateAsksBeforeAborting()
    {
        m_Server.setSilent(true);
        BoxAnswerer answerer({QMessageBox::No, QMessageBox::Yes});
        QVERIFY(makeParsedWindow());
        QMetaObject::invokeMethod(m_Window.get(), "onStartUpdate");
        QVERIFY(m_Window->engine()->isBusy());

        QVERIFY(!m_Window->close());
        QCOMPARE(answerer.shown.size(), 1);
        QCOMPARE(answerer.shown.at(0).title, QStringLiteral("Question"));
        QCOMPARE(answerer.shown.at(0).text,
            QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
        QCOMPARE(answerer.shown.at(0).buttons, QMessageBox::Yes | QMessageBox::No);
        QVERIFY(m_Window->isVisible());
        QVERIFY(m_Window->engine()->isBusy());

        // Yes cancels; the run then ends with status 0 and no further box.
        QCOMPARE(runUntilExit([this] { m_Window->close(); }), 0);
        QCOMPARE(answerer.shown.size(), 2);
        QVERIFY(!details().contains(QLatin1String("Update cancelled")));
    }

    void rebootQuestionWritesMarker_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("marker");
        QTest::addColumn<QString>("absent");
        QTest::newRow("yes") << int(QMessageBox::Yes) << "kv3_force_update"
                             << "kv3_force_update_check";
        QTest::newRow("no") << int(QMessageBox::No) << "kv3_force_update_check"
                            << "kv3_force_update";
    }

    void rebootQuestionWritesMarker()
    {
        QFETCH(int, answer);
        QFETCH(QString, marker);
        QFETCH(QString, absent);
        makeWindow();
        BoxAnswerer answerer({QMessageBox::StandardButton(answer)});
        // The request arrives from an install command's worker thread; the
        // receiver is looked up on this thread, as the install task does.
        std::unique_ptr<QThread> thread;
        QCOMPARE(runUntilExit([&thread] {
            QObject* receiver = PrePostInstallTaskSpecification::rebootReceiver();
            thread.reset(QThread::create([receiver] {
                QMetaObject::invokeMethod(
                    receiver, "onRebootWithConfirmation", Qt::QueuedConnection);
                // The call by name read the window on this thread; Qt's
                // event queue orders that before the window goes, which the
                // thread sanitizer sees only through this mark.
                handOverRelease(receiver);
            }));
            thread->start();
        }),
            0);
        QVERIFY(thread->wait(60000));
        handOverAcquire(PrePostInstallTaskSpecification::rebootReceiver());
        QCOMPARE(answerer.shown.size(), 1);
        QCOMPARE(answerer.shown.at(0).title, QStringLiteral("Confirm reboot"));
        QVERIFY(answerer.shown.at(0).text.startsWith(
            QLatin1String("<p>A computer restart is required to proceed with the client update.")));
        QCOMPARE(answerer.shown.at(0).defaultButton, QMessageBox::Yes);
        QVERIFY(QFileInfo::exists(tempPath(marker)));
        QVERIFY(!QFileInfo::exists(tempPath(absent)));
    }

    // The markers' names are known to every local user; a link planted under
    // one is not written through.
    void plantedMarkerLinkIsNotFollowed()
    {
        makeWindow();
        const QString victim = tempPath(QStringLiteral("victim"));
        QVERIFY(writeFile(victim, "keep me"));
        QVERIFY(QFile::link(victim, tempPath(QStringLiteral("kv3_force_update"))));
        BoxAnswerer answerer({QMessageBox::Yes});
        QCOMPARE(runUntilExit([this] {
            QMetaObject::invokeMethod(m_Window.get(), "onRebootWithConfirmation");
        }),
            0);
        QCOMPARE(readFile(victim), QByteArray("keep me"));
        QVERIFY(details().contains(QLatin1String("Failed to store force update notice")));
    }

    void successorStartsAfterFinish_data()
    {
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<QString>("versionString");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("stage one, no version text")
            << 0 << QString() << QByteArray("--clientupdate\nclient_linux_x86\n42\n#\n");
        QTest::newRow("stage one, version text with spaces")
            << 0 << QStringLiteral("3.2 beta")
            << QByteArray("--clientupdate\nclient_linux_x86\n42\n3.2 beta\n");
        QTest::newRow("stage two") << 1 << QString() << QByteArray();
    }

    void successorStartsAfterFinish()
    {
        QFETCH(int, clientUpdate);
        QFETCH(QString, versionString);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        makeWindow(clientUpdate, versionString);
        m_Config->m_TempDir = dir.path();
        m_Config->m_InstallDir = dir.path();
        const QString out = dir.filePath(QStringLiteral("started"));
        QVERIFY(writeScript(dir.filePath(QStringLiteral("update")),
            "for a in \"$@\"; do echo \"$a\"; done > started.part && mv started.part started\n"));
        QVERIFY(writeScript(dir.filePath(QStringLiteral("kv3client_runscript.sh")),
            "pwd > started.part && mv started.part started\n"));
        m_Window->show();
        QMetaObject::invokeMethod(m_Window.get(), "onUpdateFinished");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(out), 30000);
        QTRY_VERIFY(!m_Window->isVisible());
        if (clientUpdate == 0)
            QCOMPARE(readFile(out), expected);
        else
            QCOMPARE(QDir(QString::fromLocal8Bit(readFile(out).trimmed())).canonicalPath(),
                QDir(dir.path()).canonicalPath());
    }

    void rebootRequestSuppressesSuccessor()
    {
        QTemporaryDir dir;
        makeWindow();
        m_Config->m_TempDir = dir.path();
        QVERIFY(writeScript(dir.filePath(QStringLiteral("update")), "touch started\n"));
        m_Window->show();
        BoxAnswerer answerer({QMessageBox::No});
        QCOMPARE(runUntilExit([this] {
            QMetaObject::invokeMethod(m_Window.get(), "onRebootWithConfirmation");
        }),
            0);
        QMetaObject::invokeMethod(m_Window.get(), "onUpdateFinished");
        // Longer than the successor's delay, and started after the window's
        // timer would have been: once it has fired, so has any such timer,
        // and the successor would have been started and the window closed.
        QTimer longerThanTheDelay;
        longerThanTheDelay.setSingleShot(true);
        longerThanTheDelay.setTimerType(Qt::PreciseTimer);
        longerThanTheDelay.start(1500);
        QTRY_VERIFY_WITH_TIMEOUT(!longerThanTheDelay.isActive(), 60000);
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("started"))));
        QVERIFY(m_Window->isVisible());
    }

    void otherInstanceRaisesWindow_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("raised");
        QTest::newRow("#") << "#" << true;
        QTest::newRow("##") << "##" << false;
        QTest::newRow("empty") << "" << false;
    }

    void otherInstanceRaisesWindow()
    {
        QFETCH(QString, message);
        QFETCH(bool, raised);
        makeWindow();
        m_Window->show();
        QWidget other;
        other.show();
        other.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &other);
        SingleInstanceChecker* checker = m_Window->findChild<SingleInstanceChecker*>();
        QVERIFY(checker);
        QSignalSpy spy(checker, &SingleInstanceChecker::otherInstanceActivate);
        // An empty message delivers nothing; a connection that says nothing.
        if (message.isEmpty()) {
            QLocalSocket socket;
            socket.connectToServer(SingleInstanceChecker::serverName());
            QVERIFY(socket.waitForConnected(5000));
        } else {
            QVERIFY(SingleInstanceChecker::send(message));
            QVERIFY(spy.wait(10000));
        }
        // Activation arrives later than the message; a window that is not
        // to be raised is given as long as the raised one gets.
        const bool active = QTest::qWaitFor(
            [this] { return QApplication::activeWindow() == m_Window.get(); }, 5000);
        QCOMPARE(active, raised);
        if (!raised)
            QCOMPARE(QApplication::activeWindow(), &other);
    }

    void bannerIsShownAndCached()
    {
        makeWindow();
        const QString clickUrl = QStringLiteral("https://www.example.test:8443/offer?a=1&b=%C3%A9");
        QMetaObject::invokeMethod(m_Window.get(), "onBannerFound",
            Q_ARG(QByteArray, bannerPicture("PNG")), Q_ARG(QString, clickUrl));
        UrlClickLabel* banner = child<UrlClickLabel>("banner");
        QVERIFY(hasPixmap(banner));
        QCOMPARE(banner->url(), clickUrl);
        QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://www.example.test\""));
        QImage cached;
        QVERIFY(
            cached.loadFromData(readFile(tempPath(QStringLiteral("kelvarion_banner.jpg"))), "JPG"));
        QCOMPARE(cached.size(), QSize(468, 60));
        QCOMPARE(readFile(tempPath(QStringLiteral("kelvarion_banner.txt"))),
            QByteArray("https%3A%2F%2Fwww.example.test%3A8443%2Foffer%3Fa%3D1%26b%3D%25C3%25A9"));
    }

    // A banner whose JPEG the next run would refuse is shown, not cached.
    void bannerBeyondTheCacheIsOnlyShown()
    {
        makeWindow();
        const QByteArray picture = stripedPicture();
        QVERIFY(picture.size() <= UpdateEngine::kMaxBannerSize);
        QMetaObject::invokeMethod(m_Window.get(), "onBannerFound", Q_ARG(QByteArray, picture),
            Q_ARG(QString, QStringLiteral("https://example.test/")));
        QVERIFY(hasPixmap(child<UrlClickLabel>("banner")));
        QVERIFY(!QFileInfo::exists(tempPath(QStringLiteral("kelvarion_banner.jpg"))));
        QVERIFY(!QFileInfo::exists(tempPath(QStringLiteral("kelvarion_banner.txt"))));
    }

    void unusableBannerIsIgnored_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::newRow("not a picture") << QByteArray("<html>not a picture</html>");
        QTest::newRow("far wider than a banner")
            << bannerPicture("PNG", QSize(Banner::kMaxImageSide + 1, 60));
    }

    void unusableBannerIsIgnored()
    {
        QFETCH(QByteArray, image);
        makeWindow();
        QMetaObject::invokeMethod(m_Window.get(), "onBannerFound", Q_ARG(QByteArray, image),
            Q_ARG(QString, QStringLiteral("https://example.test/")));
        UrlClickLabel* banner = child<UrlClickLabel>("banner");
        QVERIFY(!hasPixmap(banner));
        QVERIFY(banner->url().isEmpty());
        QVERIFY(!QFileInfo::exists(tempPath(QStringLiteral("kelvarion_banner.jpg"))));
        QVERIFY(!QFileInfo::exists(tempPath(QStringLiteral("kelvarion_banner.txt"))));
    }

    // Links planted under the cache's names are neither followed when the
    // cache is written nor read at the next start.
    void plantedBannerCacheLinksAreNotFollowed()
    {
        const QString victim = tempPath(QStringLiteral("victim"));
        QVERIFY(writeFile(victim, "keep me"));
        QVERIFY(QFile::link(victim, tempPath(QStringLiteral("kelvarion_banner.jpg"))));
        QVERIFY(QFile::link(victim, tempPath(QStringLiteral("kelvarion_banner.txt"))));
        makeWindow();
        QMetaObject::invokeMethod(m_Window.get(), "onBannerFound",
            Q_ARG(QByteArray, bannerPicture("PNG")),
            Q_ARG(QString, QStringLiteral("https://x.test/")));
        QCOMPARE(readFile(victim), QByteArray("keep me"));
        QVERIFY(hasPixmap(child<UrlClickLabel>("banner")));
    }

    // A cache that the running user wrote is shown at the next start without
    // asking the server; one that others could have written or planted is
    // not, and the server is asked instead.
    void cachedBannerOnlyFromOwnFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("shown");
        QTest::newRow("own files") << "own" << true;
        QTest::newRow("writable by others") << "others" << false;
        QTest::newRow("links to own files") << "links" << false;
    }

    void cachedBannerOnlyFromOwnFiles()
    {
        QFETCH(QString, kind);
        QFETCH(bool, shown);
        QStringList cache {tempPath(QStringLiteral("kelvarion_banner.jpg")),
            tempPath(QStringLiteral("kelvarion_banner.txt"))};
        const QByteArrayList contents {
            bannerPicture("JPG"), "https%3A%2F%2Fcached.example.test%2F"};
        for (int i = 0; i < 2; ++i) {
            const QString target = kind == QLatin1String("links")
                ? tempPath(QStringLiteral("elsewhere%1").arg(i))
                : cache.at(i);
            QVERIFY(writeFile(target, contents.at(i)));
            if (kind == QLatin1String("links"))
                QVERIFY(QFile::link(target, cache.at(i)));
            if (kind == QLatin1String("others"))
                QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions(0x6666)));
        }
        QSignalSpy asked(&m_BannerServer, &TestBannerResponder::requestReceived);
        askBannerServer();
        makeWindow();
        UrlClickLabel* banner = child<UrlClickLabel>("banner");
        QCOMPARE(hasPixmap(banner), shown);
        if (shown) {
            QCOMPARE(banner->url(), QStringLiteral("https://cached.example.test/"));
        } else {
            QVERIFY(asked.wait(10000));
            QVERIFY(banner->url().isEmpty());
        }
    }

    // The real path: the banner server names an image on the HTTP server,
    // the engine fetches it and the window shows and caches it.
    void bannerFromServerReachesWindow()
    {
        m_Server.serve(QStringLiteral("/banner.jpg"), TestHttpResponse::ok(bannerPicture("JPG")));
        m_BannerServer.setReply(
            m_Server.url(QStringLiteral("/banner.jpg")).toUtf8() + ",https://offer.example.test/");
        m_BannerServer.setSilent(false);
        askBannerServer();
        makeWindow();
        UrlClickLabel* banner = child<UrlClickLabel>("banner");
        QTRY_VERIFY_WITH_TIMEOUT(hasPixmap(banner), 20000);
        QCOMPARE(banner->url(), QStringLiteral("https://offer.example.test/"));
        QVERIFY(QFileInfo::exists(tempPath(QStringLiteral("kelvarion_banner.jpg"))));
    }

    void closingIdleWindowDeletesBannerCacheInStageTwo_data()
    {
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<bool>("kept");
        QTest::newRow("stage one") << 0 << true;
        QTest::newRow("stage two") << 1 << false;
    }

    void closingIdleWindowDeletesBannerCacheInStageTwo()
    {
        QFETCH(int, clientUpdate);
        QFETCH(bool, kept);
        makeWindow(clientUpdate);
        QMetaObject::invokeMethod(m_Window.get(), "onBannerFound",
            Q_ARG(QByteArray, bannerPicture("PNG")),
            Q_ARG(QString, QStringLiteral("https://x.test/")));
        m_Window->show();
        QVERIFY(m_Window->close());
        QCOMPARE(QFileInfo::exists(tempPath(QStringLiteral("kelvarion_banner.jpg"))), kept);
        QCOMPARE(QFileInfo::exists(tempPath(QStringLiteral("kelvarion_banner.txt"))), kept);
    }

    void forceUpdateMarkersDeletedInStageOneOnly_data()
    {
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("stage one") << 0 << true;
        QTest::newRow("stage two") << 1 << false;
    }

    void forceUpdateMarkersDeletedInStageOneOnly()
    {
        QFETCH(int, clientUpdate);
        QFETCH(bool, deleted);
        makeWindow(clientUpdate);
        QVERIFY(writeFile(tempPath(QStringLiteral("kv3_force_update")), QByteArray()));
        m_Window->delete_force_update_files();
        QCOMPARE(!QFileInfo::exists(tempPath(QStringLiteral("kv3_force_update"))), deleted);
        // Missing files are no error.
        m_Window->delete_force_update_files();
    }

    void germanTranslation()
    {
        QTranslator updater;
        QTranslator qt;
        QVERIFY(updater.load(QStringLiteral(KV_TRANSLATIONS_DIR "/update_de")));
        QVERIFY(qt.load(QStringLiteral(KV_TRANSLATIONS_DIR "/qt_de")));
        QCoreApplication::installTranslator(&updater);
        QCoreApplication::installTranslator(&qt);
        makeWindow();
        m_Window->updateVersionLabel();
        const QString title = m_Window->windowTitle();
        const QString label = child<QLabel>("versionLabel")->text();
        BoxAnswerer answerer;
        QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("x"),
            QMessageBox::Yes | QMessageBox::No);
        const QString yes = box.button(QMessageBox::Yes)->text();
        QCoreApplication::removeTranslator(&qt);
        QCoreApplication::removeTranslator(&updater);
        QCOMPARE(title, QStringLiteral("Kelvarion 3 Client-Aktualisierung"));
        QVERIFY(label.contains(QStringLiteral("Schritt eins")));
        QCOMPARE(yes, QStringLiteral("&Ja"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
