#include "configuration.h"

#include "buildconfig.h"
#include "updatechecker.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QWidget>

#include <sys/stat.h>
#include <sys/types.h>

QString updateBaseUrl;

namespace {

const char* const kUpdateIniName = "update.ini";
const int kDefaultStreams = 6;

// The configuration's user-visible texts share the translation context of
// QObject with the rest of the start-up texts.
QString translated(const char* text)
{
    return QCoreApplication::translate("QObject", text);
}

QString withTrailingSlash(const QString& text)
{
    return text.endsWith(QLatin1Char('/')) ? text : text + QLatin1Char('/');
}

QString builtInBaseUrl()
{
    // Every download appends the version number to the base address, so a
    // build setting without its final "/" would make every address wrong.
    return withTrailingSlash(QString::fromLatin1(KV_UPDATE_BASE_URL));
}

// Creates exactly this directory (not its parents) for its owner only. Fails
// when anything of that name exists already, so a directory or link that
// someone else placed in the shared temporary directory is never taken over.
bool makePrivateDirectory(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), S_IRWXU) != 0)
        return false;
    // The umask may have taken bits away; set the mode exactly.
    return ::chmod(native.constData(), S_IRWXU) == 0;
}

} // namespace

// QDir::tempPath() resolves TMPDIR and is empty while that does not exist.
// Its missing parents are created as any directory would be; TMPDIR itself,
// being made for this user alone, for its owner only.
bool Configuration::createMissingSystemTemp()
{
    const QString wanted = qEnvironmentVariable("TMPDIR");
    if (wanted.isEmpty())
        return true;
    if (QDir::tempPath().isEmpty()) {
        const QString path = QDir::cleanPath(QDir::current().absoluteFilePath(wanted));
        if (QFileInfo(path).isSymLink())
            return false;
        QDir().mkpath(QFileInfo(path).absolutePath());
        makePrivateDirectory(path);
    }
    return QFileInfo(QDir::tempPath()).isDir();
}

Configuration::Configuration()
    : QObject(nullptr)
    , m_Ready(false)
    , m_ClientUpdate(0)
    , m_Channel(CHANNEL_STABLE)
    , m_Version(0)
    , m_Streams(kDefaultStreams)
    , m_QueryStarted(false)
{
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& args)
{
    qDebug() << "parseCommandLineOptions" << args;
    const int count = args.size();
    const QString clientUpdateFlag = QStringLiteral("--clientupdate");
    m_ClientUpdate = (count >= 2 && args.at(1) == clientUpdateFlag) ? 1 : 0;

    getUpdateChannel();

    if (count >= 2 && (args.at(1) == QLatin1String("--nouser") || args.at(1) == clientUpdateFlag)) {
        qDebug() << "CLIENTUPDATE" << (m_ClientUpdate ? "true" : "false");
        if (count >= 4 && !parseClientArguments(args, 2))
            return false;
        if (count >= 5 && args.at(4) != QLatin1String("#"))
            m_VersionString = args.at(4);
        getDefaultParameters();
    } else if (count == 3) {
        if (!parseClientArguments(args, 1))
            return false;
    } else {
        qDebug() << "Empty cmdline params";
        getDefaultParameters();
    }

    // When the query runs, its reply decides readiness.
    if (!m_QueryStarted)
        m_Ready = true;
    return true;
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString path = getConfigDir() + QLatin1String(kUpdateIniName);
    bool exists = QFileInfo::exists(path);
    qDebug() << "Update ini check #1 in CONFIG" << path << (exists ? "true" : "false");
    if (exists) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        path = getAppDir() + QLatin1Char('/') + QLatin1String(kUpdateIniName);
        exists = QFileInfo::exists(path);
        qDebug() << "Update ini check #2 in INSTALL" << path << (exists ? "true" : "false");
        if (!exists) {
            m_Channel = CHANNEL_STABLE;
            m_Version = 0;
            updateBaseUrl = builtInBaseUrl();
            qDebug() << "No update.ini found, using stable channel, URL =" << updateBaseUrl;
            return;
        }
        qDebug() << "Found INSTALL/update.ini";
    }

    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha"), QString()).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();

    if (!alpha.isEmpty()) {
        m_Channel = CHANNEL_ALPHA;
        m_Version = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
        updateBaseUrl = withTrailingSlash(alpha);
        qDebug() << "Alpha channel detected, URL =" << updateBaseUrl;
        return;
    }
    m_Channel = beta ? CHANNEL_BETA : CHANNEL_STABLE;
    m_Version = 0;
    updateBaseUrl = builtInBaseUrl();
    qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << updateBaseUrl;
}

