#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "filerenametaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "replacejournal.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

const QStringList execFileNames {QStringLiteral("kv3client_linux_x86"),
    QStringLiteral("kv3client_linux_amd64"), QStringLiteral("kv3client_runscript.sh"),
    QStringLiteral("update"), QStringLiteral("error_report"), QStringLiteral("package_inst")};
const QStringList execFileSuffixes {
    QStringLiteral("so"), QStringLiteral("so.4"), QStringLiteral("so.5")};

// Everyone may run the program, only its owner may change it: a program
// that any local user could replace would run their code for the client
// or the updater.
constexpr QFileDevice::Permissions kExecPermissions = QFileDevice::ReadOwner
    | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadUser
    | QFileDevice::WriteUser | QFileDevice::ExeUser | QFileDevice::ReadGroup | QFileDevice::ExeGroup
    | QFileDevice::ReadOther | QFileDevice::ExeOther;

bool hasRecord(const RollbackDataList& records, int op)
{
    for (const RollbackData& record : records.records()) {
        if (record.op() == op)
            return true;
    }
    return false;
}

} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceEntry& entry,
    RollbackDataList* listRecords, Configuration* config, QObject* parent, qreal weight,
    ReplaceJournal* journal)
    : ComposedTaskSpecification(1, weight, parent)
    , m_Entry(entry)
    , m_ListRecords(listRecords)
    , m_Config(config)
    , m_Journal(journal)
    , m_KeptMode(-1)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(m_Entry.key));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString installPath = m_Entry.filePath(QString());
    const QString src = m_Config->m_TempDir + QLatin1Char('/') + m_Entry.key;
    const QString dst = m_Config->m_InstallDir + QLatin1Char('/') + installPath;
    const QString patch = m_Config->m_TempDir + QLatin1Char('/') + m_Entry.patchKey;
    qDebug() << "FileReplaceTaskSpecification: spec:" << m_Entry.key << " src:" << src
             << " dstFile:" << dst << " hasPatch:" << m_Entry.hasPatch() << " patchFile:" << patch;

    QString old;
    if (m_Entry.hasTargetPath() && m_Entry.hasPatch()) {
        old = m_Config->m_TempDir + QLatin1Char('/') + installPath + QStringLiteral("_old");
        qDebug() << "HAS PATCH" << m_Entry.patchKey;
        clearPatchBase(old);
        emit message(QStringLiteral("Patching %1").arg(installPath));
    }

    // Keep the installed file aside instead of writing over it, so that an
    // undo can put it back; the journal line goes first so that even a kill
    // between the two steps is repaired by the next run.
    const QFileInfo installed(dst);
    const bool keep = installed.exists() || installed.isSymLink();
    if (m_Journal) {
        const bool noted
            = keep ? m_Journal->noteFileKept(installPath) : m_Journal->noteFileCreate(installPath);
        if (!noted) {
            setState(STATE_RUNNING);
            emit message(QStringLiteral("Could not write %1")
                             .arg(ReplaceJournal::journalPath(m_Config->m_InstallDir)));
            setError();
            return;
        }
    }
    // The base of a patch is copied before the installed file moves aside;
    // on the pool, since it may be a large program.
    if (!old.isEmpty())
        addSubtask(new FileCopyTaskSpecification(nullptr, dst, old, this, 0.0));
    if (keep) {
        const QString kept = ReplaceJournal::keptPath(dst);
        // A kept file that is still there is left over from a phase that
        // already ended; the journal decided its fate.
        if (QFileInfo(kept).exists() || QFileInfo(kept).isSymLink())
            QFile::remove(kept);
        struct stat info;
        if (!installed.isSymLink() && ::stat(QFile::encodeName(dst).constData(), &info) == 0)
            m_KeptMode = int(info.st_mode & 0777);
        addSubtask(new FileRenameTaskSpecification(dst, kept, &m_Records, this, 0.0));
    }

    if (!m_Entry.hasTargetPath()) {
        addSubtask(new FileCopyTaskSpecification(&m_Records, src, dst, this, 1.0));
    } else {
        if (!m_Entry.hasPatch()) {
            if (isContainerName(src))
                addSubtask(new FileUnpackTaskSpecification_lzma2(&m_Records, src, dst, this, 0.8,
                    FileUnpackTaskSpecification_lzma2::limitFor(m_Entry.size)));
            else
                addSubtask(new FileUnpackTaskSpecification_zip(&m_Records, src, dst, this, 0.8));
        } else {
            addSubtask(new FileTaskSpecification_patch(
                &m_Records, old, patch, dst, this, 0.8, m_Entry.size));
        }
        addSubtask(new CheckSignatureTaskSpecification(dst, m_Entry.hash, true, this, 0.2));
    }
    setState(STATE_RUNNING);
    startSubtasks();
}

void FileReplaceTaskSpecification::clearPatchBase(const QString& old)
{
    if (QFileInfo::exists(old) || QFileInfo(old).isSymLink())
        qDebug() << "Remove" << old << QFile::remove(old);
    const QString oldDir = QFileInfo(old).absolutePath();
    qDebug() << "tempOldAbsPath" << oldDir;
    if (!QFileInfo::exists(oldDir))
        qDebug() << "Created" << oldDir << QDir().mkpath(oldDir);
}

void FileReplaceTaskSpecification::subtasksDone()
{
    const QString dst = m_Config->m_InstallDir + QLatin1Char('/') + m_Entry.filePath(QString());
    if (getSubtasksState() == STATE_FINISHED) {
        // The new file takes the place of the old one with its permissions:
        // a program must stay runnable, a private file private.
        if (m_KeptMode >= 0)
            ::chmod(QFile::encodeName(dst).constData(), mode_t(m_KeptMode));
        setExecPermissions(dst);
        // The phase takes the records over, so that each is undone once.
        if (m_ListRecords) {
            m_ListRecords->append(m_Records);
            m_Records.clear();
        }
    } else {
        // A writer that failed may leave a file behind that it did not
        // record; it must go before the kept file can return.
        if (hasRecord(m_Records, FILE_RENAME) && !hasRecord(m_Records, FILE_CREATE))
            QFile::remove(dst);
        handOver();
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    clearSubtasks();
    handOver();
    m_KeptMode = -1;
    ComposedTaskSpecification::reset();
}

void FileReplaceTaskSpecification::handOver()
{
    // What cannot be undone now (a kept file that cannot go back) goes to
    // the phase, whose undo tries again and whose journal keeps it until it
    // is back.
    if (!m_Records.rollback(this) && m_ListRecords) {
        m_ListRecords->append(m_Records);
        m_Records.clear();
    }
}

bool FileReplaceTaskSpecification::isContainerName(const QString& path)
{
    // By name only: the suffix after the last dot, case-sensitively.
    return path.mid(path.lastIndexOf(QLatin1Char('.')) + 1) == QLatin1String("_lzma2_");
}

bool FileReplaceTaskSpecification::isExecFileName(const QString& fileName)
{
    if (execFileNames.contains(fileName))
        return true;
    const int dot = fileName.indexOf(QLatin1Char('.'));
    return dot >= 0 && execFileSuffixes.contains(fileName.mid(dot + 1));
}

void FileReplaceTaskSpecification::setExecPermissions(const QString& path)
{
    if (isExecFileName(QFileInfo(path).fileName()))
        QFile::setPermissions(path, kExecPermissions);
}
