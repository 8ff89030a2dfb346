// Reads arbitrary bytes as the reply to the banner image's request, whole and
// in pieces whose sizes the first byte chooses; both must agree, and the
// body must stay within its bound.
#include "httpreplyparser.h"

#include <cstdlib>

namespace {

constexpr qint64 kMaxBody = 4096;

HttpReplyParser::State readInPieces(const QByteArray& reply, int piece, QByteArray* body)
{
    HttpReplyParser parser(kMaxBody);
    for (int at = 0; at < reply.size(); at += piece)
        parser.feed(reply.mid(at, piece));
    const HttpReplyParser::State state = parser.end();
    *body = parser.body();
    return state;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const int piece = 1 + data[0] % 17;
    const QByteArray reply(reinterpret_cast<const char*>(data + 1), int(size - 1));
    QByteArray whole;
    QByteArray pieces;
    const HttpReplyParser::State first = readInPieces(reply, reply.size() + 1, &whole);
    const HttpReplyParser::State second = readInPieces(reply, piece, &pieces);
    if (first != second || whole != pieces || whole.size() > kMaxBody)
        std::abort();
    if (first != HttpReplyParser::State::Done && first != HttpReplyParser::State::Failed)
        std::abort();
    return 0;
}
