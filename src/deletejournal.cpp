#include "deletejournal.h"

#include "journalline.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr char kFile = 'F';
constexpr char kDirTree = 'D';

} // namespace

QString DeleteJournal::journalPath(const QString& installDir)
{
    return installDir + QStringLiteral("/.kv_delete_journal");
}

bool DeleteJournal::write(const QString& installDir, const DeleteList& list)
{
    QList<JournalLine> lines;
    for (const DeleteEntry& entry : list)
        lines.append({entry.isDir ? kDirTree : kFile, entry.path});
    // Whole before the first deletion, or a kill right after it would leave
    // the rest unknown.
    return JournalLine::write(journalPath(installDir), lines);
}

void DeleteJournal::remove(const QString& installDir)
{
    QFile::remove(journalPath(installDir));
}

void DeleteJournal::recover(const QString& installDir)
{
    const QString journal = journalPath(installDir);
    QFile::remove(JournalLine::besidePath(journal));
    QList<JournalLine> lines;
    if (!JournalLine::read(journal, &lines))
        return;
    qDebug() << "Completing interrupted deletions in" << installDir;
    for (const JournalLine& line : qAsConst(lines)) {
        if (line.kind != kFile && line.kind != kDirTree)
            continue;
        const QString path = installDir + QLatin1Char('/') + line.path;
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            deletePath(path, line.kind == kDirTree, nullptr);
    }
    QFile::remove(journal);
}

bool DeleteJournal::deletePath(const QString& path, bool recursive, QString* done)
{
    const QFileInfo info(path);
    // A symbolic link is removed as a link: following one to a directory
    // would delete what it points to, which may lie outside the installation.
    if (!info.isDir() || info.isSymLink()) {
        if (done)
            *done = QStringLiteral("Deleted file '%1'").arg(path);
        return QFile::remove(path);
    }
    if (!recursive) {
        if (done)
            *done = QStringLiteral("Deleted directory '%1'").arg(path);
        return QDir().rmpath(path);
    }
    if (done)
        *done = QStringLiteral("Recursively deleted directory '%1'").arg(path);
    return QDir(path).removeRecursively();
}
