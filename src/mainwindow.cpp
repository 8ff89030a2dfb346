#include "mainwindow.h"

#include "banner.h"
#include "configuration.h"
#include "prepostinstalltaskspecification.h"
#include "processtools.h"
#include "safetempfile.h"
#include "singleinstancechecker.h"
#include "updateengine.h"

#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

const QString forceUpdateFileName = QStringLiteral("kv3_force_update");
const QString forceUpdateCheckFileName = QStringLiteral("kv3_force_update_check");

MainWindow* MainWindow::instance = nullptr;

namespace {

const char* const kMakerWebSite = "https://www.kelvarion.invalid/";
const char* const kBannerImageName = "kelvarion_banner.jpg";
const char* const kBannerUrlName = "kelvarion_banner.txt";
const int kSuccessorDelayMs = 1000;

QString tempFilePath(const QString& name)
{
    return QDir::tempPath() + QLatin1Char('/') + name;
}

QString tempFilePath(const char* name)
{
    return tempFilePath(QString::fromLatin1(name));
}

const char* trueFalse(bool value)
{
    return value ? "true" : "false";
}

// Shown while an "Update cancelled" box is open, so that a burst of
// cancellations asks the user only once.
bool s_CanceledBoxOpen = false;

} // namespace

MainWindow::MainWindow(Configuration* config)
    : QWidget(nullptr)
    , m_Config(config)
    , m_Engine(nullptr)
    , m_Finished(false)
    , m_UserAborted(false)
    , m_Started(false)
    , m_RebootRequested(false)
    , m_FatalError(false)
{
    // The form's logo lives in a static library's resources.
    Q_INIT_RESOURCE(resources);
    instance = this;
    PrePostInstallTaskSpecification::setRebootReceiver(this);

    m_Engine = new UpdateEngine(config, this);
    connect(m_Engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(m_Engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(m_Engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(m_Engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(m_Engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(m_Engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(m_Engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    setupUi(this);

    // Queued, so that the details log has been shown or hidden by the
    // button's toggle before it is scrolled.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
        Qt::QueuedConnection);
    kelvarionLabel->setUrl(QString::fromLatin1(kMakerWebSite));
    outputTextEdit->hide();

    SingleInstanceChecker* checker = new SingleInstanceChecker(this);
    connect(checker, &SingleInstanceChecker::otherInstanceActivate, this,
        &MainWindow::onOtherInstanceActivate);

    connect(config, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    connect(config, &Configuration::ready, this, &MainWindow::onStartUpdate);

    m_Engine->getBanner();

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.width() / 2 - width() / 2, area.height() / 2 - height() / 2);
    }
}

MainWindow::~MainWindow()
{
    instance = nullptr;
}

void MainWindow::updateVersionLabel()
{
    QString channel;
    switch (m_Config->m_Channel) {
    case CHANNEL_STABLE:
        channel = tr("Stable");
        break;
    case CHANNEL_BETA:
        channel = tr("Beta");
        break;
    case CHANNEL_ALPHA:
        channel = tr("Alpha");
        break;
    default:
        break;
    }

    QString text;
    if (!m_Config->m_VersionString.isEmpty()) {
        text += QLatin1String("<div style=\"font-weight:bold;font-size:14px\">")
            + tr("Update to Kelvarion %1").arg(m_Config->m_VersionString) + QLatin1String("</div>");
    }
    text += QLatin1String("<div style=\"margin-top:4px\">")
        + tr("You are currently on <strong>%1 channel</strong>.").arg(channel)
        + QLatin1String("</div>");
    text += QLatin1String("<div style=\"margin-top:4px;font-style:italic\">")
        + (m_Config->m_ClientUpdate != 0 ? tr("Step two: Updating Kelvarion client")
                                         : tr("Step one: Updating updater"))
        + QLatin1String("</div>");
    versionLabel->setText(text);
}

void MainWindow::write_force_update_file(const QString& name)
{
    // Written without following a link that someone else may have planted
    // under the marker's name in the shared directory.
    if (!SafeTempFile::writeFile(tempFilePath(name), QByteArray())) {
        const QString failure = QStringLiteral("Failed to store force update notice");
        onAppendText(failure);
        qDebug() << failure;
    }
}

void MainWindow::delete_force_update_files()
{
    qDebug() << "delete_force_update_files" << m_Config->m_ClientUpdate;
    if (m_Config->m_ClientUpdate != 0)
        return;
    SafeTempFile::removeFile(tempFilePath(forceUpdateFileName));
    SafeTempFile::removeFile(tempFilePath(forceUpdateCheckFileName));
}

void MainWindow::onRebootWithConfirmation()
{
    qDebug() << "onRebootWithConfirmation";
    m_RebootRequested = true;
    const QMessageBox::StandardButton answer = QMessageBox::question(this, tr("Confirm reboot"),
        tr("<p>A computer restart is required to proceed with the client update. "
           "If you do not "
           "reboot now, the Kelvarion update will be cancelled.</p><p>Do you "
           "want to reboot "
           "now?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) {
        write_force_update_file(forceUpdateFileName);
        QApplication::beep();
    } else {
        write_force_update_file(forceUpdateCheckFileName);
    }
    QCoreApplication::exit(0);
}

void MainWindow::showCriticalBox(const QString& text)
{
    QMessageBox::critical(
        this, QCoreApplication::translate("QObject", "Error"), text, QMessageBox::Ok);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    m_FatalError = true;
    showCriticalBox(errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    m_FatalError = true;
    showCriticalBox(errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    showCriticalBox(errorMessage);
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate" << trueFalse(m_Finished) << trueFalse(m_Started);
    if (m_Finished || m_Started)
        return;
    if (m_FatalError) {
        qDebug() << "Not starting update after a fatal error";
        return;
    }
    if (m_Engine->isBusy()) {
        qDebug() << "Session already active";
        return;
    }
    if (!m_Config->m_Ready) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    if (!m_Engine->initialize())
        return;
    qDebug() << "Update engine initialized";
    m_Started = true;
    m_Engine->startUpdate();
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    const QStringList args {QStringLiteral("--clientupdate"), Configuration::defaultClientType(1),
        QString::number(m_Config->m_Version),
        m_Config->m_VersionString.isEmpty() ? QStringLiteral("#") : m_Config->m_VersionString};
    ProcessTools::startClientUpdater(m_Config->m_TempDir, args);
    close();
}

void MainWindow::onStartKV3Client()
{
    if (m_Config->m_ClientUpdate != 1)
        return;
    ProcessTools::startKv3Client(m_Config->m_InstallDir);
    close();
}

void MainWindow::onAppendText(QString text)
{
    outputTextEdit->append(text);
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    // The root task's sum climbs past 1 before its end sets it back to 1, so
    // values beyond the bar (and anything not a number) leave it as it is.
    const qreal scaled = doneFrac * 1000;
    if (!(scaled > -1.0 && scaled < 1001.0))
        return;
    totalProgressBar->setValue(int(scaled));
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    m_Finished = true;
    if (m_RebootRequested)
        return;
    if (m_Config->m_ClientUpdate != 0)
        QTimer::singleShot(kSuccessorDelayMs, this, &MainWindow::onStartKV3Client);
    else
        QTimer::singleShot(kSuccessorDelayMs, this, &MainWindow::onStartNewUpdater);
}

void MainWindow::onUpdateCanceled()
{
    if (m_UserAborted) {
        QCoreApplication::exit(0);
        return;
    }
    m_Finished = false;
    m_Engine->reset();
    onAppendText(tr("Update cancelled"));
    totalProgressBar->setValue(0);
    if (s_CanceledBoxOpen)
        return;
    s_CanceledBoxOpen = true;
    QMessageBox::critical(this, tr("Update"),
        tr("Update cancelled. Push \"Details\" to check reasons."), QMessageBox::Ok);
    s_CanceledBoxOpen = false;
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    qDebug() << "Banner data available";
    QByteArray format;
    if (!Banner::hasBannerSize(bannerImage, &format)) {
        qDebug() << "Banner image is not a PNG, JPEG or GIF of a banner's size, ignored";
        return;
    }
    QPixmap pixmap;
    if (!pixmap.loadFromData(bannerImage, format.constData())) {
        qDebug() << "Could not load pixmap for banner. Error in data";
        return;
    }
    const QUrl parsed(clickUrl, QUrl::TolerantMode);
    banner->setToolTip(
        tr("Click to open \"%1://%2\"").arg(parsed.scheme(), parsed.host(QUrl::FullyDecoded)));
    banner->setUrl(clickUrl);
    banner->setPixmap(pixmap);
    qDebug() << "Banner pixmap loaded";

    // Cached for the next run. The shared directory may hold links or files
    // of other users under these names; those are left alone.
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    // Encoded anew, a picture may outgrow what the next run reads back; such
    // a cache would only be refused there, so nothing is cached then.
    if (!pixmap.save(&buffer, "JPG") || jpeg.size() > UpdateEngine::kMaxBannerSize) {
        qDebug() << "Banner image cannot be cached";
        return;
    }
    if (!SafeTempFile::writeFile(tempFilePath(kBannerImageName), jpeg))
        qDebug() << "Banner image cache cannot be written safely, not cached";
    if (!SafeTempFile::writeFile(
            tempFilePath(kBannerUrlName), clickUrl.toUtf8().toPercentEncoding()))
        qDebug() << "Banner address cache cannot be written safely, not cached";
}

void MainWindow::onDetailsPressed()
{
    if (outputTextEdit->isVisible())
        outputTextEdit->verticalScrollBar()->setValue(
            outputTextEdit->verticalScrollBar()->maximum());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_Engine->isBusy()) {
        event->ignore();
        if (m_UserAborted)
            return;
        const QMessageBox::StandardButton answer = QMessageBox::question(this, tr("Question"),
            tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
            QMessageBox::Yes | QMessageBox::No);
        if (answer == QMessageBox::Yes) {
            m_UserAborted = true;
            m_Engine->cancelUpdate();
        }
        return;
    }
    if (m_Config->m_ClientUpdate == 1) {
        qDebug() << "*** Deleting temp banner";
        SafeTempFile::removeFile(tempFilePath(kBannerImageName));
        SafeTempFile::removeFile(tempFilePath(kBannerUrlName));
    }
    event->accept();
}
