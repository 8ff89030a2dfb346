#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include "httpfetch.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class BannerDownload;
class Configuration;
class MainTaskSpecification;
class QNetworkAccessManager;
class QTimer;

// The session of one updater process. The window owns it and drives it:
// initialize() sets up the cryptography, continues or clears an unfinished
// earlier session and records the new one; startUpdate() builds the task tree
// and runs it. The engine relays the tree's progress, messages and errors,
// polls it once a second (the poll also drives the downloads' stall
// time-out), cleans up after a successful run and reports the run's end. It
// owns the network access manager that every download and the banner fetch
// use.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum EngineState
    {
        PRE_INIT = 0,
        POST_INIT = 1,
        RUNNING = 2,
        FINISHED = 3,
        CANCELED = 4
    };

    UpdateEngine(Configuration* config, QObject* parent);
    ~UpdateEngine() override;

    bool initialize();
    bool startUpdate();
    bool isBusy() const;
    void reset();
    // Shows the cached banner, or asks the banner server for one.
    void getBanner();
    void cleanup();
    // Empties dir (files and subdirectories, not symbolic links); dir stays.
    void removeDirectory(const QString& dir);

    // Start-up clean-up of files that an earlier update left in dir.
    static void removeOldFiles(const QString& dir);
    static void removeQt4Files(const QString& dir);

    int state() const { return m_State; }
    QNetworkAccessManager* networkManager() const { return m_NetworkManager; }
    MainTaskSpecification* rootTask() const { return m_RootTask; }
    bool bannerDownloadInProgress() const { return p_BannerDownload != nullptr; }

    // How long the banner image may take before it is given up.
    void setBannerTimeout(int ms) { m_BannerTimeoutMs = ms; }

    // A banner image larger than this is dropped.
    static constexpr qint64 kMaxBannerSize = 270000;

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(
        qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed, bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

public slots:
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished(const QByteArray& image);

private:
    void setUpProxy();
    void dropBannerDownload();
    void dropRootTask();
    // Empties dir and removes it from its parent when the parent can be
    // entered; true when the directory is gone.
    bool removeSessionDirectory(const QString& dir);

    int m_State;
    Configuration* m_Config;
    MainTaskSpecification* m_RootTask;
    QTimer* m_Timer;
    QNetworkAccessManager* m_NetworkManager;
    QString m_BannerClickUrl;
    // The banner image download in progress; null when none.
    BannerDownload* p_BannerDownload;
    int m_BannerTimeoutMs = HttpFetch::kDeadlineMs;
    // cancelUpdate() was called during this run.
    bool m_CancelRequested;
};

#endif
