#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include "updateversions.h"

#include <QObject>
#include <QString>
#include <QStringList>

// Update channels; the number is what m_Channel holds.
enum UpdateChannel
{
    CHANNEL_STABLE = 0,
    CHANNEL_BETA = 1,
    CHANNEL_ALPHA = 2
};

// File-server base address of the whole run, always ending in "/"; set by
// Configuration::getUpdateChannel. Downloads append the version number and
// the file's path.
extern QString updateBaseUrl;

// The settings of one run: stage, channel, client type, release, directories,
// proxy and parallel downloads. Built at start-up from the command line, the
// channel settings of an update.ini and, when neither names the release, the
// versions server. Other parts of the updater read the fields directly.
class Configuration : public QObject
{
    Q_OBJECT
public:
    Configuration();

    // The whole start-up parse of the application's arguments; false ends
    // the process with status 1.
    bool parseCommandLineOptions();
    // The same for a given argument list (index 0 is the program).
    bool parseCommandLineOptions(const QStringList& arguments);

    // Channel, alpha version number and updateBaseUrl from the first
    // update.ini found (configuration directory, then application directory).
    void getUpdateChannel();
    // Client type args[first] and version number args[first + 1].
    bool parseClientArguments(const QStringList& args, int first);
    // Sets m_Version from text unless it is already known; on a bad number
    // emits fatalError with errorFormat (%1 = text) and returns false.
    bool setVersion(const QString& text, const QString& errorFormat);
    // Default client type; starts the versions query when the release is
    // still unknown. Always true.
    bool getDefaultParameters();
    // Directories of an unfinished earlier session, or empty texts for a new
    // temporary directory and the application directory.
    bool initalizeStart(const QString& tempDir, const QString& installDir);
    // Creates a new "kelvarion_temp_N" in the system temporary directory.
    bool createTempDir();
    // Proxy and parallel downloads from group "update" of the application
    // directory's update.ini.
    void readUpdateSettings();

    static QString getConfigDir();
    static QString getAppDir();
    static QString getClientScriptName();
    static QString defaultClientType(int clientUpdate);
    // The system temporary directory followed by "/kelvarion_temp_"; the
    // update's temporary directory is this and a number below
    // tempDirCandidates. Empty when there is no system temporary directory.
    static QString tempDirPrefix();
    // Creates TMPDIR when it names a missing directory. Until then the log,
    // the banner cache, the markers and the single-instance socket would
    // resolve under the root directory, so main calls this first. False
    // when TMPDIR names no directory even then (a link that points nowhere,
    // a path that cannot be made): nothing may then be made at all.
    static bool createMissingSystemTemp();
    static constexpr int tempDirCandidates = 1000;
    bool getClientBinaryName(const QString& dir) const;

    bool m_Ready;
    int m_ClientUpdate;
    int m_Channel;
    QString m_ClientType;
    int m_Version;
    QString m_VersionString;
    QString m_TempDir;
    QString m_InstallDir;
    QString m_Proxy;
    int m_Streams;

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

public slots:
    void on_updateAvailable(UpdateVersions versions);

private:
    void showQueryFailedBox();

    // The versions query has been started; its reply decides readiness.
    bool m_QueryStarted;
};

#endif
