#include "productini.h"

#include "configuration.h"

#include <QSettings>

const QString productIniDeleteSection = QStringLiteral("delete");
const QString productIniPreInstallSection = QStringLiteral("preinstall");
const QString productIniPostInstallSection = QStringLiteral("postinstall");

QString productIniFileName(int clientUpdate)
{
    const QString prefix = clientUpdate != 0 ? QStringLiteral("kv3_") : QString();
    return prefix + Configuration::defaultClientType(clientUpdate) + QStringLiteral(".ini");
}

int countIniKeys(QSettings& ini)
{
    int count = 0;
    const QStringList sections = ini.childGroups();
    for (const QString& section : sections) {
        ini.beginGroup(section);
        count += ini.allKeys().size();
        ini.endGroup();
    }
    return count;
}

int osFromName(const QString& name)
{
    static const QStringList names {QStringLiteral("win32"), QStringLiteral("win64"),
        QStringLiteral("linux32"), QStringLiteral("linux64"), QStringLiteral("mac")};
    return names.indexOf(name.toLower()) + 1;
}

int currentOs()
{
    return OS_LINUX32;
}

bool isPatchKey(const QString& key)
{
    return key.endsWith(QLatin1String("_patch_"));
}

QStringList splitFields(const QString& value)
{
    return value.split(QStringLiteral("::"), Qt::KeepEmptyParts);
}

bool staysInside(const QString& relativePath)
{
    if (relativePath.startsWith(QLatin1Char('/')))
        return false;
    bool namesEntry = false;
    const QStringList components = relativePath.split(QLatin1Char('/'));
    for (const QString& component : components) {
        if (component == QLatin1String(".."))
            return false;
        if (!component.isEmpty() && component != QLatin1String("."))
            namesEntry = true;
    }
    return namesEntry;
}
