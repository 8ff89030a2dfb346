#include "bufferingproxyfactory.h"

#include <QUrl>

namespace {

// What the socket of a connection to host and port makes of the default
// entry: the first entry of the application's settings that can carry it.
bool socketGoesDirect(const QString& host, int port)
{
    const QNetworkProxyQuery query(host, quint16(port), QString(), QNetworkProxyQuery::TcpSocket);
    for (const QNetworkProxy& proxy : QNetworkProxyFactory::proxyForQuery(query)) {
        if (proxy.capabilities() & QNetworkProxy::TunnelingCapability)
            return proxy.type() == QNetworkProxy::NoProxy;
    }
    return false;
}

} // namespace

BufferingProxyFactory::BufferingProxyFactory(const QNetworkProxy& proxy)
    : m_Proxy(proxy)
{
}

QList<QNetworkProxy> BufferingProxyFactory::queryProxy(const QNetworkProxyQuery& query)
{
    QList<QNetworkProxy> proxies;
    if (m_Proxy.type() == QNetworkProxy::DefaultProxy)
        proxies = QNetworkProxyFactory::proxyForQuery(query);
    else
        proxies << m_Proxy;
    if (proxies.isEmpty() || proxies.first().type() != QNetworkProxy::NoProxy)
        return proxies;
    const QUrl url = query.url();
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    if (!socketGoesDirect(url.host(), port))
        return proxies;
    return {QNetworkProxy(QNetworkProxy::DefaultProxy)};
}
