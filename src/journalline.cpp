#include "journalline.h"

#include "productini.h"

#include <QFile>
#include <QUrl>

#include <cstdio>

#include <unistd.h>

namespace {

constexpr qint64 kMaxLineLength = 64 * 1024;

} // namespace

QByteArray JournalLine::encoded() const
{
    QByteArray line;
    line.append(kind).append(' ').append(QUrl::toPercentEncoding(path, "/")).append('\n');
    return line;
}

bool JournalLine::read(const QString& journalPath, QList<JournalLine>* lines)
{
    lines->clear();
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // After a piece without its newline, the next piece is the rest of an
    // overlong line, not a line of its own.
    bool continued = false;
    while (!file.atEnd()) {
        QByteArray line = file.readLine(kMaxLineLength);
        const bool rest = continued;
        continued = !line.endsWith('\n');
        if (continued || rest)
            continue;
        line.chop(1);
        if (line.size() < 3 || line.at(1) != ' ')
            continue;
        const QString relative = QUrl::fromPercentEncoding(line.mid(2));
        if (!staysInside(relative))
            continue;
        lines->append({line.at(0), relative});
    }
    return true;
}

bool JournalLine::write(const QString& journalPath, const QList<JournalLine>& lines)
{
    QByteArray content;
    for (const JournalLine& line : lines)
        content.append(line.encoded());
    const QString beside = besidePath(journalPath);
    // Left by a write that was killed; NewOnly below never writes through
    // whatever stands there.
    QFile::remove(beside);
    QFile file(beside);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    // Synced before the rename, so that the name never stands for a journal
    // whose content has not reached the disk.
    bool ok = file.write(content) == content.size() && file.flush() && ::fsync(file.handle()) == 0;
    file.close();
    ok = ok && file.error() == QFileDevice::NoError
        && std::rename(
               QFile::encodeName(beside).constData(), QFile::encodeName(journalPath).constData())
            == 0;
    if (!ok)
        QFile::remove(beside);
    return ok;
}

QString JournalLine::besidePath(const QString& journalPath)
{
    return journalPath + QStringLiteral(".new");
}
