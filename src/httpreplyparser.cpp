#include "httpreplyparser.h"

#include "httpfetch.h"

#include <QList>

#include <algorithm>

namespace {

// A chunk-size line: hexadecimal digits and perhaps extensions.
constexpr int kMaxChunkLine = 1024;

// A decimal or hexadecimal count of bytes, digits only; -1 when it is none
// or does not fit.
qint64 parseCount(const QByteArray& text, int base)
{
    if (text.isEmpty() || text.size() > 15 || text.startsWith('+') || text.startsWith('-'))
        return -1;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, base);
    return ok && value >= 0 ? value : -1;
}

QString encodingError(const QByteArray& encoding)
{
    return QStringLiteral("Banner was sent encoded as ") + QString::fromLatin1(encoding.left(64));
}

} // namespace

HttpReplyParser::HttpReplyParser(qint64 maxSize)
    : m_maxSize(maxSize)
{
}

HttpReplyParser::State HttpReplyParser::feed(const QByteArray& bytes)
{
    if (m_state == State::Header || m_state == State::Body) {
        m_pending += bytes;
        parse();
    }
    return m_state;
}

HttpReplyParser::State HttpReplyParser::end()
{
    if (m_state == State::Header)
        fail(QStringLiteral("Banner reply ended in its header"));
    else if (m_state == State::Body)
        finish();
    return m_state;
}

void HttpReplyParser::parse()
{
    while (m_state == State::Header) {
        if (!readHeader())
            return;
    }
    if (m_state == State::Body)
        readBody();
}

bool HttpReplyParser::readHeader()
{
    // Bytes searched before are not searched again: a header sent a byte at
    // a time costs no more than one sent whole.
    const int from = std::max(0, m_headerSearched - 3);
    int end = m_pending.indexOf("\r\n\r\n", from);
    int endSize = 4;
    const int lf = m_pending.indexOf("\n\n", from);
    if (lf >= 0 && (end < 0 || lf < end)) {
        end = lf;
        endSize = 2;
    }
    if (end < 0 ? m_pending.size() > kMaxHeaderSize : end > kMaxHeaderSize)
        return fail(QStringLiteral("Banner reply header too large"));
    if (end < 0) {
        m_headerSearched = m_pending.size();
        return false;
    }
    m_headerSearched = 0;
    const QList<QByteArray> lines = m_pending.left(end).split('\n');
    m_pending.remove(0, end + endSize);
    const QList<QByteArray> status = lines.first().trimmed().split(' ');
    const int code = status.value(1).toInt();
    if (!status.first().startsWith("HTTP/1.") || code < 100 || code > 999)
        return fail(QStringLiteral("Banner reply is not HTTP"));
    // An interim reply; the real one follows.
    if (code < 200)
        return true;
    qint64 length = -1;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed().toLower();
        const bool named = HttpFetch::isForeignEncoding(value);
        if (name == "content-encoding" && named)
            return fail(encodingError(value));
        if (name == "transfer-encoding" && named) {
            if (value != "chunked")
                return fail(encodingError(value));
            m_chunked = true;
        }
        if (name == "content-length") {
            const qint64 announced = parseCount(value, 10);
            if (announced < 0 || (length >= 0 && announced != length))
                return fail(QStringLiteral("Banner reply has an invalid length"));
            length = announced;
        }
    }
    if (!m_chunked && length > m_maxSize)
        return fail(QStringLiteral("Banner size too large: %1").arg(length));
    if (code == 204 || code == 304)
        length = 0;
    m_remaining = m_chunked ? 0 : length;
    m_state = State::Body;
    return true;
}

bool HttpReplyParser::takeLine(int limit, QByteArray* line)
{
    const int end = m_pending.indexOf('\n');
    if (end > limit || (end < 0 && m_pending.size() > limit))
        return fail(QStringLiteral("Banner reply has a line too long"));
    if (end < 0)
        return false;
    *line = m_pending.left(end);
    if (line->endsWith('\r'))
        line->chop(1);
    m_pending.remove(0, end + 1);
    return true;
}

bool HttpReplyParser::takeBody(qint64 count)
{
    m_body += m_pending.left(int(count));
    m_pending.remove(0, int(count));
    if (m_body.size() > m_maxSize)
        return fail(QStringLiteral("Banner size too large: %1").arg(m_body.size()));
    if (m_remaining > 0)
        m_remaining -= count;
    return true;
}

bool HttpReplyParser::readBody()
{
    if (m_chunked)
        return readChunked();
    const qint64 count
        = m_remaining >= 0 ? std::min<qint64>(m_remaining, m_pending.size()) : m_pending.size();
    if (!takeBody(count))
        return false;
    // Bytes past the announced length are no part of the body.
    m_pending.clear();
    return m_remaining == 0 ? finish() : false;
}

bool HttpReplyParser::readChunked()
{
    for (;;) {
        QByteArray line;
        switch (m_chunk) {
        case Chunk::Size: {
            if (!takeLine(kMaxChunkLine, &line))
                return false;
            const int extension = line.indexOf(';');
            const qint64 size
                = parseCount((extension < 0 ? line : line.left(extension)).trimmed(), 16);
            if (size < 0)
                return fail(QStringLiteral("Banner reply has an invalid chunk"));
            if (size > m_maxSize - m_body.size())
                return fail(QStringLiteral("Banner size too large: %1").arg(m_body.size() + size));
            m_remaining = size;
            m_chunk = size == 0 ? Chunk::Trailer : Chunk::Data;
            break;
        }
        case Chunk::Data:
            if (!takeBody(std::min<qint64>(m_remaining, m_pending.size())))
                return false;
            if (m_remaining > 0)
                return false;
            m_chunk = Chunk::DataEnd;
            break;
        case Chunk::DataEnd:
            if (!takeLine(2, &line))
                return false;
            if (!line.isEmpty())
                return fail(QStringLiteral("Banner reply has an invalid chunk"));
            m_chunk = Chunk::Size;
            break;
        case Chunk::Trailer:
            if (!takeLine(kMaxChunkLine, &line))
                return false;
            m_trailer += line.size() + 2;
            if (m_trailer > kMaxHeaderSize)
                return fail(QStringLiteral("Banner reply header too large"));
            if (line.isEmpty())
                return finish();
            break;
        }
    }
}

bool HttpReplyParser::fail(const QString& error)
{
    m_state = State::Failed;
    m_error = error;
    m_pending.clear();
    m_body.clear();
    return false;
}

bool HttpReplyParser::finish()
{
    m_state = State::Done;
    m_pending.clear();
    return false;
}
