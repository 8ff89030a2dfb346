#include "httpreplyparser.h"

#include "httpfetch.h"

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

const QString kBytesBeforeTunnel = QStringLiteral("Banner proxy sent bytes before the tunnel");

QString encodingError(const QByteArray& encoding)
{
    return QStringLiteral("Banner was sent encoded as ") + QString::fromLatin1(encoding.left(64));
}

} // namespace

HttpReplyParser::HttpReplyParser(qint64 maxSize, Request request, int maxHeaderSize)
    : m_maxSize(maxSize)
    , m_request(request)
    , m_maxHeaderSize(maxHeaderSize)
{
}

HttpReplyParser::State HttpReplyParser::feed(const QByteArray& bytes)
{
    // The client speaks first in a tunnel: whatever the proxy sends after
    // its reply, in the same piece or a later one, is no part of it.
    if (m_state == State::Done && m_request == Request::Connect && !bytes.isEmpty())
        fail(kBytesBeforeTunnel);
    if (m_state != State::Header && m_state != State::Body)
        return m_state;
    m_buffer += bytes;
    parse();
    // What has been read goes; what is left is at most the line not yet
    // ended, so each byte is moved about once.
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_consumed += m_pos;
        m_scan -= m_pos;
        m_pos = 0;
    }
    return m_state;
}

HttpReplyParser::State HttpReplyParser::end()
{
    if (m_state == State::Header)
        fail(subject() + QStringLiteral(" ended in its header"));
    else if (m_state == State::Body)
        finish();
    return m_state;
}

QString HttpReplyParser::subject() const
{
    return m_request == Request::Connect ? QStringLiteral("Banner proxy reply")
                                         : QStringLiteral("Banner reply");
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

// Reads header lines as they end, the status line of each reply first. The
// blank line that ends the final reply's header must come within the bound,
// counted from the connection's first byte: interim replies share it, and
// once the bytes reach the bound without that line, no later byte can end
// the header in time, however the bytes are split.
bool HttpReplyParser::readHeader()
{
    for (;;) {
        const int lf = m_buffer.indexOf('\n', m_scan);
        const qint64 reach = m_consumed + (lf < 0 ? m_buffer.size() : lf + 1);
        if (lf < 0 ? reach >= m_maxHeaderSize : reach > m_maxHeaderSize)
            return fail(subject() + QStringLiteral(" header too large"));
        if (lf < 0) {
            m_scan = m_buffer.size();
            return false;
        }
        QByteArray line = m_buffer.mid(m_pos, lf - m_pos);
        if (line.endsWith('\r'))
            line.chop(1);
        m_pos = m_scan = lf + 1;
        if (m_status == 0) {
            if (!readStatusLine(line))
                return false;
        } else if (line.isEmpty()) {
            return endHeader();
        } else if (!readHeaderLine(line)) {
            return false;
        }
    }
}

bool HttpReplyParser::readStatusLine(const QByteArray& line)
{
    const QByteArray text = line.trimmed();
    const int space = text.indexOf(' ');
    const int codeEnd = space < 0 ? -1 : text.indexOf(' ', space + 1);
    const int code
        = space < 0 ? 0 : text.mid(space + 1, codeEnd < 0 ? -1 : codeEnd - space - 1).toInt();
    if (!text.startsWith("HTTP/1.") || code < 100 || code > 999)
        return fail(subject() + QStringLiteral(" is not HTTP"));
    m_status = code;
    return true;
}

bool HttpReplyParser::readHeaderLine(const QByteArray& line)
{
    // An interim reply's fields, and a tunnel's, say nothing about the body.
    if (m_status < 200 || m_request == Request::Connect)
        return true;
    const int colon = line.indexOf(':');
    if (colon < 0)
        return true;
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
        if (announced < 0 || (m_length >= 0 && announced != m_length))
            return fail(QStringLiteral("Banner reply has an invalid length"));
        m_length = announced;
    }
    return true;
}

bool HttpReplyParser::endHeader()
{
    // An interim reply; the real one follows.
    if (m_status < 200) {
        m_status = 0;
        return true;
    }
    if (m_request == Request::Connect) {
        if (m_status >= 300)
            return fail(QStringLiteral("Banner proxy refused the tunnel: %1").arg(m_status));
        if (m_pos < m_buffer.size())
            return fail(kBytesBeforeTunnel);
        return finish();
    }
    if (!m_chunked && m_length > m_maxSize)
        return fail(QStringLiteral("Banner size too large: %1").arg(m_length));
    if (m_status == 204 || m_status == 304)
        m_length = 0;
    m_remaining = m_chunked ? 0 : m_length;
    m_state = State::Body;
    return true;
}

bool HttpReplyParser::takeLine(int limit, QByteArray* line)
{
    const int lf = m_buffer.indexOf('\n', m_scan);
    if (lf < 0 ? m_buffer.size() - m_pos > limit : lf - m_pos > limit)
        return fail(QStringLiteral("Banner reply has a line too long"));
    if (lf < 0) {
        m_scan = m_buffer.size();
        return false;
    }
    *line = m_buffer.mid(m_pos, lf - m_pos);
    if (line->endsWith('\r'))
        line->chop(1);
    m_pos = m_scan = lf + 1;
    return true;
}

bool HttpReplyParser::takeBody(qint64 count)
{
    if (m_body.size() + count > m_maxSize)
        return fail(QStringLiteral("Banner size too large: %1").arg(m_body.size() + count));
    m_body.append(m_buffer.constData() + m_pos, int(count));
    m_pos += int(count);
    m_scan = std::max(m_scan, m_pos);
    if (m_remaining > 0)
        m_remaining -= count;
    return true;
}

bool HttpReplyParser::readBody()
{
    if (m_chunked)
        return readChunked();
    const qint64 available = m_buffer.size() - m_pos;
    if (!takeBody(m_remaining >= 0 ? std::min(m_remaining, available) : available))
        return false;
    // Bytes past the announced length are no part of the body.
    m_pos = m_scan = m_buffer.size();
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
            if (!takeBody(std::min<qint64>(m_remaining, m_buffer.size() - m_pos)))
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
            if (m_trailer > m_maxHeaderSize)
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
    m_buffer.clear();
    m_pos = m_scan = 0;
    m_body.clear();
    return false;
}

bool HttpReplyParser::finish()
{
    m_state = State::Done;
    m_buffer.clear();
    m_pos = m_scan = 0;
    return false;
}
