#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filereplacetaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "updateinidata.h"
#include "verifiedfiletaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(
    const ReplaceList* list, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(2, weight, parent)
    , m_List(list)
    , m_Config(config)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    m_Journal.setInstallDir(m_Config->m_InstallDir);
    // The compile has already repaired what an interrupted phase left, on
    // its worker thread and before it read the installation. A journal still
    // there means that failed: the lists rest on a half-replaced
    // installation, and going on would mix this phase's journal with the
    // old one.
    if (QFileInfo::exists(ReplaceJournal::journalPath(m_Config->m_InstallDir))) {
        setState(STATE_RUNNING);
        emit message(QStringLiteral("Could not undo an interrupted update in %1")
                         .arg(m_Config->m_InstallDir));
        setError();
        return;
    }
    const int dirs = addDirCreateSubtasks();
    if (dirs < 0) {
        setState(STATE_RUNNING);
        emit message(QStringLiteral("Could not write %1")
                         .arg(ReplaceJournal::journalPath(m_Config->m_InstallDir)));
        setError();
        return;
    }
    addReplaceSubtasks(dirs > 0);
    setState(STATE_RUNNING);
    startSubtasks();
}

int FileReplaceListTaskSpecification::addDirCreateSubtasks()
{
    QSet<QString> seen;
    QStringList missing;
    QStringList missingLevels;
    for (const ReplaceEntry& entry : *m_List) {
        // A plain line's key may still hold "." components; "dir/." is not
        // a directory that can be made.
        const QString relativeDir = QDir::cleanPath(QFileInfo(entry.filePath(QString())).path());
        const QString dir = relativeDir == QLatin1String(".")
            ? m_Config->m_InstallDir
            : m_Config->m_InstallDir + QLatin1Char('/') + relativeDir;
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (QFileInfo::exists(dir))
            continue;
        missing.append(dir);
        // Every level the directory task will create, for the journal.
        for (QString level = relativeDir; level != QLatin1String(".");
             level = QFileInfo(level).path()) {
            if (QFileInfo::exists(m_Config->m_InstallDir + QLatin1Char('/') + level))
                break;
            missingLevels.append(level);
        }
    }
    // Parents before children, so that the undo removes children first.
    std::sort(missingLevels.begin(), missingLevels.end());
    missingLevels.erase(
        std::unique(missingLevels.begin(), missingLevels.end()), missingLevels.end());
    for (const QString& level : missingLevels) {
        if (!m_Journal.noteDirCreate(level))
            return -1;
    }
    std::sort(missing.begin(), missing.end());
    for (const QString& dir : missing)
        addSubtask(new DirCreateTaskSpecification(dir, &m_Records, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::addReplaceSubtasks(bool dirsCreated)
{
    if (m_List->isEmpty())
        return;
    const qreal weight = (dirsCreated ? 0.9 : 1.0) / m_List->size();
    for (const ReplaceEntry& entry : *m_List) {
        addSubtask(new FileReplaceTaskSpecification(
            entry, &m_Records, m_Config, this, weight, &m_Journal));
    }
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getSubtasksState() != STATE_FINISHED) {
        emit message(QStringLiteral("rolling back file updates"));
        undo();
    } else if (!m_Journal.commit()) {
        // The journal is still live: left as it is, the next run would undo
        // this replacement anyway, after the run had reported success.
        emit message(QStringLiteral("Could not write %1")
                         .arg(ReplaceJournal::donePath(m_Config->m_InstallDir)));
        emit message(QStringLiteral("rolling back file updates"));
        undo();
        setError();
        return;
    } else {
        m_Records.clear();
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::undo()
{
    // Newest first: each new file goes, then the file it replaced comes
    // back, then the directories made for them go. What could not be undone
    // stays in the journal, and the next run tries again.
    m_Records.rollback(this);
    m_Journal.keepOnly(m_Records);
    m_Records.clear();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubtasks();
    undo();
    ComposedTaskSpecification::reset();
}

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(
    const ReplaceList* list, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(2, weight, parent)
    , m_List(list)
    , m_Config(config)
{
}

void UpdateSelfUnzipTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void UpdateSelfUnzipTaskSpecification::makeSubtasksAndStart()
{
    const QString tempDir = m_Config->m_TempDir + QLatin1Char('/');
    for (const ReplaceEntry& entry : *m_List) {
        // Without a target path the fetched file already lies under its
        // final name.
        if (!entry.hasTargetPath())
            continue;
        const QString installPath = entry.filePath(QString());
        qDebug() << "Extracting updater file" << entry.key << installPath << entry.hasPatch();
        const QString dst = tempDir + installPath;
        const QString dstDir = QFileInfo(dst).absolutePath();
        if (!QFileInfo::exists(dstDir))
            QDir().mkpath(dstDir);
        TaskSpecification* writer = nullptr;
        TaskSpecification* baseCopy = nullptr;
        if (entry.hasPatch()) {
            const QString old = dst + QStringLiteral("_old");
            FileReplaceTaskSpecification::clearPatchBase(old);
            // Copied on the pool, as the replacement does.
            baseCopy = new FileCopyTaskSpecification(nullptr,
                m_Config->m_InstallDir + QLatin1Char('/') + installPath, old, nullptr, 0.0);
            emit message(QStringLiteral("Patching %1").arg(installPath));
            writer = new FileTaskSpecification_patch(
                nullptr, old, tempDir + entry.patchKey, dst, nullptr, 1.0, entry.size);
        } else if (FileReplaceTaskSpecification::isContainerName(entry.key)) {
            writer = new FileUnpackTaskSpecification_lzma2(nullptr, tempDir + entry.key, dst,
                nullptr, 1.0, FileUnpackTaskSpecification_lzma2::limitFor(entry.size));
        } else {
            writer = new FileUnpackTaskSpecification_zip(
                nullptr, tempDir + entry.key, dst, nullptr, 1.0);
        }
        // The new updater is run next: every restored file is checked
        // against the signed ini first, as stage two does.
        addSubtask(new VerifiedFileTaskSpecification(writer, dst, entry.hash, this, 1.0, baseCopy));
    }
    setState(STATE_RUNNING);
    startSubtasks();
}

void UpdateSelfUnzipTaskSpecification::subtasksDone()
{
    const QString updater = m_Config->m_TempDir + QStringLiteral("/update");
    const bool exists = QFileInfo::exists(updater);
    qDebug() << "chmod +x" << updater << exists;
    if (exists)
        FileReplaceTaskSpecification::setExecPermissions(updater);
    UpdateIniData::modifyTempIni(m_Config->m_TempDir);
    copyTranslations();
    ComposedTaskSpecification::subtasksDone();
}

void UpdateSelfUnzipTaskSpecification::copyTranslations()
{
    const QDir source(Configuration::getAppDir() + QStringLiteral("/translations"));
    const QStringList names
        = source.entryList({QStringLiteral("update_*.qm")}, QDir::Files, QDir::NoSort);
    const QString target = m_Config->m_TempDir + QStringLiteral("/translations");
    if (!QFileInfo::exists(target))
        QDir().mkdir(target);
    for (const QString& name : names) {
        const QString from = source.filePath(name);
        const QString to = target + QLatin1Char('/') + name;
        qDebug() << "Copying qm file" << from << to;
        if (!QFileInfo::exists(to))
            QFile::copy(from, to);
    }
}

void UpdateSelfUnzipTaskSpecification::reset()
{
    clearSubtasks();
    ComposedTaskSpecification::reset();
}
