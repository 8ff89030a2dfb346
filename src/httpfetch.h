#ifndef HTTPFETCH_H
#define HTTPFETCH_H

#include <QByteArray>

class QNetworkReply;
class QNetworkRequest;
class QUrl;

// The request set-up and the reply check that every fetch of the updater
// shares. Without an Accept-Encoding of its own, a request lets the network
// module offer gzip and inflate the body before the updater reads a byte, so
// every size limit would count inflated bytes already in memory. Asking for
// the identity encoding keeps the body as sent; a reply that is encoded all
// the same is refused, since its bytes are not the file.
class HttpFetch
{
public:
    // A GET request for url that asks for the body as stored.
    static QNetworkRequest request(const QUrl& url);

    // The content encoding the reply names, when it names any other than
    // identity; empty for a reply whose body is the file itself.
    static QByteArray foreignEncoding(const QNetworkReply* reply);
    // Whether a Content-Encoding value names an encoding other than identity.
    static bool isForeignEncoding(const QByteArray& value);

    // The body length the reply's server announced, or -1 when it announced
    // none (the body then ends with the connection).
    static qint64 announcedLength(const QNetworkReply* reply);
    // Whether bytesRead is the whole body the server announced. The network
    // module may end a reply without an error when its connection closes
    // short of an announced length, as if the close ended a body of no
    // length, so a reply without an error is no proof of a whole body.
    static bool isWhole(const QNetworkReply* reply, qint64 bytesRead);

    // The bound for a fetch that has no stall rule of its own (the versions
    // query, the banner image). The network module reads some replies whole
    // before it reports anything, so this is also what bounds their memory.
    static constexpr int kDeadlineMs = 30000;
};

#endif
