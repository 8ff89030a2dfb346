#ifndef TESTINIFILES_H
#define TESTINIFILES_H

#include <QCoreApplication>
#include <QSettings>
#include <QString>
#include <QVariantMap>

// The update.ini beside the running test program, which the code under test
// reads as the one beside the updater.
inline QString appIniPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/update.ini");
}

// Writes values into group of the INI file at path, keeping what else is there.
inline void writeIniGroup(const QString& path, const QString& group, const QVariantMap& values)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(group);
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
    settings.sync();
}

#endif
