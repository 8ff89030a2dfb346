#ifndef HTTPREPLYPARSER_H
#define HTTPREPLYPARSER_H

#include <QByteArray>
#include <QString>

// Reads an HTTP/1.x reply as its bytes arrive, for a body of at most maxSize
// bytes. Memory stays within what the bounds allow, whatever the server
// claims: the status line and header lines together within kMaxHeaderSize,
// the body within maxSize (checked against the announced length, each
// chunk's size and what arrives). The body is taken as sent: a reply in a
// content encoding other than identity, or a transfer encoding other than
// chunked, fails. Whatever the status, the body is the result; interim
// replies (1xx) are passed over.
class HttpReplyParser
{
public:
    enum class State
    {
        Header,
        Body,
        Done,
        Failed
    };

    explicit HttpReplyParser(qint64 maxSize);

    // The next bytes of the connection.
    State feed(const QByteArray& bytes);
    // The connection has ended: a body that runs to the end of the
    // connection is complete, one cut short is taken as it came; a reply
    // still in its header fails.
    State end();

    State state() const { return m_state; }
    const QByteArray& body() const { return m_body; }
    // Why the reply failed, for the log.
    const QString& error() const { return m_error; }

    // Real servers send one or two kilobytes.
    static constexpr int kMaxHeaderSize = 64 * 1024;

private:
    enum class Chunk
    {
        Size,
        Data,
        DataEnd,
        Trailer
    };

    void parse();
    bool readHeader();
    bool readBody();
    bool readChunked();
    // The next line of m_pending without its CR LF or LF; false when no whole
    // line is there yet, or when it passes limit (which fails the reply).
    bool takeLine(int limit, QByteArray* line);
    bool takeBody(qint64 count);
    bool fail(const QString& error);
    bool finish();

    qint64 m_maxSize;
    State m_state = State::Header;
    Chunk m_chunk = Chunk::Size;
    bool m_chunked = false;
    // Body bytes still to come: of the announced length or of the current
    // chunk; -1 when the body runs to the end of the connection.
    qint64 m_remaining = -1;
    // Bytes of the trailer after the last chunk.
    qint64 m_trailer = 0;
    QByteArray m_pending;
    // How much of m_pending the search for the header's end has covered.
    int m_headerSearched = 0;
    QByteArray m_body;
    QString m_error;
};

#endif
