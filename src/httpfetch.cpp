#include "httpfetch.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

QNetworkRequest HttpFetch::request(const QUrl& url)
{
    QNetworkRequest request(url);
    // Naming the encoding ourselves also turns off the network module's own
    // inflation of the body.
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

QByteArray HttpFetch::foreignEncoding(const QNetworkReply* reply)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    return isForeignEncoding(encoding) ? encoding : QByteArray();
}

bool HttpFetch::isForeignEncoding(const QByteArray& value)
{
    const QByteArray encoding = value.trimmed().toLower();
    return !encoding.isEmpty() && encoding != "identity";
}

qint64 HttpFetch::announcedLength(const QNetworkReply* reply)
{
    bool announced = false;
    const qint64 length
        = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
    return announced && length >= 0 ? length : -1;
}

bool HttpFetch::isWhole(const QNetworkReply* reply, qint64 bytesRead)
{
    const qint64 announced = announcedLength(reply);
    return announced < 0 || announced == bytesRead;
}
