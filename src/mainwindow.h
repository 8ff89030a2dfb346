#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "ui_mainwindow.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class Configuration;
class QCloseEvent;
class UpdateEngine;

// Names of the two force-update markers in the system temporary directory.
extern const QString forceUpdateFileName;
extern const QString forceUpdateCheckFileName;

// The updater's only window and the owner of the update session: it creates
// the engine, starts the update once the configuration is ready, shows the
// release, channel, stage, progress, details log, logo and banner, turns the
// engine's errors into boxes and exit statuses, asks before an abort and on
// behalf of an install command that wants a reboot, and starts the next
// process (new updater or client) when the update has finished.
class MainWindow : public QWidget, private Ui::MainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(Configuration* config);
    ~MainWindow() override;

    void updateVersionLabel();
    void write_force_update_file(const QString& name);
    void delete_force_update_files();

    UpdateEngine* engine() const { return m_Engine; }

    // The window of this process while it exists; install commands send
    // their reboot request to it.
    static MainWindow* instance;

public slots:
    void onRebootWithConfirmation();

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onStartUpdate();
    void onStartNewUpdater();
    void onStartKV3Client();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showCriticalBox(const QString& text);

    Configuration* m_Config;
    UpdateEngine* m_Engine;
    bool m_Finished;
    bool m_UserAborted;
    bool m_Started;
    bool m_RebootRequested;
    // Set once an error has ended the run: the start timer or a late
    // configuration may still fire while its box is open.
    bool m_FatalError;
};

#endif
