#include "deletejournal.h"

#include "productini.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

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
    QFile file(journalPath(installDir));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray content;
    for (const DeleteEntry& entry : list) {
        content.append(entry.isDir ? kDirTree : kFile)
            .append(' ')
            .append(QUrl::toPercentEncoding(entry.path, "/"))
            .append('\n');
    }
    // On disk before the first deletion, or a kill right after it would
    // leave the rest unknown.
    return file.write(content) == content.size() && file.flush();
}

void DeleteJournal::remove(const QString& installDir)
{
    QFile::remove(journalPath(installDir));
}

void DeleteJournal::recover(const QString& installDir)
{
    QFile file(journalPath(installDir));
    if (!file.open(QIODevice::ReadOnly))
        return;
    qDebug() << "Completing interrupted deletions in" << installDir;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(64 * 1024).trimmed();
        if (line.size() < 3 || line.at(1) != ' ' || (line.at(0) != kFile && line.at(0) != kDirTree))
            continue;
        const QString relative = QUrl::fromPercentEncoding(line.mid(2));
        if (!staysInside(relative))
            continue;
        const QString path = installDir + QLatin1Char('/') + relative;
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            deletePath(path, line.at(0) == kDirTree, nullptr);
    }
    file.close();
    file.remove();
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
