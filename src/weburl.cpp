#include "weburl.h"

bool isWebUrl(const QUrl& url)
{
    return url.isValid()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
        && !url.host().isEmpty();
}

QUrl webUrl(const QString& text)
{
    const QUrl url(text, QUrl::TolerantMode);
    return isWebUrl(url) ? url : QUrl();
}
