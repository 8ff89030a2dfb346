#include "updateengine.h"

#include "banner.h"
#include "bannerdownload.h"
#include "configuration.h"
#include "cryptwrapper.h"
#include "httpfetch.h"
#include "maintaskspecification.h"
#include "safetempfile.h"
#include "updateinidata.h"
#include "weburl.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <cstdlib>
#include <initializer_list>

namespace {

constexpr int kPollIntervalMs = 1000;
constexpr quint16 kDefaultProxyPort = 3128;

const char* const kBannerImageName = "/kelvarion_banner.jpg";
const char* const kBannerUrlName = "/kelvarion_banner.txt";

// Reads a banner cache file of the shared temporary directory. Any local user
// can put anything there, so only a regular file is read (a pipe would block
// the start) and never more than a banner may hold.
QByteArray readBannerCacheFile(const QString& path)
{
    // The cache lies in the shared temporary directory: a file that another
    // user planted there (or a link to one) would show that user's banner and
    // address. Only the running user's own files count.
    QByteArray data;
    if (!SafeTempFile::readFile(path, UpdateEngine::kMaxBannerSize + 1, &data)) {
        if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
            qDebug() << "Banner cache" << path << "is not this user's own file, ignored";
        return QByteArray();
    }
    if (data.size() > UpdateEngine::kMaxBannerSize)
        return QByteArray();
    return data;
}

// Removes prefix + each name from dir where it exists.
void removeNamedFiles(
    const QString& dir, const char* prefix, std::initializer_list<const char*> names)
{
    const QDir directory(dir);
    for (const char* name : names) {
        const QString path
            = directory.absoluteFilePath(QLatin1String(prefix) + QLatin1String(name));
        if (QFile::exists(path)) {
            qDebug() << "Remove" << path;
            QFile::remove(path);
        }
    }
}

} // namespace

UpdateEngine::UpdateEngine(Configuration* config, QObject* parent)
    : QObject(parent)
    , m_State(PRE_INIT)
    , m_Config(config)
    , m_RootTask(nullptr)
    , m_Timer(nullptr)
    , m_NetworkManager(nullptr)
    , p_BannerDownload(nullptr)
    , m_CancelRequested(false)
{
    connect(m_Config, &Configuration::message, this, &UpdateEngine::message);
    m_Timer = new QTimer(this);
    connect(m_Timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    m_NetworkManager = new QNetworkAccessManager(this);
    m_Config->readUpdateSettings();
    setUpProxy();
}

UpdateEngine::~UpdateEngine() = default;

void UpdateEngine::setUpProxy()
{
    const QString proxy = m_Config->m_Proxy;
    if (proxy.isEmpty()) {
        m_NetworkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(proxy, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty()) {
        // The window connects to our signals only after construction, so
        // the error is reported from the event loop.
        const QString text = QStringLiteral("'%1' is an invalid proxy specification").arg(proxy);
        QMetaObject::invokeMethod(
            this, [this, text]() { emit fatalError(text); }, Qt::QueuedConnection);
        return;
    }
    m_NetworkManager->setProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(kDefaultProxyPort))));
}

bool UpdateEngine::initialize()
{
    if (m_State != PRE_INIT)
        qFatal("ASSERT: \"m_State == PRE_INIT\" in file %s, line %d", __FILE__, __LINE__);

    try {
        cryptInit();
    } catch (const crypt_exception& e) {
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }
    std::srand(unsigned(QDateTime::currentSecsSinceEpoch()));

    int version = 0;
    QString tempDir;
    QString installDir;
    if (UpdateIniData::get(&version, nullptr, &tempDir, &installDir)) {
        qDebug() << "Current version =" << version << "/ new version =" << m_Config->m_Version;
        if (version == m_Config->m_Version) {
            qDebug() << "Continuing previous session";
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        } else {
            qDebug() << "Cleaning up previous session";
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                             .arg(version)
                             .arg(tempDir));
            emit message(removeSessionDirectory(tempDir)
                    ? QStringLiteral("Ok")
                    : QStringLiteral("Failed to remove directory"));
            // Only the session goes: the channel and proxy the user wrote
            // beside the updater are needed by this run and every later one.
            UpdateIniData::removeSession();
            tempDir.clear();
            installDir.clear();
        }
    } else {
        tempDir.clear();
        installDir.clear();
    }

    if (!m_Config->initalizeStart(tempDir, installDir))
        return false;

    qDebug() << "initialize"
             << "modifying update.ini" << m_Config->m_ClientUpdate;
    UpdateIniData::modify(
        m_Config->m_Version, m_Config->m_TempDir, m_Config->m_InstallDir, m_Config->m_ClientType);
    m_State = POST_INIT;
    return true;
}

bool UpdateEngine::startUpdate()
{
    if (m_State != POST_INIT)
        qFatal("ASSERT: \"m_State == POST_INIT\" in file %s, line %d", __FILE__, __LINE__);

    qDebug() << "Starting update";
    m_RootTask = new MainTaskSpecification(m_NetworkManager, m_Config, this, 1.0);
    connect(m_RootTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_RootTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_RootTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_RootTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_RootTask, &TaskSpecification::message, this, &UpdateEngine::message);
    m_State = RUNNING;
    m_CancelRequested = false;
    m_Timer->start(kPollIntervalMs);
    m_RootTask->execute();
    return true;
}

bool UpdateEngine::isBusy() const
{
    return m_State == POST_INIT || m_State == RUNNING;
}

void UpdateEngine::reset()
{
    if (m_State != CANCELED)
        qFatal("ASSERT: \"m_State==CANCELED\" in file %s, line %d", __FILE__, __LINE__);
    m_State = PRE_INIT;
    dropRootTask();
}

