#include "makedownloadreplacelistfunc.h"

#include "configuration.h"
#include "downloadreplacelists.h"
#include "productini.h"
#include "replacejournal.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

bool isFileSection(const QString& section)
{
    return section != productIniDeleteSection && section != productIniPreInstallSection
        && section != productIniPostInstallSection;
}

// A file line: 2 fields (hash, size) or 5 (hash, size, installed hash,
// installed size, target path). False for any other count and for paths
// that would leave the installation or temporary directory.
bool parseFileLine(const QString& section, const QString& key, const QString& value,
    DownloadEntry* download, ReplaceEntry* replace)
{
    download->section = replace->section = section;
    download->key = replace->key = key;
    const QStringList fields = splitFields(value);
    if (fields.size() != 2 && fields.size() != 5)
        return false;
    download->hash = fields.at(0);
    download->size = fields.at(1).toULongLong();
    if (fields.size() == 5) {
        replace->hash = fields.at(2);
        replace->size = fields.at(3).toULongLong();
        replace->targetPath = fields.at(4);
    }
    return staysInside(key) && (!replace->hasTargetPath() || staysInside(replace->targetPath));
}

// A patch line: hash, size, base hash, base size, target path.
bool parsePatchLine(
    const QString& section, const QString& key, const QString& value, PatchEntry* patch)
{
    const QStringList fields = splitFields(value);
    if (fields.size() != 5)
        return false;
    patch->section = section;
    patch->key = key;
    patch->hash = fields.at(0);
    patch->size = fields.at(1).toULongLong();
    patch->baseHash = fields.at(2);
    patch->baseSize = fields.at(3).toULongLong();
    patch->targetPath = fields.at(4);
    // An empty target serves no file line; it is harmless and stays valid.
    return staysInside(key) && (patch->targetPath.isEmpty() || staysInside(patch->targetPath));
}

QString joinPath(const QString& directory, const QString& relativePath)
{
    return directory + QLatin1Char('/') + relativePath;
}

// What a listed line costs to fetch: a patch less than a packed file, a
// packed file less than the plain one.
int fetchCost(const ReplaceEntry& replace)
{
    return replace.hasPatch() ? 0 : replace.hasTargetPath() ? 1 : 2;
}

