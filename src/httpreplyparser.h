#ifndef HTTPREPLYPARSER_H
#define HTTPREPLYPARSER_H

#include <QByteArray>
#include <QString>

// Reads an HTTP/1.x reply as its bytes arrive, for a body of at most maxSize
// bytes. Memory stays within what the bounds allow, whatever the server
// claims: the status lines and header lines of every reply up to the final
// one together within maxHeaderSize, the body within maxSize (checked
// against the announced length, each chunk's size and what arrives). The
// body is taken as sent: a reply in a content encoding other than identity,
// or a transfer encoding other than chunked, fails. Whatever the status, the
// body is the result; interim replies (1xx) are passed over.
//
// The reply to a CONNECT request ends with its header: what follows is the
// tunnel's. It is done only when the proxy agrees (2xx) and sends nothing
// more, since the client speaks first in the tunnel: bytes fed after it is
// done fail it.
//
// Every byte is looked at once, so that reading a reply costs time in
// proportion to its length however it arrives.
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

    enum class Request
    {
        Get,
        Connect
    };

    // Real servers send one or two kilobytes.
    static constexpr int kMaxHeaderSize = 64 * 1024;

    explicit HttpReplyParser(
        qint64 maxSize, Request request = Request::Get, int maxHeaderSize = kMaxHeaderSize);

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

private:
    enum class Chunk
    {
        Size,
        Data,
        DataEnd,
        Trailer
    };

    QString subject() const;
    void parse();
    bool readHeader();
    bool readStatusLine(const QByteArray& line);
    bool readHeaderLine(const QByteArray& line);
    bool endHeader();
    bool readBody();
    bool readChunked();
    // The next line of m_buffer without its CR LF or LF; false when no whole
    // line is there yet, or when it passes limit (which fails the reply).
    bool takeLine(int limit, QByteArray* line);
    bool takeBody(qint64 count);
    bool fail(const QString& error);
    bool finish();

    qint64 m_maxSize;
    Request m_request;
    int m_maxHeaderSize;
    State m_state = State::Header;
    Chunk m_chunk = Chunk::Size;

    // What has arrived and is not yet read, from m_pos on; the search for the
    // end of the current line has covered everything before m_scan.
    QByteArray m_buffer;
    int m_pos = 0;
    int m_scan = 0;
    // Bytes read before m_buffer's first, counted for the header's bound.
    qint64 m_consumed = 0;

    // The reply whose header is being read: its status code (0 until its
    // status line is read), length and encoding.
    int m_status = 0;
    qint64 m_length = -1;
    bool m_chunked = false;

    // Body bytes still to come: of the announced length or of the current
    // chunk; -1 when the body runs to the end of the connection.
    qint64 m_remaining = -1;
    // Bytes of the trailer after the last chunk.
    qint64 m_trailer = 0;
    QByteArray m_body;
    QString m_error;
};

#endif
