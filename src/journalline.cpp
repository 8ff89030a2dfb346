#include "journalline.h"

#include "productini.h"

#include <QFile>
#include <QUrl>

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
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(kMaxLineLength).trimmed();
        if (line.size() < 3 || line.at(1) != ' ')
            continue;
        const QString relative = QUrl::fromPercentEncoding(line.mid(2));
        if (!staysInside(relative))
            continue;
        lines->append({line.at(0), relative});
    }
    return true;
}