// The hash the installed file must have once the line is installed.
QString installedHash(const DownloadEntry& download, const ReplaceEntry& replace)
{
    return (replace.hasTargetPath() ? replace.hash : download.hash).toLower();
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(
    Configuration* config, DownloadReplaceLists* lists)
    : m_Config(config)
    , m_Lists(lists)
{
}

bool MakeDownloadReplaceListFunc::run()
{
    m_Lists->clear();
    m_StageTwo = m_Config->m_ClientUpdate != 0;
    m_Done = 0;
    m_Listed.clear();
    // A replacement phase that was killed left the installation half
    // replaced; put it back before comparing it with the ini, or files it
    // kept aside would be lost and the lists built on a mix of releases.
    if (m_StageTwo && !ReplaceJournal::recover(m_Config->m_InstallDir))
        emit message(QStringLiteral("Could not undo an interrupted update in %1")
                         .arg(m_Config->m_InstallDir));
    const QString iniPath
        = joinPath(m_Config->m_TempDir, productIniFileName(m_Config->m_ClientUpdate));
    qDebug() << "prodIni" << iniPath;
    emit message(QStringLiteral("Compiling download and replace list for ")
        + (m_StageTwo ? QStringLiteral("client") : QStringLiteral("updater")));

    QSettings ini(iniPath, QSettings::IniFormat);
    m_Total = countIniKeys(ini);
    if (m_Total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }
    if (!checkFileLines(ini))
        return false;

    const QStringList sections = ini.childGroups();
    for (const QString& section : sections) {
        ini.beginGroup(section);
        const QStringList allKeys = ini.allKeys();
        QStringList keys;
        QStringList patchKeys;
        for (const QString& key : allKeys)
            (isPatchKey(key) ? patchKeys : keys) << key;
        PatchTable patches;
        if (!readPatchLines(ini, section, patchKeys, &patches))
            return false;
        if (section == productIniDeleteSection)
            compileDeleteSection(ini, keys);
        else if (!isFileSection(section))
            compileCommandSection(ini, section, keys);
        else
            compileFileSection(ini, section, keys, patches);
        ini.endGroup();
    }
    return true;
}

bool MakeDownloadReplaceListFunc::readPatchLines(
    QSettings& ini, const QString& section, const QStringList& patchKeys, PatchTable* patches)
{
    for (const QString& key : patchKeys) {
        PatchEntry patch;
        if (!parsePatchLine(section, key, ini.value(key).toString(), &patch)) {
            warnInvalidLine(section);
            return false;
        }
        patches->insert(patch.targetPath, patch);
        qDebug() << "ADD PATCH" << patch.targetPath << patch.key << patch.hash << patch.size
                 << patch.baseHash << patch.baseSize;
    }
    return true;
}

void MakeDownloadReplaceListFunc::compileDeleteSection(QSettings& ini, const QStringList& keys)
{
    for (const QString& key : keys) {
        countDone();
        if (!staysInside(key)) {
            warnInvalidLine(productIniDeleteSection);
            continue;
        }
        if (!QFileInfo::exists(joinPath(m_Config->m_InstallDir, key)))
            continue;
        // 2 is a directory; 12 and every other code below 10 a file; the
        // rest are ignored.
        const int code = ini.value(key).toInt();
        if (code < 10 || code == 12)
            m_Lists->deleteList.append(DeleteEntry {key, code == 2});
    }
}

void MakeDownloadReplaceListFunc::compileCommandSection(
    QSettings& ini, const QString& section, const QStringList& keys)
{
    PrePostInstallList& commands = section == productIniPreInstallSection
        ? m_Lists->preInstallList
        : m_Lists->postInstallList;
    for (const QString& key : keys) {
        const QStringList value = ini.value(key).toStringList();
        qDebug() << "prepostinstall cmd" << key << "v" << value;
        if (value.isEmpty())
            continue;
        // The command runs from the temporary directory under this name.
        if (!staysInside(key)) {
            warnInvalidLine(section);
            continue;
        }
        const QStringList systems = splitFields(value.at(0));
        const QStringList args = value.size() >= 2 ? splitFields(value.at(1)) : QStringList();
        qDebug() << "--->" << key << "os list" << systems << "args" << args;
        for (const QString& system : systems) {
            if (osFromName(system) == currentOs())
                commands.append(PrePostInstallCommand(key, args));
        }
    }
}

void MakeDownloadReplaceListFunc::compileFileSection(
    QSettings& ini, const QString& section, const QStringList& keys, const PatchTable& patches)
{
    for (const QString& key : keys) {
        countDone();
        DownloadEntry download;
        ReplaceEntry replace;
        if (!parseFileLine(section, key, ini.value(key).toString(), &download, &replace)) {
            warnInvalidLine(section);
            continue;
        }
        compileFileLine(download, replace, patches);
    }
}

void MakeDownloadReplaceListFunc::compileFileLine(
    const DownloadEntry& line, const ReplaceEntry& lineTarget, const PatchTable& patches)
{
    DownloadEntry download = line;
    ReplaceEntry replace = lineTarget;
    const QString installed = joinPath(m_Config->m_InstallDir, replace.installPath());
    const bool exists = QFileInfo::exists(installed);
    const QList<PatchEntry> candidates
        = replace.hasTargetPath() ? patches.values(replace.targetPath) : QList<PatchEntry>();
    qDebug() << "CHECK PATCH" << replace.targetPath << exists << !candidates.isEmpty();

    if (exists) {
        // A patch applies to the installed file whose hash is its base; the
        // most recently listed patch line is tried first.
        bool patched = false;
        for (const PatchEntry& patch : candidates) {
            const bool match = m_Hashes.matches(installed, patch.baseHash);
            qDebug() << "Check Sig" << installed << patch.baseHash << "=>" << match;
            if (match) {
                replace.patchKey = patch.key;
                download.key = patch.key;
                download.hash = patch.hash;
                download.size = patch.size;
                qDebug() << "Found patch for" << line.key << installed;
                patched = true;
                break;
            }
        }
        const QString& expected = replace.hasTargetPath() ? replace.hash : line.hash;
        if (!patched && m_Hashes.matches(installed, expected)) {
            if (!m_StageTwo)
                copyCurrentFile(installed, replace);
            return;
        }
    }

    if (!listReplace(replace))
        return;
    const QString fetched = joinPath(m_Config->m_TempDir, download.key);
    if (QFileInfo::exists(fetched) && m_Hashes.matches(fetched, download.hash))
        return;
    m_Lists->downloadList.append(download);
    qDebug() << "Queueing download:" << line.key;
}

bool MakeDownloadReplaceListFunc::listReplace(const ReplaceEntry& replace)
{
    // Two lines may name one installed path (a plain and a packed form, or
    // the path spelled with "." components); replacing it twice would keep
    // the installed file aside twice. Such lines agree on the content (the
    // ini is refused otherwise), so the one that fetches the least is listed
    // alone.
    const QString path = QDir::cleanPath(replace.installPath());
    // The replacement works with the path as cleaned: a directory step
    // asked for "dir/." would make "dir", then fail on ".". The plain
    // line's key stays as it came, as it names the download too.
    ReplaceEntry entry = replace;
    if (entry.hasTargetPath())
        entry.targetPath = path;
    const auto listed = m_Listed.constFind(path);
    if (listed == m_Listed.constEnd()) {
        m_Listed.insert(path, m_Lists->replaceList.size());
        m_Lists->replaceList.append(entry);
        return true;
    }
    ReplaceEntry& kept = m_Lists->replaceList[*listed];
    if (fetchCost(kept) <= fetchCost(entry))
        return false;
    const QString keptDownload = kept.hasPatch() ? kept.patchKey : kept.key;
    for (int i = 0; i < m_Lists->downloadList.size(); ++i) {
        const DownloadEntry& download = m_Lists->downloadList.at(i);
        if (download.section == kept.section && download.key == keptDownload) {
            m_Lists->downloadList.removeAt(i);
            break;
        }
    }
    kept = entry;
    return true;
}

void MakeDownloadReplaceListFunc::copyCurrentFile(
    const QString& installed, const ReplaceEntry& replace)
{
    // The new updater in the temporary directory must be complete: current
    // files are copied there, an existing copy is kept.
    const QString destination = joinPath(m_Config->m_TempDir, replace.installPath());
    QDir().mkpath(QFileInfo(destination).absolutePath());
    const bool copied = QFile::copy(installed, destination);
    m_Hashes.forget(destination);
    qDebug() << "Copying updater files:" << installed << "to" << destination << copied;
}

bool MakeDownloadReplaceListFunc::checkFileLines(QSettings& ini)
{
    // Every installed file that a file line names is compared with at least
    // one hash; hashing them all up front lets several be read at once.
    // Lines that name one installed path with different contents cannot all
    // be installed: the ini is refused before anything is fetched or copied.
    QStringList installed;
    QHash<QString, QString> contents;
    const QStringList sections = ini.childGroups();
    for (const QString& section : sections) {
        if (!isFileSection(section))
            continue;
        ini.beginGroup(section);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            DownloadEntry download;
            ReplaceEntry replace;
            if (!isPatchKey(key)
                && parseFileLine(section, key, ini.value(key).toString(), &download, &replace)) {
                const QString path = QDir::cleanPath(replace.installPath());
                const QString content = installedHash(download, replace);
                if (contents.value(path, content) != content) {
                    emit message(
                        QStringLiteral("Product ini lists %1 with different contents").arg(path));
                    ini.endGroup();
                    return false;
                }
                contents.insert(path, content);
                installed << joinPath(m_Config->m_InstallDir, replace.installPath());
            }
        }
        ini.endGroup();
    }
    m_Hashes.hashAll(installed);
    return true;
}

void MakeDownloadReplaceListFunc::countDone()
{
    ++m_Done;
    emit progress(qreal(m_Done) / m_Total);
}

void MakeDownloadReplaceListFunc::warnInvalidLine(const QString& section)
{
    emit message(
        QStringLiteral("Warning: product ini contains invalid line in section %1").arg(section));
}
