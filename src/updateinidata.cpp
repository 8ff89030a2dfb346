#include "updateinidata.h"

#include "configuration.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const char* const kSessionGroup = "current";
const char* const kIniName = "update.ini";
} // namespace

bool UpdateIniData::get(int* version, QString* type, QString* dir, QString* kv3dir)
{
    return read(getIniPath(), version, type, dir, kv3dir);
}

QString UpdateIniData::getIniPath()
{
    return QDir(Configuration::getAppDir()).absoluteFilePath(QLatin1String(kIniName));
}

void UpdateIniData::modify(
    int version, const QString& dir, const QString& kv3dir, const QString& type)
{
    const QString path = getIniPath();
    qDebug() << "modify" << path << version << dir << kv3dir << type;
    write(path, version, dir, kv3dir, type);
}

void UpdateIniData::removeSession()
{
    const QString path = getIniPath();
    bool empty = false;
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.remove(QLatin1String(kSessionGroup));
        settings.sync();
        empty = settings.allKeys().isEmpty();
    }
    if (empty)
        QFile::remove(path);
}

void UpdateIniData::modifyTempIni(const QString& tempDir)
{
    const QString target = tempDir + QLatin1Char('/') + QLatin1String(kIniName);
    qDebug() << "modifyTempIni" << target;
    int version = 0;
    QString type;
    QString dir;
    QString kv3dir;
    if (!get(&version, &type, &dir, &kv3dir)) {
        qDebug() << "Failed to read existing update.ini";
        return;
    }
    // Stage two always updates the client, whatever stage one recorded.
    write(target, version, dir, kv3dir, Configuration::defaultClientType(1));
    // Stage two reads the proxy and the number of parallel downloads beside
    // itself, where nothing else would put them: without them an update
    // that needs the proxy could never finish its second stage.
    const QSettings source(getIniPath(), QSettings::IniFormat);
    QSettings copy(target, QSettings::IniFormat);
    for (const char* key : {"update/proxy", "update/streams"}) {
        if (source.contains(QLatin1String(key)))
            copy.setValue(QLatin1String(key), source.value(QLatin1String(key)));
    }
    copy.sync();
}

bool UpdateIniData::read(
    const QString& path, int* version, QString* type, QString* dir, QString* kv3dir)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kSessionGroup));
    bool versionParsed = false;
    const int storedVersion
        = settings.value(QStringLiteral("version")).toString().toInt(&versionParsed, 10);
    const QString storedDir = settings.value(QStringLiteral("dir")).toString();
    const QString storedKv3dir = settings.value(QStringLiteral("kv3dir")).toString();
    const QString storedType = settings.value(QStringLiteral("type")).toString();
    qDebug() << "get" << path << storedVersion << storedDir << storedKv3dir << storedType;

    const bool valid = versionParsed && !storedType.isEmpty() && !storedDir.isEmpty()
        && isSessionDirectory(storedDir);
    if (!valid)
        return false;
    if (version)
        *version = storedVersion;
    if (dir)
        *dir = storedDir;
    if (kv3dir)
        *kv3dir = storedKv3dir;
    if (type)
        *type = storedType;
    return true;
}

bool UpdateIniData::isSessionDirectory(const QString& dir)
{
    const QString prefix = Configuration::tempDirPrefix();
    if (prefix.isEmpty() || !dir.startsWith(prefix))
        return false;
    // The number exactly as the directory's creator writes it: no sign, no
    // leading zero, no trailing "/".
    const QString suffix = dir.mid(prefix.size());
    bool isNumber = false;
    const int n = suffix.toInt(&isNumber, 10);
    if (!isNumber || n < 0 || n >= Configuration::tempDirCandidates || QString::number(n) != suffix)
        return false;
    struct stat info;
    if (::lstat(QFile::encodeName(dir).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

void UpdateIniData::write(const QString& path, int version, const QString& dir,
    const QString& kv3dir, const QString& type)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kSessionGroup));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("kv3dir"), kv3dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
    settings.sync();
}
