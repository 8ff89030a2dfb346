#include "httpfetch.h"

#include "bufferingproxyfactory.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

void HttpFetch::setProxy(QNetworkAccessManager* manager, const QNetworkProxy& proxy)
{
    // A proxy connection is buffered already.
    if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy)
        manager->setProxyFactory(new BufferingProxyFactory(proxy));
    else
        manager->setProxy(proxy);
}

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
    if (encoding.isEmpty() || encoding == "identity")
        return QByteArray();
    return encoding;
}
