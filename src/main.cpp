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

} // namespace

int main(int argc, char* argv[])
{
    Configuration::createMissingSystemTemp();
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

    // Missing files leave the texts in English.
    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    updateTranslator.load(appDir + QLatin1String("/translations/update_") + locale);
    QTranslator qtTranslator;
    qtTranslator.load(appDir + QLatin1String("/translations/qt_") + locale);
    app.installTranslator(&updateTranslator);
    app.installTranslator(&qtTranslator);

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
