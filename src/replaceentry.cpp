#include "replaceentry.h"

#include <QFileInfo>

QString ReplaceEntry::filePath(const QString& namePrefix) const
{
    if (namePrefix.isEmpty())
        return installPath();
    const QFileInfo path(installPath());
    const QString directory = path.path();
    const QString name = namePrefix + path.fileName();
    return directory == QLatin1String(".") ? name : directory + QLatin1Char('/') + name;
}