bool Configuration::parseClientArguments(const QStringList& args, int first)
{
    if (first < 0 || args.size() <= first) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    if (args.size() <= first + 1) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    m_ClientType = args.at(first);
    return setVersion(
        args.at(first + 1), translated(QT_TRANSLATE_NOOP("QObject", "Invalid version nr (%1)")));
}

bool Configuration::setVersion(const QString& text, const QString& errorFormat)
{
    // A version number from the Alpha channel's settings wins over any other.
    if (m_Version != 0)
        return true;
    bool ok = false;
    const int version = text.toInt(&ok, 10);
    if (!ok) {
        m_Version = 0;
        emit fatalError(errorFormat.arg(text));
        return false;
    }
    m_Version = version;
    return true;
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_ClientType;
    if (m_ClientType.isEmpty())
        m_ClientType = defaultClientType(m_ClientUpdate);
    qDebug() << "clientType" << m_ClientType;
    if (m_Version != 0)
        return true;

    UpdateChecker* checker = new UpdateChecker(this);
    connect(checker, &UpdateChecker::update_available, this, &Configuration::on_updateAvailable,
        Qt::DirectConnection);
    m_QueryStarted = true;
    checker->check();
    return true;
}

bool Configuration::initalizeStart(const QString& tempDir, const QString& installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_TempDir = tempDir;
    else if (!createTempDir())
        return false;
    m_InstallDir = installDir.isEmpty() ? getAppDir() : installDir;
    return true;
}

bool Configuration::createTempDir()
{
    createMissingSystemTemp();
    const QString prefix = tempDirPrefix();
    if (prefix.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }

    // Stage two later runs programs from this directory, so it is created
    // for its owner only.
    for (int n = 0; n < tempDirCandidates; ++n) {
        const QString candidate = prefix + QString::number(n);
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        if (makePrivateDirectory(candidate)) {
            m_TempDir = candidate;
            return true;
        }
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::readUpdateSettings()
{
    QSettings settings(
        getAppDir() + QLatin1Char('/') + QLatin1String(kUpdateIniName), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_Proxy = settings.value(QStringLiteral("proxy"), QString()).toString();
    m_Streams = settings.value(QStringLiteral("streams"), kDefaultStreams).toInt();
    if (m_Streams < 1)
        m_Streams = kDefaultStreams;
}

QString Configuration::tempDirPrefix()
{
    const QString systemTemp = QDir::tempPath();
    if (systemTemp.isEmpty())
        return QString();
    return withTrailingSlash(systemTemp) + QLatin1String("kelvarion_temp_");
}

QString Configuration::getConfigDir()
{
    const QString dir = qEnvironmentVariable("KV3_CONFIG_DIR");
    if (!dir.isEmpty())
        return withTrailingSlash(dir);
    return QDir::homePath() + QLatin1String("/.kv3client/");
}

QString Configuration::getAppDir()
{
    return QCoreApplication::applicationDirPath();
}

QString Configuration::getClientScriptName()
{
    return QStringLiteral("kv3client_runscript.sh");
}

QString Configuration::defaultClientType(int clientUpdate)
{
    return QLatin1String(clientUpdate ? "client" : "update") + QLatin1String("_linux_x86");
}

bool Configuration::getClientBinaryName(const QString& dir) const
{
    if (dir.isEmpty())
        return false;
    return QFileInfo::exists(dir + QLatin1String("/kv3client_linux_x86"))
        || QFileInfo::exists(dir + QLatin1String("/kv3client_linux_amd64"));
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        showQueryFailedBox();
        QCoreApplication::quit();
        return;
    }

    const QPair<QString, QString> version = UpdateChecker::versionForChannel(versions, m_Channel);
    qDebug() << "Received version from remote server:" << version;
    if (version.first.isEmpty()) {
        emit fatalError(
            translated(QT_TRANSLATE_NOOP("QObject", "Update server returned no version")));
        return;
    }
    if (!setVersion(version.first,
            translated(
                QT_TRANSLATE_NOOP("QObject", "Update server returned invalid version nr (%1)"))))
        return;
    m_VersionString = version.second;
    m_Ready = true;
    emit ready();
}

void Configuration::showQueryFailedBox()
{
    // Without a widget application (a run with no display) there is nobody
    // to show the box to; the quit that follows still ends the run.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return;
    QWidget* parent = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("MainWindow")) {
            parent = widget;
            break;
        }
    }
    QMessageBox::critical(parent, translated(QT_TRANSLATE_NOOP("QObject", "Error")),
        translated(QT_TRANSLATE_NOOP(
            "QObject", "Failed to query latest client\nversion from update server.")),
        QMessageBox::Abort);
}
