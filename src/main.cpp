#include "configuration.h"
#include "mainwindow.h"
#include "protobufhelper.h"
#include "singleinstancechecker.h"
#include "updateengine.h"
#include "updatelogfile.h"
#include "updateversions.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>

namespace {

const int kStartDelayMs = 2000;

// Leftovers of earlier versions and of an earlier self-update.
void removeOldFiles(const QString& appDir)
{
    UpdateEngine::removeQt4Files(appDir);
    UpdateEngine::removeOldFiles(appDir);
    for (const char* sub : {"/old", "/imageformats", "/accessible", "/sqldrivers"})
        UpdateEngine::removeOldFiles(appDir + QLatin1String(sub));
    // Only an empty directory goes; anything still in it keeps it.
    QDir(appDir).rmdir(QStringLiteral("old"));
    qDebug() << "Removing old files done";
}

// Missing files leave the texts in English.
void installTranslations(QTranslator* update, QTranslator* qt)
{
    const QString appDir = Configuration::getAppDir();
    const QString locale = QLocale::system().name();
    update->load(appDir + QLatin1String("/translations/update_") + locale);
    qt->load(appDir + QLatin1String("/translations/qt_") + locale);
    QCoreApplication::installTranslator(update);
    QCoreApplication::installTranslator(qt);
}

// TMPDIR names no directory and none could be made there: the log, the
// markers, the update's files and the single-instance socket would all go
// under the root directory. The run stops with the error box and makes
// nothing.
int refuseUnusableTemp(int argc, char* argv[])
{
    // Qt looks up its runtime directory as it starts. Without a usable
    // XDG_RUNTIME_DIR it makes one below the temporary directory, which would
    // be the root directory; below /dev/null nothing can be made.
    qputenv("TMPDIR", "/dev/null");
    QApplication app(argc, argv);
    QTranslator updateTranslator;
    QTranslator qtTranslator;
    installTranslations(&updateTranslator, &qtTranslator);
    QMessageBox::critical(nullptr, QCoreApplication::translate("QObject", "Error"),
        QStringLiteral("Unable to get temp directory."), QMessageBox::Ok);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!Configuration::createMissingSystemTemp())
        return refuseUnusableTemp(argc, argv);
    initProtobuf();
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    UpdateLogFile::getInstance();
    qInstallMessageHandler(updateMessageHandler);

    QApplication app(argc, argv);
    const QString appDir = Configuration::getAppDir();
    qDebug() << "Kelvarion updater started";

    removeOldFiles(appDir);

    if (SingleInstanceChecker::send(QStringLiteral("#"))) {
        qDebug() << "Detected other instance running, aborting";
        return 0;
    }

    QTranslator updateTranslator;
    QTranslator qtTranslator;
    installTranslations(&updateTranslator, &qtTranslator);

    Configuration config;
    MainWindow window(&config);

    if (!config.parseCommandLineOptions()) {
        qDebug() << "Failed to parse command line options, aborting";
        return 1;
    }

    QTimer::singleShot(kStartDelayMs, &window, SLOT(onStartUpdate()));
    window.updateVersionLabel();
    window.show();
    window.delete_force_update_files();

    const int status = app.exec();

    UpdateLogFile::getInstance()->close();
    shutdownProtobuf();
    return status;
}
