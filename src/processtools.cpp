#include "processtools.h"

#include "configuration.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>

void ProcessTools::startKv3Client(const QString& dir)
{
    qDebug() << "startKv3Client";
    startKv3Client_linux(dir);
}

void ProcessTools::startKv3Client_linux(const QString& dir)
{
    const QString path = dir + QLatin1Char('/') + Configuration::getClientScriptName();
    qDebug() << "starting " << path;
    QProcess::startDetached(path, QStringList(), dir);
}

void ProcessTools::startClientUpdater(const QString& dir, const QStringList& args)
{
    qDebug() << "startClientUpdater" << dir << args;
    startNewUpdater_linux(dir, args);
}

void ProcessTools::startNewUpdater_linux(const QString& dir, const QStringList& args)
{
    const QString path = dir + QLatin1String("/update");
    qDebug() << "startNewUpdater_linux" << path;
    if (!QFileInfo::exists(path)) {
        qDebug() << "Failed to find" << path;
        return;
    }
    qDebug() << "starting" << path;
    QProcess::startDetached(path, args, dir);
}
