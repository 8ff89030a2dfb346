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