void UpdateEngine::dropRootTask()
{
    if (!m_RootTask)
        return;
    disconnect(m_RootTask, nullptr, this, nullptr);
    // The task may be inside its own signal emission.
    m_RootTask->deleteLater();
    m_RootTask = nullptr;
}

void UpdateEngine::cancelUpdate()
{
    if (m_State == RUNNING && m_RootTask) {
        m_CancelRequested = true;
        m_RootTask->cancel();
    }
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING || !m_RootTask)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    m_RootTask->getDownloadProgress(&done, &total, &speed, &downloading);
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    m_Timer->stop();
    cleanup();
    m_State = FINISHED;
    emit message(QStringLiteral("Update successfully finished"));
    dropRootTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    // A composed task that fails inside a child's signal may report again
    // when the child ends; the run has ended once.
    if (m_State != RUNNING)
        return;
    m_Timer->stop();
    m_State = CANCELED;
    // A cancel stops running downloads, which may then end failed; the run
    // still ended because the user asked.
    if (m_CancelRequested || (m_RootTask && m_RootTask->state() == STATE_CANCELED))
        emit message(QStringLiteral("User aborted update"));
    dropRootTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

bool UpdateEngine::removeSessionDirectory(const QString& dir)
{
    removeDirectory(dir);
    QDir parent(dir);
    if (!parent.cdUp())
        return false;
    return parent.rmdir(QFileInfo(dir).fileName());
}

void UpdateEngine::cleanup()
{
    qDebug() << "cleanup";
    const QString iniPath = UpdateIniData::getIniPath();
    if (m_Config->m_ClientUpdate == 0) {
        // Stage two reads the copy of the session that stage one wrote into
        // the update's temporary directory. The user's own settings beside
        // the updater (channel, proxy) are needed by every later update.
        UpdateIniData::removeSession();
        qDebug() << "Deleted local update.ini" << iniPath;
        emit message(QStringLiteral("Removed temporary update.ini"));
        return;
    }
    qDebug() << "Removing temporary files";
    emit message(QStringLiteral("Remove temporary files..."));
    QString tempDir;
    if (UpdateIniData::get(nullptr, nullptr, &tempDir, nullptr)) {
        removeSessionDirectory(tempDir);
        QFile::remove(iniPath);
    }
    emit message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::removeDirectory(const QString& dir)
{
    QDir directory(dir);
    const QDir::Filters common = QDir::Hidden | QDir::System | QDir::NoSymLinks;
    for (const QFileInfo& file : directory.entryInfoList(QDir::Files | common))
        QFile::remove(file.absoluteFilePath());
    for (const QFileInfo& sub :
        directory.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | common)) {
        removeDirectory(sub.absoluteFilePath());
        directory.rmdir(sub.fileName());
    }
}

void UpdateEngine::removeOldFiles(const QString& dir)
{
    removeNamedFiles(dir, "_old_",
        {"update", "libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4",
            "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5", "libQt5Sql.so.5",
            "libqgif.so", "libqjpeg.so", "libqtaccessiblewidgets.so", "libsqlite.so"});
}

void UpdateEngine::removeQt4Files(const QString& dir)
{
    removeNamedFiles(
        dir, "", {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"});
}

void UpdateEngine::getBanner()
{
    const QString temp = QDir::tempPath();
    const QByteArray image = readBannerCacheFile(temp + QLatin1String(kBannerImageName));
    QByteArray encoded = readBannerCacheFile(temp + QLatin1String(kBannerUrlName));
    QByteArray decoded = QByteArray::fromPercentEncoding(encoded);
    const int zero = decoded.indexOf('\0');
    if (zero >= 0)
        decoded.truncate(zero);
    const QString clickUrl = QString::fromUtf8(decoded);
    if (!image.isEmpty() && !clickUrl.isEmpty()) {
        qDebug() << "Found temp banner" << clickUrl;
        emit bannerFound(image, clickUrl);
        return;
    }
    if (p_BannerDownload)
        return;
    Banner* banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    connect(banner, &Banner::finished, banner, &QObject::deleteLater);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    qDebug() << "Found banner" << bannerUrl << clickUrl;
    const QUrl url(bannerUrl, QUrl::TolerantMode);
    if (!isWebUrl(url)) {
        qDebug() << "Banner url is invalid:" << bannerUrl;
        return;
    }
    // A second reply replaces a download still under way.
    dropBannerDownload();
    qDebug() << "Requesting banner from" << url;
    m_BannerClickUrl = clickUrl;
    // The same proxy as every download, on a connection of the banner's own
    // that its deadline closes for certain (see BannerDownload).
    p_BannerDownload = new BannerDownload(
        url, m_NetworkManager->proxy(), kMaxBannerSize, m_BannerTimeoutMs, this);
    connect(p_BannerDownload, &BannerDownload::downloaded, this,
        &UpdateEngine::onBannerDownloadFinished);
    connect(p_BannerDownload, &BannerDownload::failed, this, [this](const QString& reason) {
        qDebug().noquote() << reason;
        dropBannerDownload();
    });
    p_BannerDownload->start();
}

void UpdateEngine::dropBannerDownload()
{
    if (!p_BannerDownload)
        return;
    disconnect(p_BannerDownload, nullptr, this, nullptr);
    p_BannerDownload->deleteLater();
    p_BannerDownload = nullptr;
}

void UpdateEngine::onBannerDownloadFinished(const QByteArray& image)
{
    if (!p_BannerDownload)
        return;
    qDebug() << "Banner download finished";
    dropBannerDownload();
    emit bannerFound(image, m_BannerClickUrl);
}
