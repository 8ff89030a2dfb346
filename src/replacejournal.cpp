#include "replacejournal.h"

#include "deletejournal.h"
#include "journalline.h"
#include "rollback.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace {

constexpr char kDirCreate = 'D';
constexpr char kFileCreate = 'N';
constexpr char kFileKept = 'K';

QList<JournalLine> readJournal(const QString& path)
{
    QList<JournalLine> lines;
    JournalLine::read(path, &lines);
    return lines;
}

QString absolute(const QString& installDir, const QString& relative)
{
    return installDir + QLatin1Char('/') + relative;
}

// The container and patch writers write beside their target, under the
// target's name followed by ".kvtmp.", their process id, "." and a number,
// and rename the result over the target; a kill in between leaves that file
// behind.
void removeWriterLeftovers(const QString& path)
{
    const QFileInfo target(path);
    const QRegularExpression leftover(QStringLiteral("^%1\\.kvtmp\\.[0-9]+\\.[0-9]+$")
                                          .arg(QRegularExpression::escape(target.fileName())));
    const QDir dir = target.dir();
    for (const QString& name :
        dir.entryList({QStringLiteral("*.kvtmp.*")}, QDir::Files | QDir::Hidden | QDir::System)) {
        if (leftover.match(name).hasMatch())
            QFile::remove(dir.filePath(name));
    }
}

void removeKeptFiles(const QString& installDir, const QString& donePath)
{
    for (const JournalLine& line : readJournal(donePath)) {
        if (line.kind != kFileKept)
            continue;
        const QString kept = ReplaceJournal::keptPath(absolute(installDir, line.path));
        if (QFileInfo(kept).isSymLink() || QFileInfo::exists(kept))
            QFile::remove(kept);
    }
    QFile::remove(donePath);
}

} // namespace

ReplaceJournal::ReplaceJournal(const QString& installDir)
    : m_InstallDir(installDir)
{
}

ReplaceJournal::~ReplaceJournal()
{
    close();
}

void ReplaceJournal::setInstallDir(const QString& installDir)
{
    close();
    m_InstallDir = installDir;
}

QString ReplaceJournal::keptPath(const QString& path)
{
    return path + QStringLiteral(".kv_kept");
}

QString ReplaceJournal::journalPath(const QString& installDir)
{
    return installDir + QStringLiteral("/.kv_replace_journal");
}

QString ReplaceJournal::donePath(const QString& installDir)
{
    return installDir + QStringLiteral("/.kv_replace_journal.done");
}

bool ReplaceJournal::noteDirCreate(const QString& relativePath)
{
    return note(kDirCreate, relativePath);
}

bool ReplaceJournal::noteFileCreate(const QString& relativePath)
{
    return note(kFileCreate, relativePath);
}

bool ReplaceJournal::noteFileKept(const QString& relativePath)
{
    return note(kFileKept, relativePath);
}

bool ReplaceJournal::note(char kind, const QString& relativePath)
{
    if (m_Failed)
        return false;
    if (!m_File.isOpen()) {
        m_File.setFileName(journalPath(m_InstallDir));
        if (!m_File.open(QIODevice::WriteOnly | QIODevice::Append)) {
            m_Failed = true;
            return false;
        }
        m_Written = true;
    }
    // Appended one line at a time: a kill while a line is written leaves
    // it without its newline, and the repair ignores it (JournalLine::read),
    // as it must, since the step it announces has not begun.
    const QByteArray line = JournalLine {kind, relativePath}.encoded();
    // Flushed at once: the line must be on disk before the step it
    // announces, or a kill in between would leave that step unknown.
    m_Failed = m_File.write(line) != line.size() || !m_File.flush();
    return !m_Failed;
}

void ReplaceJournal::close()
{
    if (m_File.isOpen())
        m_File.close();
    m_Failed = false;
}

bool ReplaceJournal::commit()
{
    close();
    if (!m_Written)
        return true;
    const QString journal = journalPath(m_InstallDir);
    if (!QFileInfo::exists(journal)) {
        m_Written = false;
        return true;
    }
    const QString done = donePath(m_InstallDir);
    QFile::remove(done);
    // From here on a kill leaves the new release in place: recovery then
    // only removes the kept files. Until then the live journal would make
    // the next run undo the replacement, so a failure here fails the phase.
    if (std::rename(QFile::encodeName(journal).constData(), QFile::encodeName(done).constData())
        != 0) {
        qDebug() << "Could not mark replace journal done" << journal;
        return false;
    }
    m_Written = false;
    removeKeptFiles(m_InstallDir, done);
    return true;
}

void ReplaceJournal::discard()
{
    close();
    if (!m_Written)
        return;
    m_Written = false;
    QFile::remove(journalPath(m_InstallDir));
}

void ReplaceJournal::keepOnly(const RollbackDataList& records)
{
    if (records.isEmpty()) {
        discard();
        return;
    }
    close();
    if (!m_Written)
        return;
    m_Written = false;
    const QString prefix = m_InstallDir + QLatin1Char('/');
    QList<JournalLine> lines;
    for (const RollbackData& record : records.records()) {
        char kind = record.op() == DIR_CREATE ? kDirCreate : kFileCreate;
        QString path = record.path();
        if (record.op() == FILE_RENAME) {
            kind = kFileKept;
            path = record.oldPath();
        }
        // Should a step not be expressible, or the rewrite fail, the whole
        // journal stays: more than is left to undo, but never less.
        if (!path.startsWith(prefix))
            return;
        lines.append({kind, path.mid(prefix.size())});
    }
    // Steps already undone would have the next run remove whatever stands
    // at their paths by then.
    if (!JournalLine::write(journalPath(m_InstallDir), lines))
        qDebug() << "Could not rewrite replace journal" << journalPath(m_InstallDir);
}

bool ReplaceJournal::recover(const QString& installDir)
{
    QFile::remove(JournalLine::besidePath(journalPath(installDir)));
    const QString done = donePath(installDir);
    if (QFileInfo::exists(done))
        removeKeptFiles(installDir, done);
    const QString journal = journalPath(installDir);
    if (!QFileInfo::exists(journal)) {
        // The replacement phase had succeeded; the deletions that follow
        // it may have been cut short.
        DeleteJournal::recover(installDir);
        return true;
    }
    qDebug() << "Undoing an interrupted replacement in" << installDir;
    const QList<JournalLine> lines = readJournal(journal);
    bool ok = true;
    // Newest first, as an ordinary undo: files before the directories that
    // were made for them.
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QString path = absolute(installDir, lines.at(i).path);
        switch (lines.at(i).kind) {
        case kFileKept: {
            removeWriterLeftovers(path);
            const QString kept = keptPath(path);
            if (!QFileInfo(kept).isSymLink() && !QFileInfo::exists(kept))
                break; // never kept aside, or already back
            // rename() replaces whatever the killed phase wrote there.
            if (std::rename(
                    QFile::encodeName(kept).constData(), QFile::encodeName(path).constData())
                != 0) {
                qDebug() << "Could not put back" << kept;
                ok = false;
            }
            break;
        }
        case kFileCreate:
            removeWriterLeftovers(path);
            if (QFileInfo(path).isFile() || QFileInfo(path).isSymLink())
                QFile::remove(path);
            break;
        case kDirCreate:
            // Only an empty directory goes; one that holds anything else
            // stays.
            QDir().rmdir(path);
            break;
        default:
            break;
        }
    }
    if (ok)
        QFile::remove(journal);
    return ok;
}
