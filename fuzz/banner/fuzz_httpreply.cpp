// Reads arbitrary bytes as the reply to the banner image's request or to the
// proxy's CONNECT, whole and in pieces whose sizes the first byte chooses;
// both must agree, and the body must stay within its bound. The second byte
// chooses the request and a header bound: the real one, or a small one that
// inputs of a few hundred bytes reach.
#include "httpreplyparser.h"

#include <cstdlib>

namespace {

constexpr qint64 kMaxBody = 4096;

HttpReplyParser::State readInPieces(const QByteArray& reply, int piece,
    HttpReplyParser::Request request, int headerBound, QByteArray* body)
{
    HttpReplyParser parser(kMaxBody, request, headerBound);
    for (int at = 0; at < reply.size(); at += piece)
        parser.feed(reply.mid(at, piece));
    const HttpReplyParser::State state = parser.end();
    *body = parser.body();
    return state;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int piece = 1 + data[0] % 17;
    const auto request
        = data[1] & 1 ? HttpReplyParser::Request::Connect : HttpReplyParser::Request::Get;
    const int headerBound = data[1] & 2 ? HttpReplyParser::kMaxHeaderSize : 16 + data[1] / 4;
    const QByteArray reply(reinterpret_cast<const char*>(data + 2), int(size - 2));
    QByteArray whole;
    QByteArray pieces;
    const HttpReplyParser::State first
        = readInPieces(reply, reply.size() + 1, request, headerBound, &whole);
    const HttpReplyParser::State second = readInPieces(reply, piece, request, headerBound, &pieces);
    if (first != second || whole != pieces || whole.size() > kMaxBody)
        std::abort();
    if (first != HttpReplyParser::State::Done && first != HttpReplyParser::State::Failed)
        std::abort();
    if (request == HttpReplyParser::Request::Connect && !whole.isEmpty())
        std::abort();
    return 0;
}
